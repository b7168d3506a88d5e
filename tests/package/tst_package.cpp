// The package a user would install: CPack builds it from this build tree, it is unpacked into a
// temporary root, its launcher, metadata and the package itself pass the distribution's
// validators, and the unpacked binary installs and runs the CLI in this test's HOME, registering
// itself, not the build tree's binary, to start at login.
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "VantrelManager.h"

#include <QDirIterator>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
struct Run {
    int code = -1;
    QString output;
};

Run run(const QString& program, const QStringList& arguments, int timeoutMs = 180000) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs))
        process.kill();
    process.waitForFinished(2000);
    const bool ok =
        process.exitStatus() == QProcess::NormalExit && process.error() != QProcess::FailedToStart;
    return {ok ? process.exitCode() : -1, QString::fromUtf8(process.readAll())};
}

} // namespace

class TestPackage : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void validates_data();
    void validates();
    void unpackedBinaryRunsAndRegistersItself();

private:
    TestEnvironment folders_;
    QString deb_, root_;
};

void TestPackage::initTestCase() {
    for (const char* tool : {"cpack", "dpkg-deb", "dpkg-shlibdeps"})
        HALVANE_REQUIRE_TOOL(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(),
                             tool);
    const QString out = folders_.root() + u"/out"_s;
    const Run cpack = run(u"cpack"_s, {"--config", HALVANE_CPACK_CONFIG, "-G", "DEB", "-B", out});
    QVERIFY2(cpack.code == 0, qPrintable(cpack.output));
    deb_ = QDir(out).entryInfoList({u"*.deb"_s}).value(0).absoluteFilePath();
    QVERIFY2(!deb_.isEmpty(), qPrintable(cpack.output));
    root_ = folders_.root() + u"/root"_s;
    const Run unpack = run(u"dpkg-deb"_s, {"-x", deb_, root_});
    QVERIFY2(unpack.code == 0, qPrintable(unpack.output));
}

void TestPackage::validates_data() {
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");
    const QString share = u"/usr/share/"_s;
    const QString id = QStringLiteral(HALVANE_APP_ID);
    QTest::newRow("launcher") << u"desktop-file-validate"_s
                              << QStringList{share + u"applications/"_s + id + u".desktop"_s};
    QTest::newRow("metadata") << u"appstreamcli"_s
                              << QStringList{"validate", "--no-net",
                                             share + u"metainfo/"_s + id + u".metainfo.xml"_s};
    // Errors and warnings fail; notes do not.
    QTest::newRow("package") << u"lintian"_s
                             << QStringList{"--fail-on", "warning", "--tag-display-limit", "0"};
}

void TestPackage::validates() {
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    HALVANE_REQUIRE_TOOL(!QStandardPaths::findExecutable(tool).isEmpty(), qPrintable(tool));
    if (tool == u"lintian"_s)
        arguments.append(deb_);
    else
        arguments.last().prepend(root_);
    const Run check = run(tool, arguments);
    QVERIFY2(check.code == 0, qPrintable(check.output));
}

void TestPackage::unpackedBinaryRunsAndRegistersItself() {
    const QString binary = root_ + u"/usr/bin/halvane"_s;
    QVERIFY(QFileInfo(binary).isExecutable());
    // Every installed icon is where the theme looks, under the one identifier.
    QDirIterator icons(root_ + u"/usr/share/icons/hicolor"_s, QDir::Files,
                       QDirIterator::Subdirectories);
    int iconCount = 0;
    for (; icons.hasNext(); ++iconCount)
        QVERIFY(icons.next().contains(u"/apps/"_s + QStringLiteral(HALVANE_APP_ID) + u"."_s));
    QVERIFY(iconCount > 1);

    TestHttps https;
    QVERIFY2(https.error().isEmpty(), qPrintable(https.error()));
    https.setAssetFile(VantrelManager::assetName(), QStringLiteral(HALVANE_DEMO_CLI));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=%1/no-bus"_s.arg(folders_.root()));
    env.insert(u"HALVANE_BASE_URL"_s, https.baseUrl());
    env.insert(u"HALVANE_CA_CERTS"_s, TestHttps::pki()->caCert);
    env.insert(u"HALVANE_SWEEP_ROOT"_s, folders_.home() + u"/.vantrel/bin/vantrel"_s);
    QProcess app;
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::MergedChannels);
    app.start(binary, {});
    const QString log = folders_.home() + u"/.local/state/halvane/cli.log"_s;
    const QString autostart = folders_.home() + u"/.config/autostart/halvane.desktop"_s;
    const bool up = QTest::qWaitFor(
        [&] { return readFile(log).contains("demo CLI") && QFile::exists(autostart); }, 60000);
    app.terminate(); // the application's own SIGTERM path stops its CLI
    app.waitForFinished(20000);
    QVERIFY2(up, app.readAll().right(3000).constData());
    QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
    QVERIFY(readFile(autostart).contains("\nExec=" + binary.toUtf8() + '\n'));
}

HALVANE_TEST_GUILESS_MAIN(TestPackage)

#include "tst_package.moc"
