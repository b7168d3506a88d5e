#include "EnvironmentGuard.h"
#include "SupervisorSandbox.h"
#include "TestEnvironment.h"
#include "TestHttps.h"

#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/stat.h>

using Mode = DownloadServer::Mode;
using Phase = SupervisorState::Phase;

namespace {
// A CLI that prints word and stays until stopped.
QByteArray cliBody(const QByteArray& word, qsizetype padTo = 0) {
    QByteArray body = "#!/bin/sh\necho " + word + "\n";
    while (body.size() < padTo)
        body += "# padding padding padding padding padding\n";
    return body + "sleep 30 &\nwait\n";
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

ino_t inode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

enum class Old { None, Installed, Running };
} // namespace
Q_DECLARE_METATYPE(Old)

// Real HTTPS downloads from a loopback server with certificates made for this run.
class TestInstaller : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void downloadInstallsAndStarts_data();
    void downloadInstallsAndStarts();
    void updateReplacesTheRunningCliAtomically();
    void failureKeepsTheOldCli_data();
    void failureKeepsTheOldCli();
    void conditionalDownload();
    void oneDownloadAtATimeAndNoneLeftBehind();

private:
    VantrelManager& manager() { return sandbox_->manager(); }
    QString cliPath() const { return sandbox_->cliPath(); }
    // Everything in the install folder but the CLI: temporary files must not survive.
    QStringList leftovers() const {
        QStringList names = QDir(sandbox_->options.installDir)
                                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("vantrel"));
        return names;
    }
    QByteArray installOld() {
        sandbox_->writeCli(cliBody("old-build"));
        return cliBody("old-build");
    }
    bool waitForOutput(const QString& text) {
        return QTest::qWaitFor([&] { return manager().output().contains(text); }, 15000);
    }

    std::unique_ptr<TestHttps> https_;
    std::unique_ptr<SupervisorSandbox> sandbox_;
};

void TestInstaller::init() {
    https_ = std::make_unique<TestHttps>();
    QVERIFY2(https_->isValid(), qPrintable(https_->error()));
    sandbox_ = std::make_unique<SupervisorSandbox>();
    https_->apply(sandbox_->options);
    sandbox_->options.stopTimeoutMs = 500;
    https_->serve(cliBody("new-build"));
}

void TestInstaller::cleanup() {
    sandbox_->resetManager();
    // Nothing a test started may outlive it.
    QList<pid_t> left;
    const bool none =
        QTest::qWaitFor([&] { return (left = sandbox_->processes()).isEmpty(); }, 3000);
    for (pid_t pid : std::as_const(left))
        ::kill(pid, SIGKILL);
    sandbox_.reset();
    https_.reset();
    QVERIFY2(none, "processes of this test were left running");
}

void TestInstaller::downloadInstallsAndStarts_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QString>("baseSuffix");
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<bool>("viaEnvironment"); // HALVANE_BASE_URL and HALVANE_CA_CERTS
    const int normal = int(Mode::Normal);
    QTest::newRow("plain") << normal << 0 << QString() << 10000 << false;
    QTest::newRow("base URL with a trailing slash") << normal << 0 << "/" << 10000 << false;
    QTest::newRow("environment overrides") << normal << 0 << QString() << 10000 << true;
    QTest::newRow("redirect to https")
        << int(Mode::RedirectToHttps) << 0 << QString() << 10000 << false;
    // About three stall limits long, but data never stops for long.
    QTest::newRow("slow but steady") << int(Mode::Slow) << 400 << QString() << 500 << false;
}

