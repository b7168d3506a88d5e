#include "Console.h"
#include "DownloadServer.h"
#include "SupervisorFixture.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <memory>
#include <optional>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {
// The asset a build for this machine must ask for, worked out from Qt rather than the build.
QString expectedAsset() {
#ifdef Q_OS_MACOS
    const QString os = QStringLiteral("darwin");
#else
    const QString os = QStringLiteral("linux");
#endif
    const QString cpu = QSysInfo::buildCpuArchitecture();
    return QStringLiteral("vantrel-%1-%2")
        .arg(os, cpu == QLatin1String("x86_64") ? QStringLiteral("amd64") : cpu);
}

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct FileId {
    ino_t inode = 0;
    mode_t mode = 0;
};
std::optional<FileId> fileId(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return FileId{info.st_ino, mode_t(info.st_mode & 07777)};
}

// The line of the output log that starts with prefix, without its newline.
QString lineStartingWith(const QString& text, const QString& prefix) {
    const qsizetype at = text.indexOf(prefix);
    if (at < 0)
        return {};
    const qsizetype end = text.indexOf(QLatin1Char('\n'), at);
    return text.mid(at, end < 0 ? -1 : end - at);
}

enum class Trust { TestCa, OtherCa, SystemOnly, NoServer };

// Sets an environment variable for one scope.
class EnvGuard {
public:
    EnvGuard(const char* name, const QByteArray& value) : name_(name) { qputenv(name, value); }
    ~EnvGuard() { qunsetenv(name_); }

private:
    const char* name_;
};
} // namespace
Q_DECLARE_METATYPE(Trust)

// Real HTTPS downloads from a loopback server with certificates made for this run.
class TestInstaller : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    // Successful downloads
    void firstInstallReportsEachStepInOrder();
    void updateReplacesARunningCliOnlyByRename();
    void slowButSteadyDownloadIsNotAborted();
    void redirectToHttpsIsFollowed();
    void baseUrlWithTrailingSlashNamesTheAsset();
    void environmentOverridesReachTheDownload();

    // Failed downloads and installations
    void failureKeepsAndStartsTheInstalledCli_data();
    void failureKeepsAndStartsTheInstalledCli();
    void failureWithoutInstalledCliStartsNothing_data();
    void failureWithoutInstalledCliStartsNothing();
    void failureLeavesARunningCliAlone();
    void fullDiskKeepsTheInstalledCli();
    void failedRenameIsAnInstallError();
    void missingInstallFolderIsAnInstallError();
    void managerGoneMidDownloadLeavesNoTemporaryFile();
    void leftoverOfAKilledRunIsRemoved();

    // Conditional download
    void unchangedBuildIsNotDownloadedAgain();
    void unchangedBuildLeavesARunningCliAlone();
    void changedBuildReplacesTheInstalledOne();
    void missingCliIsDownloadedUnconditionally();

    // Requests and configuration
    void secondRequestWhileDownloadingDoesNothing();
    void baseUrlOverrideMustBeHttps_data();
    void baseUrlOverrideMustBeHttps();

