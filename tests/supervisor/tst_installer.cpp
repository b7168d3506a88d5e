#include "DownloadServer.h"
#include "SupervisorFixture.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QSignalSpy>
#include <QUuid>
#include <QtTest>

// Real HTTPS downloads from a loopback server with certificates made for this run.
class TestInstaller : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firstInstallRunsTheDownloadedCli();
    void updateReplacesARunningCli();
    void failedDownloadsKeepAndStartTheInstalledCli_data();
    void failedDownloadsKeepAndStartTheInstalledCli();
    void unchangedBuildIsNotDownloadedAgain();
    void stalledTransferIsAborted();
    void secondRequestWhileInstallingDoesNothing();

private:
    // A CLI script that prints `word` and waits; its command line carries this test's marker.
    QByteArray cliBody(const QByteArray& word) const {
        return "#!/bin/sh\necho " + word + "\nexec sleep 30 # " + marker_.toUtf8() + "\n";
    }
    void installOld() {
        QFile file(f_->options.installDir + QStringLiteral("/vantrel"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(cliBody("old-build"));
        file.close();
        file.setPermissions(file.permissions() | QFile::ExeOwner);
    }
    QStringList leftovers() const {
        return QDir(f_->options.installDir)
            .entryList({QStringLiteral(".halvane-download-*")}, QDir::Files | QDir::Hidden);
    }
    QString installedText() const {
        QFile file(f_->options.installDir + QStringLiteral("/vantrel"));
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

    QTemporaryDir pkiDir_;
    std::optional<TestPki> pki_;
    std::unique_ptr<DownloadServer> server_;
    std::unique_ptr<SupervisorFixture> f_;
    std::unique_ptr<ConsoleCapture> console_;
    QString marker_;
};

void TestInstaller::initTestCase() {
    QString error;
    pki_ = TestPki::create(pkiDir_.path(), &error);
    QVERIFY2(pki_, qPrintable(error));
}

void TestInstaller::init() {
    console_ = std::make_unique<ConsoleCapture>();
    server_ = std::make_unique<DownloadServer>(pki_->serverConfiguration());
    QVERIFY(server_->listen());
    marker_ = QStringLiteral("halvane-installer-") + QUuid::createUuid().toString(QUuid::Id128);
    f_ = std::make_unique<SupervisorFixture>();
    f_->options.baseURL = QUrl(server_->baseUrl());
    f_->options.caCertificates = pki_->caCert;
    f_->options.sweepPattern = marker_;
    f_->options.stopTimeoutMs = 500;
    server_->setAsset(VantrelManager::assetName(), cliBody("new-build"));
}

void TestInstaller::cleanup() {
    if (f_ && f_->instance)
        f_->instance->cleanup();
    f_.reset();
    server_.reset();
    console_.reset();
}

void TestInstaller::firstInstallRunsTheDownloadedCli() {
    VantrelManager& m = f_->manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.downloadAndRunCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    QCOMPARE(finished.count(), 1);
    QVERIFY(finished.at(0).at(0).toBool());
    QVERIFY(console_->contains(QStringLiteral("📥 Binary name: ") + VantrelManager::assetName()));
    QVERIFY(!m.output().contains(QStringLiteral("🗑️")));
    QVERIFY(QFileInfo(m.cliPath()).isExecutable());
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(m.state().phase, SupervisorState::Phase::Running);
    QVERIFY(server_->requests().size() == 1);
    QVERIFY(!server_->requests().at(0).headers.contains("if-none-match"));
}

void TestInstaller::updateReplacesARunningCli() {
    installOld();
    VantrelManager& m = f_->manager();
    m.runCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 10000);
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    QVERIFY(console_->contains(QStringLiteral("🗑️ Removing existing binary at ")));
    QVERIFY2(appearsInOrder(m.output(), {QStringLiteral("🗑️ Removed existing CLI binary\n"),
                                         QStringLiteral("new-build\n")}),
             qPrintable(m.output()));
    QVERIFY(installedText().contains(QStringLiteral("new-build")));
    QVERIFY(leftovers().isEmpty());
}

void TestInstaller::failedDownloadsKeepAndStartTheInstalledCli_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("why");
    const QByteArray good = cliBody("new-build");
    QTest::newRow("404") << int(DownloadServer::Mode::Status) << 404 << good
                         << "HTTP 404 Not Found";
    QTest::newRow("500") << int(DownloadServer::Mode::Status) << 500 << good << "HTTP 500";
    QTest::newRow("cut off") << int(DownloadServer::Mode::CutOff) << 20 << good << "";
    QTest::newRow("html page") << int(DownloadServer::Mode::Normal) << 0
                               << QByteArray("<html>maintenance</html>\n") << "";
    QTest::newRow("empty") << int(DownloadServer::Mode::Normal) << 0 << QByteArray() << "";
    QTest::newRow("redirect to http")
        << int(DownloadServer::Mode::RedirectToHttp) << 0 << good << "";
    QTest::newRow("untrusted certificate") << -1 << 0 << good << "";
}

void TestInstaller::failedDownloadsKeepAndStartTheInstalledCli() {
    QFETCH(int, mode);
    QFETCH(int, parameter);
    QFETCH(QByteArray, body);
    QFETCH(QString, why);
    server_->setAsset(VantrelManager::assetName(), body);
    if (mode >= 0)
        server_->setMode(DownloadServer::Mode(mode), parameter);
    else
        f_->options.caCertificates = pki_->otherCaCert;
    installOld();
    VantrelManager& m = f_->manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 15000);
    QVERIFY2(m.output().contains(why), qPrintable(m.output()));
    QVERIFY2(
        appearsInOrder(m.output(), {QStringLiteral("❌ Download error: "),
                                    QStringLiteral("⚠️ Starting the installed CLI instead\n"),
                                    QStringLiteral("old-build\n")}),
        qPrintable(m.output()));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!finished.at(0).at(0).toBool());
    QVERIFY(!finished.at(0).at(1).toString().isEmpty());
    QVERIFY(installedText().contains(QStringLiteral("old-build")));
    QVERIFY(leftovers().isEmpty());
}

void TestInstaller::unchangedBuildIsNotDownloadedAgain() {
    VantrelManager& m = f_->manager();
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    m.cleanup();
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().count(QStringLiteral("new-build\n")) == 2, 15000);
    QVERIFY(m.output().contains(QStringLiteral("ℹ️ CLI is already up to date\n")));
    QCOMPARE(server_->requests().size(), 2);
    QVERIFY(server_->requests().at(1).headers.contains("if-none-match"));
    // The metadata lives with the application's state, never beside the CLI.
    QCOMPARE(QDir(f_->options.installDir).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("vantrel")});
}

void TestInstaller::stalledTransferIsAborted() {
    f_->options.stallTimeoutMs = 1500;
    server_->setMode(DownloadServer::Mode::Stall, 10);
    installOld();
    VantrelManager& m = f_->manager();
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 15000);
    QVERIFY(m.output().contains(QStringLiteral("❌ Download error: ")));
    QVERIFY(installedText().contains(QStringLiteral("old-build")));
    QVERIFY(leftovers().isEmpty());
}

void TestInstaller::secondRequestWhileInstallingDoesNothing() {
    server_->setMode(DownloadServer::Mode::Slow, 200);
    VantrelManager& m = f_->manager();
    m.installCLI();
    QVERIFY(m.isInstalling());
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    QCOMPARE(server_->requests().size(), 1);
}

HALVANE_TEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