void TestInstaller::downloadInstallsAndStarts() {
    QFETCH(int, mode);
    QFETCH(int, parameter);
    QFETCH(QString, baseSuffix);
    QFETCH(int, stallMs);
    QFETCH(bool, viaEnvironment);
    const QByteArray body = cliBody("new-build", 600);
    https_->serve(body);
    https_->server().setMode(Mode(mode), parameter);
    sandbox_->options.baseURL = QUrl(https_->baseUrl() + baseSuffix);
    sandbox_->options.stallTimeoutMs = stallMs;
    if (viaEnvironment) {
        EnvironmentGuard env;
        env.set("HALVANE_BASE_URL", https_->baseUrl().toUtf8());
        env.set("HALVANE_CA_CERTS", https_->caPath().toUtf8());
        const SupervisorOptions fromEnvironment = SupervisorOptions::fromEnvironment();
        sandbox_->options.baseURL = fromEnvironment.baseURL;
        sandbox_->options.caCertificates = fromEnvironment.caCertificates;
    }
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.createInstallDirectory();
    m.downloadAndRunCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(finished.at(0).at(1).toString()));
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QCOMPARE(readAll(cliPath()), body);
    QVERIFY(QFileInfo(cliPath()).isExecutable());
    QVERIFY(leftovers().isEmpty());
    const QByteArray path = https_->server().requests().constLast().path;
    QVERIFY2(path.startsWith("/static/cli/vantrel-linux-"), path.constData());
    QVERIFY(!https_->server().requests().constFirst().headers.contains("if-none-match"));
}

void TestInstaller::updateReplacesTheRunningCliAtomically() {
    const QByteArray old = installOld();
    const ino_t oldInode = inode(cliPath());
    VantrelManager& m = manager();
    m.runCLI();
    QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    const pid_t oldGroup = m.currentProcess()->groupId();
    const QByteArray body = cliBody("new-build", 400);
    https_->serve(body);
    https_->server().setMode(Mode::Slow, 500);
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    // Half-way through, the old CLI is untouched and still running.
    QTRY_VERIFY_WITH_TIMEOUT(m.state().received > 0, 10000);
    QCOMPARE(readAll(cliPath()), old);
    QCOMPARE(inode(cliPath()), oldInode);
    QVERIFY(m.currentProcess() && m.currentProcess()->state() == QProcess::Running);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(finished.at(0).at(0).toBool());
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    // Replaced by a rename, never written in place, and the old CLI's whole group stopped.
    QCOMPARE(readAll(cliPath()), body);
    QVERIFY(inode(cliPath()) != oldInode);
    QVERIFY(leftovers().isEmpty());
    QTRY_VERIFY(::kill(-oldGroup, 0) != 0);
}

void TestInstaller::failureKeepsTheOldCli_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("trust"); // 0 the server's authority, 1 another, 2 the system's only
    QTest::addColumn<Old>("old");
    const QByteArray good = cliBody("new-build", 600);
    const int status = int(Mode::Status), normal = int(Mode::Normal);
    QTest::newRow("HTTP 404") << status << 404 << good << 0 << Old::Installed;
    QTest::newRow("HTTP 500 while running") << status << 500 << good << 0 << Old::Running;
    QTest::newRow("HTTP 404, nothing installed") << status << 404 << good << 0 << Old::None;
    QTest::newRow("cut off") << int(Mode::CutOff) << 100 << good << 0 << Old::Installed;
    QTest::newRow("not an executable")
        << normal << 0 << QByteArray("<html><body>Down for maintenance</body></html>\n") << 0
        << Old::Installed;
    QTest::newRow("empty body") << normal << 0 << QByteArray() << 0 << Old::Installed;
    QTest::newRow("redirect to http")
        << int(Mode::RedirectToHttp) << 0 << good << 0 << Old::Installed;
    QTest::newRow("authority of another server") << normal << 0 << good << 1 << Old::Installed;
    QTest::newRow("system authorities only") << normal << 0 << good << 2 << Old::Installed;
    QTest::newRow("stall in the body") << int(Mode::Stall) << 100 << good << 0 << Old::Installed;
    QTest::newRow("no answer") << int(Mode::Silent) << 0 << good << 0 << Old::Installed;
}