private:
    // A CLI that prints word and stays until stopped. The install folder is named after the
    // marker, so every process it starts carries the marker in its command line.
    QByteArray cliBody(const QByteArray& word, qsizetype padTo = 0) const {
        QByteArray body = "#!/bin/sh\n# " + marker_.toUtf8() + "\n";
        while (body.size() < padTo - 40)
            body += "# padding padding padding padding pad\n";
        return body + "echo " + word + "\nsleep 30 &\nwait\n";
    }
    QString cliPath() const { return options_.installDir + QStringLiteral("/vantrel"); }
    QByteArray installOld() {
        const QByteArray body = cliBody("old-build");
        QFile file(cliPath());
        if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size())
            return {};
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                            QFile::ReadGroup | QFile::ExeGroup);
        return body;
    }
    QStringList leftovers() const {
        QStringList names = QDir(options_.installDir).entryList(QDir::Files | QDir::Hidden);
        names.removeAll(QStringLiteral("vantrel"));
        return names;
    }
    QString downloadUrl() const { return server_->baseUrl() + QLatin1Char('/') + expectedAsset(); }
    VantrelManager& manager() {
        if (!manager_)
            manager_ = std::make_unique<VantrelManager>(options_);
        return *manager_;
    }
    QList<qint64> markedProcesses() const {
        QProcess pgrep;
        pgrep.start(QStringLiteral("pgrep"), {QStringLiteral("-f"), marker_});
        pgrep.waitForFinished(5000);
        QList<qint64> pids;
        for (const QByteArray& line : pgrep.readAllStandardOutput().split('\n'))
            if (const qint64 pid = line.trimmed().toLongLong(); pid > 0)
                pids.append(pid);
        return pids;
    }

    QTemporaryDir pkiDir_;
    std::optional<TestPki> pki_;
    std::unique_ptr<QTemporaryDir> root_;
    std::unique_ptr<DownloadServer> server_;
    std::unique_ptr<ConsoleCapture> console_;
    std::unique_ptr<VantrelManager> manager_;
    SupervisorOptions options_;
    QString marker_;
};

void TestInstaller::initTestCase() {
    QVERIFY(pkiDir_.isValid());
    QString error;
    pki_ = TestPki::create(pkiDir_.path(), &error);
    QVERIFY2(pki_, qPrintable(error));
}

void TestInstaller::init() {
    console_ = std::make_unique<ConsoleCapture>();
    server_ = std::make_unique<DownloadServer>(pki_->serverConfiguration());
    QVERIFY(server_->listen());
    root_ = std::make_unique<QTemporaryDir>();
    QVERIFY(root_->isValid());
    marker_ = QStringLiteral("halvane-installer-") + QUuid::createUuid().toString(QUuid::Id128);
    options_ = SupervisorOptions();
    options_.installDir = root_->path() + QLatin1Char('/') + marker_ + QStringLiteral("/bin");
    options_.stateDir = root_->path() + QStringLiteral("/state");
    options_.logDir = options_.stateDir;
    options_.baseURL = QUrl(server_->baseUrl());
    options_.caCertificates = pki_->caCert;
    options_.sweepPattern = marker_;
    options_.stopTimeoutMs = 500;
    options_.stallTimeoutMs = 10000;
    QVERIFY(QDir().mkpath(options_.installDir));
    server_->setAsset(expectedAsset(), cliBody("new-build"));
}

void TestInstaller::cleanup() {
    if (manager_)
        manager_->cleanup();
    manager_.reset();
    server_.reset();
    console_.reset();
    // Everything this test started carries its marker; nothing may outlive the test.
    QList<qint64> left;
    (void)QTest::qWaitFor(
        [&] {
            left = markedProcesses();
            return left.isEmpty();
        },
        3000);
    for (qint64 pid : std::as_const(left))
        ::kill(pid_t(pid), SIGKILL);
    root_.reset();
    QVERIFY2(left.isEmpty(), "processes of this test were left running");
}

void TestInstaller::firstInstallReportsEachStepInOrder() {
    // Slow enough (about 1.5 s) for progress reports.
    const QByteArray body = cliBody("new-build", 2400);
    server_->setAsset(expectedAsset(), body);
    server_->setMode(DownloadServer::Mode::Slow, 1600);
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    QSignalSpy states(&m, &VantrelManager::stateChanged);
    m.downloadAndRunCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);

    const QString out = m.output();
    QVERIFY2(appearsInOrder(
                 out, {QStringLiteral("🚀 Starting Vantrel CLI setup...\n"),
                       QStringLiteral("📥 Downloading latest CLI version...\n"),
                       QStringLiteral("📥 Installing CLI from ") + downloadUrl() + QLatin1Char('\n'),
                       QStringLiteral("📥 Downloaded "),
                       QStringLiteral("✅ CLI installed at ") + cliPath() + QLatin1Char('\n'),
                       QStringLiteral("✅ CLI started successfully in zsh\n"),
                       QStringLiteral("new-build\n")}),
             qPrintable(out));
    const QString console = console_->text();
    QVERIFY2(appearsInOrder(console, {QStringLiteral("📥 Binary name: ") + expectedAsset(),
                                      QStringLiteral("📥 Download URL: ") + downloadUrl(),
                                      QStringLiteral("📥 Update mode: false"),
                                      QStringLiteral("📥 Downloaded "),
                                      QStringLiteral("✅ CLI installed successfully"),
                                      QStringLiteral("✅ CLI started successfully in zsh"),
                                      QStringLiteral("new-build")}),
             qPrintable(console));
    QVERIFY(!out.contains(QStringLiteral("🗑️")));
    QVERIFY(!console.contains(QStringLiteral("🗑️")));

    // At most one report per tenth, each with both sizes readable.
    static const QRegularExpression progress(
        QStringLiteral("📥 Downloaded [0-9.]+ k?B of [0-9.]+ kB \\(\\d+ %\\)\n"));
    const qsizetype reports = out.count(QStringLiteral("📥 Downloaded "));
    QVERIFY2(reports >= 1 && reports <= 10, qPrintable(out));
    qsizetype wellFormed = 0;
    for (auto it = progress.globalMatch(out); it.hasNext(); it.next())
        ++wellFormed;
    QCOMPARE(wellFormed, reports);

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(finished.at(0).at(1).toString(), QString());
    QCOMPARE(readAll(cliPath()), body);
    QCOMPARE(fileId(cliPath())->mode, mode_t(0755));
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(server_->requests().size(), 1);
    QCOMPARE(server_->requests().at(0).path, "/static/cli/" + expectedAsset().toUtf8());
    QVERIFY(!server_->requests().at(0).headers.contains("if-none-match"));

    // Downloading with progress, then installing, then running.
    int progressAt = -1, installingAt = -1, runningAt = -1;
    for (int i = 0; i < states.count(); ++i) {
        const auto state = states.at(i).at(0).value<SupervisorState>();
        if (progressAt < 0 && state.phase == SupervisorState::Phase::Downloading &&
            state.received > 0 && state.received < body.size() && state.total == body.size())
            progressAt = i;
        if (state.phase == SupervisorState::Phase::Installing)
            installingAt = i;
        if (state.phase == SupervisorState::Phase::Running)
            runningAt = i;
    }
    QVERIFY(progressAt >= 0);
    QVERIFY(progressAt < installingAt);
    QVERIFY(installingAt < runningAt);
    QCOMPARE(m.state().phase, SupervisorState::Phase::Running);
}