void TestInstaller::failureKeepsTheOldCli() {
    QFETCH(int, mode);
    QFETCH(int, parameter);
    QFETCH(QByteArray, body);
    QFETCH(int, trust);
    QFETCH(Old, old);
    https_->serve(body);
    https_->server().setMode(Mode(mode), parameter);
    sandbox_->options.caCertificates =
        QStringList{https_->caPath(), https_->otherCaPath(), QString()}.at(trust);
    sandbox_->options.stallTimeoutMs = 1000;
    const QByteArray oldBody = old == Old::None ? QByteArray() : installOld();
    const ino_t oldInode = inode(cliPath());
    VantrelManager& m = manager();
    QPointer<CliProcess> running;
    if (old == Old::Running) {
        m.runCLI();
        QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
        running = m.currentProcess();
    }
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(!finished.at(0).at(0).toBool());
    QVERIFY(!finished.at(0).at(1).toString().isEmpty());
    QCOMPARE(readAll(cliPath()), oldBody);
    QCOMPARE(inode(cliPath()), oldInode);
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
    if (old == Old::Installed) {
        // Never left without a CLI because the network was not there.
        QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    } else if (old == Old::Running) {
        // Nor is the one in use restarted.
        QTRY_COMPARE(m.state().phase, Phase::Running);
        QVERIFY(running && m.currentProcess() == running);
        QCOMPARE(m.output().count(QStringLiteral("old-build\n")), 1);
    } else {
        QTRY_COMPARE(m.state().phase, Phase::Failed);
        QVERIFY(!QFileInfo::exists(cliPath()) && !m.currentProcess());
    }
}

void TestInstaller::conditionalDownload() {
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    const ino_t installed = inode(cliPath());
    QPointer<CliProcess> running = m.currentProcess();

    // Unchanged: asked for conditionally, kept, and the running CLI left alone.
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    QVERIFY(finished.at(1).at(0).toBool());
    const auto& requests = https_->server().requests();
    QCOMPARE(requests.at(1).headers.value("if-none-match"),
             DownloadServer::etagFor(cliBody("new-build")));
    QCOMPARE(inode(cliPath()), installed);
    QTRY_COMPARE(m.state().phase, Phase::Running);
    QVERIFY(running && m.currentProcess() == running);
    QCOMPARE(m.output().count(QStringLiteral("new-build\n")), 1);
    // Remembered with the application's state, not beside the CLI.
    QVERIFY(leftovers().isEmpty());

    // Changed: replaced and restarted.
    https_->serve(cliBody("newer-build"));
    m.installCLI();
    QVERIFY(waitForOutput(QStringLiteral("newer-build\n")));
    QCOMPARE(readAll(cliPath()), cliBody("newer-build"));

    // Missing: a "not modified" answer would leave no CLI at all.
    m.cleanup();
    QVERIFY(QFile::remove(cliPath()));
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 4, 15000);
    QVERIFY(!requests.at(3).headers.contains("if-none-match"));
    QVERIFY(!requests.at(3).headers.contains("if-modified-since"));
    QCOMPARE(readAll(cliPath()), cliBody("newer-build"));
}

void TestInstaller::oneDownloadAtATimeAndNoneLeftBehind() {
    const QByteArray body = cliBody("new-build", 600);
    https_->serve(body);
    https_->server().setMode(Mode::Slow, 1000);
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QVERIFY(m.isInstalling());
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QCOMPARE(https_->server().requests().size(), 1);
    QVERIFY(!m.isInstalling());
    // Once it has ended, a new request downloads again; a supervisor gone half-way through
    // leaves neither a temporary file nor a damaged CLI.
    https_->serve(cliBody("new-build", 3000));
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(https_->server().requests().size() == 2 && m.state().received > 0,
                             10000);
    sandbox_->resetManager();
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(readAll(cliPath()), body);
}

HALVANE_TEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