void TestInstaller::updateReplacesARunningCliOnlyByRename() {
    const QByteArray old = installOld();
    const FileId oldId = *fileId(cliPath());
    VantrelManager& m = manager();
    m.runCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 10000);
    QVERIFY(m.currentProcess());
    const pid_t oldGroup = m.currentProcess()->groupId();

    const QByteArray body = cliBody("new-build", 400);
    server_->setAsset(expectedAsset(), body);
    server_->setMode(DownloadServer::Mode::Slow, 500);
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    // Half-way through, the old CLI is untouched and still running.
    QTRY_VERIFY_WITH_TIMEOUT(m.state().received > 0, 10000);
    QCOMPARE(readAll(cliPath()), old);
    QCOMPARE(fileId(cliPath())->inode, oldId.inode);
    QVERIFY(m.currentProcess() && m.currentProcess()->state() == QProcess::Running);
    QCOMPARE(finished.count(), 0);

    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    const QString out = m.output();
    QVERIFY2(appearsInOrder(out, {QStringLiteral("🔄 Updating CLI to latest version from ") +
                                      downloadUrl() + QLatin1Char('\n'),
                                  QStringLiteral("🗑️ Removed existing CLI binary\n"),
                                  QStringLiteral("✅ CLI updated to latest version at ") +
                                      cliPath() + QLatin1Char('\n'),
                                  QStringLiteral("✅ CLI started successfully in zsh\n"),
                                  QStringLiteral("new-build\n")}),
             qPrintable(out));
    QVERIFY2(appearsInOrder(console_->text(),
                            {QStringLiteral("📥 Update mode: true"),
                             QStringLiteral("🗑️ Removing existing binary at ") + cliPath(),
                             QStringLiteral("🗑️ Removed existing CLI binary"),
                             QStringLiteral("✅ CLI updated successfully")}),
             qPrintable(console_->text()));
    QCOMPARE(readAll(cliPath()), body);
    QVERIFY(fileId(cliPath())->inode != oldId.inode);
    QCOMPARE(fileId(cliPath())->mode, mode_t(0755));
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(finished.count(), 1);
    QVERIFY(finished.at(0).at(0).toBool());
    // The old CLI's whole group is stopped, not orphaned.
    QTRY_VERIFY_WITH_TIMEOUT(::kill(-oldGroup, 0) != 0, 5000);
    QVERIFY(m.currentProcess() && m.currentProcess()->groupId() != oldGroup);
}

void TestInstaller::slowButSteadyDownloadIsNotAborted() {
    // Takes about three times the stall limit, but data never stops for long.
    options_.stallTimeoutMs = 500;
    const QByteArray body = cliBody("new-build", 600);
    server_->setAsset(expectedAsset(), body);
    server_->setMode(DownloadServer::Mode::Slow, 400);
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(finished.at(0).at(1).toString()));
    QCOMPARE(readAll(cliPath()), body);
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 10000);
}

void TestInstaller::redirectToHttpsIsFollowed() {
    server_->setMode(DownloadServer::Mode::RedirectToHttps);
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m.output()));
    QCOMPARE(server_->requests().size(), 2);
    QVERIFY(server_->requests().at(1).path.endsWith("?redirected=1"));
    QCOMPARE(readAll(cliPath()), cliBody("new-build"));
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 10000);
}

void TestInstaller::baseUrlWithTrailingSlashNamesTheAsset() {
    options_.baseURL = QUrl(server_->baseUrl() + QLatin1Char('/'));
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QCOMPARE(server_->requests().value(0).path, "/static/cli/" + expectedAsset().toUtf8());
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m.output()));
    QVERIFY(console_->text().contains(QStringLiteral("📥 Download URL: ") + downloadUrl()));
}

void TestInstaller::environmentOverridesReachTheDownload() {
    const EnvGuard base("HALVANE_BASE_URL", server_->baseUrl().toUtf8());
    const EnvGuard ca("HALVANE_CA_CERTS", pki_->caCert.toUtf8());
    SupervisorOptions options = SupervisorOptions::fromEnvironment();
    QCOMPARE(options.baseURL, QUrl(server_->baseUrl()));
    QCOMPARE(options.caCertificates, pki_->caCert);
    options.installDir = options_.installDir;
    options.stateDir = options_.stateDir;
    options.logDir = options_.logDir;
    options.sweepPattern = marker_;
    options.stopTimeoutMs = options_.stopTimeoutMs;
    options_ = options;
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(m.output()));
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 10000);
}

void TestInstaller::failureKeepsAndStartsTheInstalledCli_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<Trust>("trust");
    QTest::addColumn<int>("stallMs");
    QTest::addColumn<QString>("why");
    const QByteArray good = cliBody("new-build", 600);
    const auto normal = int(DownloadServer::Mode::Normal);
    QTest::newRow("404") << int(DownloadServer::Mode::Status) << 404 << good << Trust::TestCa << 0
                         << "HTTP 404 Not Found";
    QTest::newRow("500") << int(DownloadServer::Mode::Status) << 500 << good << Trust::TestCa << 0
                         << "HTTP 500 Internal Server Error";
    QTest::newRow("cut off") << int(DownloadServer::Mode::CutOff) << 100 << good << Trust::TestCa
                             << 0
                             << QStringLiteral("cut off after 100 of %1 bytes").arg(good.size());
    QTest::newRow("html page") << normal << 0
                               << QByteArray("<html><body>Down for maintenance</body></html>\n")
                               << Trust::TestCa << 0 << "did not send an executable";
    QTest::newRow("empty body") << normal << 0 << QByteArray() << Trust::TestCa << 0
                                << "did not send an executable";
    QTest::newRow("redirect to http")
        << int(DownloadServer::Mode::RedirectToHttp) << 0 << good << Trust::TestCa << 0
        << "redirect to a non-https address: http://127.0.0.1";
    QTest::newRow("certificate of another authority")
        << normal << 0 << good << Trust::OtherCa << 0 << "SSL";
    QTest::newRow("no authority override")
        << normal << 0 << good << Trust::SystemOnly << 0 << "SSL";
    QTest::newRow("stall in the body") << int(DownloadServer::Mode::Stall) << 100 << good
                                       << Trust::TestCa << 700 << "no data received for 0.7 s";
    QTest::newRow("no answer at all") << int(DownloadServer::Mode::Silent) << 0 << good
                                      << Trust::TestCa << 700 << "no data received for 0.7 s";
    QTest::newRow("no server") << normal << 0 << good << Trust::NoServer << 0 << "refused";
}

void TestInstaller::failureKeepsAndStartsTheInstalledCli() {
    QFETCH(int, mode);
    QFETCH(int, parameter);
    QFETCH(QByteArray, body);
    QFETCH(Trust, trust);
    QFETCH(int, stallMs);
    QFETCH(QString, why);
    server_->setAsset(expectedAsset(), body);
    server_->setMode(DownloadServer::Mode(mode), parameter);
    if (trust == Trust::OtherCa)
        options_.caCertificates = pki_->otherCaCert;
    if (trust == Trust::SystemOnly)
        options_.caCertificates.clear();
    if (trust == Trust::NoServer)
        server_.reset(); // its port is closed now
    if (stallMs > 0)
        options_.stallTimeoutMs = stallMs;
    const QByteArray old = installOld();
    const FileId oldId = *fileId(cliPath());

    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    QSignalSpy states(&m, &VantrelManager::stateChanged);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 10000);

    const QString out = m.output();
    QVERIFY2(appearsInOrder(out, {QStringLiteral("❌ Download error: "),
                                  QStringLiteral("⚠️ Starting the installed CLI instead\n"),
                                  QStringLiteral("✅ CLI started successfully in zsh\n"),
                                  QStringLiteral("old-build\n")}),
             qPrintable(out));
    const QString error = lineStartingWith(out, QStringLiteral("❌ Download error: "));
    QVERIFY2(error.size() > QStringLiteral("❌ Download error: ").size() + 5, qPrintable(error));
    QVERIFY2(error.contains(why), qPrintable(error));
    QVERIFY(!out.contains(QStringLiteral("🗑️")) &&
            !out.contains(QStringLiteral("✅ CLI updated")));

    QCOMPARE(finished.at(0).at(0).toBool(), false);
    const QString reason = finished.at(0).at(1).toString();
    QVERIFY2(reason.contains(why) && !reason.isEmpty(), qPrintable(reason));
    bool failedState = false;
    for (const QList<QVariant>& signal : std::as_const(states)) {
        const auto state = signal.at(0).value<SupervisorState>();
        failedState |= state.phase == SupervisorState::Phase::Failed && state.reason == reason;
    }
    QVERIFY(failedState);
    QCOMPARE(m.state().phase, SupervisorState::Phase::Running);

    QCOMPARE(readAll(cliPath()), old);
    QCOMPARE(fileId(cliPath())->inode, oldId.inode);
    QCOMPARE(fileId(cliPath())->mode, oldId.mode);
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
}

void TestInstaller::failureWithoutInstalledCliStartsNothing_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("nonExecutableOld");
    QTest::newRow("404") << int(DownloadServer::Mode::Status) << 404 << cliBody("new-build")
                         << false;
    QTest::newRow("cut off") << int(DownloadServer::Mode::CutOff) << 100
                             << cliBody("new-build", 600) << false;
    QTest::newRow("html page") << int(DownloadServer::Mode::Normal) << 0
                               << QByteArray("<html>Not here</html>\n") << false;
    QTest::newRow("404 over a non-executable file")
        << int(DownloadServer::Mode::Status) << 404 << cliBody("new-build") << true;
}

void TestInstaller::failureWithoutInstalledCliStartsNothing() {
    QFETCH(int, mode);
    QFETCH(int, parameter);
    QFETCH(QByteArray, body);
    QFETCH(bool, nonExecutableOld);
    server_->setAsset(expectedAsset(), body);
    server_->setMode(DownloadServer::Mode(mode), parameter);
    QByteArray old;
    if (nonExecutableOld) {
        old = installOld();
        QVERIFY(QFile::setPermissions(cliPath(), QFile::ReadOwner | QFile::WriteOwner));
    }
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("❌ Download error: ")), 5000);
    QVERIFY(!finished.at(0).at(0).toBool());
    if (nonExecutableOld) {
        QCOMPARE(readAll(cliPath()), old);
        QCOMPARE(fileId(cliPath())->mode, mode_t(0600));
    } else {
        QVERIFY(!QFileInfo::exists(cliPath()));
    }
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(m.state().phase, SupervisorState::Phase::Failed);
    QCOMPARE(m.state().reason, finished.at(0).at(1).toString());
    // Anything queued would have run by now.
    QCoreApplication::processEvents();
    QVERIFY(!m.currentProcess());
    QVERIFY(!m.output().contains(QStringLiteral("⚠️")));
    QVERIFY(!m.output().contains(QStringLiteral("▶️")));
}

void TestInstaller::failureLeavesARunningCliAlone() {
    installOld();
    VantrelManager& m = manager();
    m.runCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 10000);
    CliProcess* running = m.currentProcess();
    QVERIFY(running);
    const qint64 pid = running->processId();
    server_->setMode(DownloadServer::Mode::Status, 500);
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QCoreApplication::processEvents();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("❌ Download error: ")), 5000);
    // A failed update check must not restart the CLI the user is working with.
    QCOMPARE(m.output().count(QStringLiteral("▶️ Starting vantrel CLI")), 1);
    QVERIFY(!m.output().contains(QStringLiteral("⚡️ CLI exited")));
    QCOMPARE(m.currentProcess(), running);
    QCOMPARE(running->processId(), pid);
    QCOMPARE(running->state(), QProcess::Running);
    QCOMPARE(m.state().phase, SupervisorState::Phase::Running);
}

void TestInstaller::fullDiskKeepsTheInstalledCli() {
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    const QByteArray old = installOld();
    server_->setAsset(expectedAsset(), cliBody("new-build", 512 * 1024));
    struct rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 128 * 1024;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    auto restore = qScopeGuard([&] {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    });

    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    restore.dismiss();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("old-build\n")), 10000);
    QVERIFY(!finished.at(0).at(0).toBool());
    QVERIFY2(m.output().contains(QStringLiteral("File too large")), qPrintable(m.output()));
    QVERIFY2(
        appearsInOrder(m.output(), {QStringLiteral("❌ "),
                                    QStringLiteral("⚠️ Starting the installed CLI instead\n"),
                                    QStringLiteral("old-build\n")}),
        qPrintable(m.output()));
    QCOMPARE(readAll(cliPath()), old);
    QVERIFY(leftovers().isEmpty());
}

void TestInstaller::failedRenameIsAnInstallError() {
    // A folder in the CLI's place cannot be renamed over.
    QVERIFY(QDir().mkpath(cliPath() + QStringLiteral("/keep")));
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("❌ Install error: ")), 5000);
    QVERIFY(console_->text().contains(QStringLiteral("❌ Install error: ")));
    QVERIFY(!finished.at(0).at(0).toBool());
    QVERIFY(finished.at(0).at(1).toString().startsWith(QStringLiteral("Install failed: ")));
    QVERIFY(QFileInfo(cliPath() + QStringLiteral("/keep")).isDir());
    QVERIFY(leftovers().isEmpty());
    QCoreApplication::processEvents();
    QVERIFY(!m.output().contains(QStringLiteral("⚠️ Starting the installed CLI instead")));
    QVERIFY(!m.output().contains(QStringLiteral("✅ CLI updated")));
    QVERIFY(!m.currentProcess());
}

void TestInstaller::missingInstallFolderIsAnInstallError() {
    // Creating the folder is the launch's job, done before this is called.
    QVERIFY(QDir(options_.installDir).removeRecursively());
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(!finished.at(0).at(0).toBool());
    QVERIFY(finished.at(0).at(1).toString().startsWith(QStringLiteral("Install failed: ")));
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("❌ Install error: ")), 5000);
    QCOMPARE(m.state().phase, SupervisorState::Phase::Failed);
    QVERIFY(server_->requests().isEmpty());
    QVERIFY(!QFileInfo::exists(options_.installDir));
}

void TestInstaller::managerGoneMidDownloadLeavesNoTemporaryFile() {
    const QByteArray old = installOld();
    server_->setAsset(expectedAsset(), cliBody("new-build", 2000));
    server_->setMode(DownloadServer::Mode::Slow, 400);
    manager().installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(manager().state().received > 0, 10000);
    manager_.reset();
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(readAll(cliPath()), old);
}

void TestInstaller::leftoverOfAKilledRunIsRemoved() {
    QFile stale(options_.installDir + QStringLiteral("/.halvane-download-Ab12Cd"));
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("half a download");
    stale.close();
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(finished.at(0).at(0).toBool());
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
}

void TestInstaller::unchangedBuildIsNotDownloadedAgain() {
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    const FileId installed = *fileId(cliPath());
    m.cleanup();
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(m.output().count(QStringLiteral("new-build\n")), 2, 10000);
    QVERIFY(finished.at(1).at(0).toBool());
    QVERIFY2(appearsInOrder(m.output(), {QStringLiteral("⚡️ CLI exited"),
                                         QStringLiteral("ℹ️ CLI is already up to date\n"),
                                         QStringLiteral("✅ CLI started successfully in zsh\n"),
                                         QStringLiteral("new-build\n")}),
             qPrintable(m.output()));
    QCOMPARE(m.output().count(QStringLiteral("✅ CLI ")), 3); // installed, started, started
    QVERIFY(!m.output().contains(QStringLiteral("🗑️")));
    QCOMPARE(server_->requests().size(), 2);
    const DownloadServer::Request second = server_->requests().at(1);
    QCOMPARE(second.headers.value("if-none-match"), DownloadServer::etagFor(cliBody("new-build")));
    QVERIFY(second.headers.contains("if-modified-since"));
    QCOMPARE(fileId(cliPath())->inode, installed.inode);
    QVERIFY(leftovers().isEmpty());
    // What is remembered about the build lives with the application's state.
    QCOMPARE(
        QDir(options_.installDir).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("vantrel")});
}

void TestInstaller::unchangedBuildLeavesARunningCliAlone() {
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    CliProcess* running = m.currentProcess();
    QVERIFY(running);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(
        m.output().contains(QStringLiteral("ℹ️ CLI is already up to date\n")), 5000);
    QCoreApplication::processEvents();
    QCOMPARE(m.output().count(QStringLiteral("▶️ Starting vantrel CLI")), 1);
    QCOMPARE(m.currentProcess(), running);
    QCOMPARE(running->state(), QProcess::Running);
}

void TestInstaller::changedBuildReplacesTheInstalledOne() {
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    m.cleanup();
    server_->setAsset(expectedAsset(), cliBody("newer-build"));
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("newer-build\n")), 15000);
    QCOMPARE(server_->requests().at(1).headers.value("if-none-match"),
             DownloadServer::etagFor(cliBody("new-build")));
    QVERIFY(m.output().contains(QStringLiteral("✅ CLI updated to latest version at ")));
    QVERIFY(!m.output().contains(QStringLiteral("ℹ️ CLI is already up to date")));
    QCOMPARE(readAll(cliPath()), cliBody("newer-build"));

    // The newer build's tag is the one remembered now.
    m.cleanup();
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, 15000);
    QCOMPARE(server_->requests().at(2).headers.value("if-none-match"),
             DownloadServer::etagFor(cliBody("newer-build")));
    QTRY_VERIFY_WITH_TIMEOUT(
        m.output().contains(QStringLiteral("ℹ️ CLI is already up to date\n")), 5000);
}

void TestInstaller::missingCliIsDownloadedUnconditionally() {
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 15000);
    m.cleanup();
    QVERIFY(QFile::remove(cliPath()));
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    // A "not modified" answer here would leave no CLI at all.
    QVERIFY(!server_->requests().at(1).headers.contains("if-none-match"));
    QVERIFY(!server_->requests().at(1).headers.contains("if-modified-since"));
    QVERIFY(finished.at(1).at(0).toBool());
    QCOMPARE(readAll(cliPath()), cliBody("new-build"));
}

void TestInstaller::secondRequestWhileDownloadingDoesNothing() {
    server_->setAsset(expectedAsset(), cliBody("new-build", 600));
    server_->setMode(DownloadServer::Mode::Slow, 1000);
    VantrelManager& m = manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.installCLI();
    QVERIFY(m.isInstalling());
    m.installCLI();
    QVERIFY(
        console_->text().contains(QStringLiteral("ℹ️ A CLI download is already in progress")));
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(m.output().contains(QStringLiteral("new-build\n")), 10000);
    QCOMPARE(server_->requests().size(), 1);
    QCOMPARE(m.output().count(QStringLiteral("📥 Installing CLI from ")), 1);
    QVERIFY(!m.isInstalling());

    // Once it has ended, a new request downloads again.
    server_->setMode(DownloadServer::Mode::Normal);
    m.installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    QCOMPARE(server_->requests().size(), 2);
}

void TestInstaller::baseUrlOverrideMustBeHttps_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("https") << QByteArray("https://127.0.0.1:8443/static/cli") << true;
    QTest::newRow("http") << QByteArray("http://127.0.0.1:8080/static/cli") << false;
    QTest::newRow("no scheme") << QByteArray("downloads.example/static/cli") << false;
    QTest::newRow("https without host") << QByteArray("https:///static/cli") << false;
}

void TestInstaller::baseUrlOverrideMustBeHttps() {
    QFETCH(QByteArray, value);
    QFETCH(bool, accepted);
    const QUrl compiled = SupervisorOptions::fromEnvironment().baseURL;
    QCOMPARE(compiled.scheme(), QStringLiteral("https"));
    QVERIFY(compiled.path().endsWith(QStringLiteral("/static/cli")));
    const EnvGuard guard("HALVANE_BASE_URL", value);
    const SupervisorOptions options = SupervisorOptions::fromEnvironment();
    const QString warning =
        QStringLiteral("⚠️ HALVANE_BASE_URL is not an https URL, using ") + compiled.toString();
    if (accepted) {
        QCOMPARE(options.baseURL, QUrl(QString::fromUtf8(value)));
        QVERIFY(!console_->text().contains(QStringLiteral("⚠️")));
    } else {
        QCOMPARE(options.baseURL, compiled);
        QVERIFY2(console_->text().contains(warning), qPrintable(console_->text()));
    }
}

HALVANE_TEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
