#include "SupervisorSandbox.h"
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "install/CliInstaller.h"
#include "install/CliMetadata.h"
#include "output/LogFile.h"

#include <QtTest>

#include <csignal>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#ifdef Q_OS_LINUX // mount namespaces of a thread's own
#include <sched.h>
#include <sys/mount.h>
#endif

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

ino_t inode(const QString& path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_ino : 0;
}

QString sha256(const QByteArray& bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// The start of an ELF program for a processor other than this one: aarch64, or x86_64 on arm.
QByteArray foreignElf(QString* says) {
    const bool onArm = QSysInfo::currentCpuArchitecture() == QLatin1String("arm64");
    *says = onArm ? QStringLiteral("an ELF for x86_64; this machine is aarch64")
                  : QStringLiteral("an ELF for aarch64; this machine is x86_64");
    QByteArray elf = QByteArray::fromHex("7f454c46020101");
    elf.resize(700, '\0');
    elf[16] = 2; // a program
    elf[18] = char(onArm ? 62 : 183);
    return elf;
}

enum class Old { None, Installed, Running };
enum class Record { Huge, Fifo, Folder, OtherBuild };
} // namespace

// Real HTTPS downloads from a loopback server with certificates made for this run.
class TestInstaller : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void downloadInstallsAndStarts_data();
    void downloadInstallsAndStarts();
    void failureKeepsTheOldCli_data();
    void failureKeepsTheOldCli();
    void conditionalDownload();
    void updateWhileRunningOneDownloadAtATime();
    void slowDownloadStartsTheInstalledCliEarly();
    void stagedBuildWaitsForTheNextStart_data();
    void stagedBuildWaitsForTheNextStart();
    void badBuildIsRolledBackAndRefused();
    void installFolderThatCannotBeMade();
    void trialIsDecidedByTheBuildAlone_data();
    void trialIsDecidedByTheBuildAlone();
    void withoutACliItKeepsTrying();
    void updateAfterACrash_data();
    void updateAfterACrash();
    void killedAtEachStepKeepsTheProvenBuild_data();
    void killedAtEachStepKeepsTheProvenBuild();
    void recordThatDoesNotFit_data();
    void recordThatDoesNotFit();
#ifdef Q_OS_LINUX
    void verifiedBuildThatCannotBeInstalled();
    void logFileOnAFullDiskSaysSo();
#endif

private:
    // Everything in the install folder but the CLI: temporary files must not survive.
    QStringList leftovers() const {
        QStringList names = QDir(sandbox_->options.installDir)
                                .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
        names.removeAll(QStringLiteral("vantrel"));
        names.removeAll(QStringLiteral("vantrel.previous"));
        return names;
    }
    bool waitForOutput(const QString& text) {
        return QTest::qWaitFor([&] { return m().output().contains(text); }, 15000);
    }
    VantrelManager& m() {
        return sandbox_->manager();
    }
    QString cli() const {
        return sandbox_->cliPath();
    }

    const QByteArray old_ = cliBody("old-build");
    const QByteArray new_ = cliBody("new-build", 600); // served unless a test serves another
    std::unique_ptr<TestHttps> https_;
    std::unique_ptr<SupervisorSandbox> sandbox_;
};

void TestInstaller::init() {
    https_ = std::make_unique<TestHttps>();
    QVERIFY2(https_->error().isEmpty(), qPrintable(https_->error()));
    https_->serve(new_);
    sandbox_ = std::make_unique<SupervisorSandbox>();
    sandbox_->options.baseURL = QUrl(https_->baseUrl());
    sandbox_->options.caCertificates = TestHttps::pki()->caCert;
    sandbox_->options.stopTimeoutMs = 500;
}

void TestInstaller::cleanup() {
    sandbox_->resetManager();
    CliMetadata::continueAfter = nullptr;
    // Nothing a test started may outlive it.
    QList<pid_t> left;
    const bool none =
        QTest::qWaitFor([&] { return (left = sandbox_->processes()).isEmpty(); }, 3000);
    for (pid_t pid : std::as_const(left))
        ::kill(pid, SIGKILL);
    QVERIFY2(none, "processes of this test were left running");
}

void TestInstaller::downloadInstallsAndStarts_data() {
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QString>("baseSuffix");
    QTest::newRow("plain") << Mode::Normal << 0 << QString();
    QTest::newRow("base URL with a trailing slash") << Mode::Normal << 0 << "/";
    QTest::newRow("redirect to https") << Mode::RedirectToHttps << 0 << QString();
    QTest::newRow("slow but steady") << Mode::Slow << 400 << QString();
    QTest::newRow("chunked") << Mode::Chunked << 0 << QString();
}

void TestInstaller::downloadInstallsAndStarts() {
    QFETCH(Mode, mode);
    QFETCH(int, parameter);
    QFETCH(QString, baseSuffix);
    https_->setMode(mode, parameter);
    sandbox_->options.baseURL = QUrl(https_->baseUrl() + baseSuffix);
    // Slow: about three stall limits long, but data never stops for long.
    sandbox_->options.stallTimeoutMs = mode == Mode::Slow ? 500 : 10000;
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().downloadAndRunCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY2(finished.at(0).at(0).toBool(), qPrintable(finished.at(0).at(1).toString()));
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QCOMPARE(readFile(cli()), new_);
    // What is installed is shown.
    QVERIFY(m().state().summary().contains(sha256(new_).left(12)));
    // The connection opened while the sweep ran is the one the download used.
    if (mode == Mode::Normal)
        QCOMPARE(https_->connections(), 1);
}

void TestInstaller::failureKeepsTheOldCli_data() {
    QTest::addColumn<Mode>("mode");
    QTest::addColumn<int>("parameter");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("trust"); // 0 the server's authority, 1 another, 2 the system's only
    QTest::addColumn<Old>("old");
    QTest::addColumn<QString>("says"); // what the output log gives as the reason
    const QByteArray good = new_;
    auto row = [](const char* name, Mode mode, int parameter, const QByteArray& body,
                  const QString& says, Old old = Old::Installed, int trust = 0) {
        QTest::newRow(name) << mode << parameter << body << trust << old << says;
    };
    QString foreign;
    const QByteArray elf = foreignElf(&foreign);
    row("HTTP 206 with half the file", Mode::Partial, 0, good, "HTTP 206 Partial Content");
    row("ELF for another processor", Mode::Normal, 0, elf, foreign);
    row("script without #!", Mode::Normal, 0, "echo new-build\nsleep 30\n",
        "a text file that does not start with \"#!\" (its first line begins \"echo new-build\")",
        Old::Running);
    // -1: the port of a server whose certificate names another host.
    row("certificate for another host at a redirect's target", Mode::RedirectToPort, -1, good,
        "the secure connection to 127.0.0.1:%1 failed: The host name did not match");
    row("HTTP 404", Mode::Status, 404, good, "the server answered HTTP 404 Not Found");
    row("HTTP 500 while running", Mode::Status, 500, good, "HTTP 500", Old::Running);
    row("HTTP 404, nothing installed", Mode::Status, 404, good, "HTTP 404", Old::None);
    row("HTTP 503 with Retry-After", Mode::Status, 503, good, "HTTP 503 Busy", Old::Running);
    row("cut off", Mode::CutOff, 100, good, "the download ended after 100 of");
    row("empty body", Mode::Normal, 0, "", "it sent an empty file");
    row("redirect to http", Mode::RedirectToHttp, 0, good, "refused a redirect to a non-https");
    row("authority of another server", Mode::Normal, 0, good,
        "the secure connection to 127.0.0.1:", Old::Installed, 1);
    row("system authorities only", Mode::Normal, 0, good,
        "the secure connection to 127.0.0.1:", Old::Installed, 2);
    row("stall in the body", Mode::Stall, 100, good, "no data received for 1 s");
    row("no answer", Mode::Silent, 0, good, "no data received for 1 s");
    row("endless body", Mode::Endless, 0, good, "larger than the limit of 4096 bytes");
    row("announced length over the limit", Mode::Normal, 0, cliBody("big", 5000),
        "(5033 announced)");
    row("no length, closed early", Mode::CloseDelimited, 300, good, "no length and no end marker");
    row("trickle", Mode::Trickle, 200, good, "did not finish within 2 s");
    row("redirect loop", Mode::RedirectLoop, 0, good, "too many redirects");
}

void TestInstaller::failureKeepsTheOldCli() {
    QFETCH(Mode, mode);
    QFETCH(int, parameter);
    QFETCH(QByteArray, body);
    QFETCH(int, trust);
    QFETCH(Old, old);
    QFETCH(QString, says);
    DownloadServer stranger(TestHttps::pki()->serverConfiguration(true));
    if (parameter < 0 && stranger.listen())
        says = says.arg(parameter = stranger.port());
    https_->serve(body);
    https_->setMode(mode, parameter);
    sandbox_->options.caCertificates =
        QStringList{TestHttps::pki()->caCert, TestHttps::pki()->otherCaCert, QString()}.at(trust);
    sandbox_->options.stallTimeoutMs = 1000;
    // Only the trickle meets the overall limit; the endless body must meet the size limit.
    sandbox_->options.downloadLimitMs = mode == Mode::Trickle ? 2000 : 60000;
    sandbox_->options.maxDownloadBytes = 4096;
    if (old != Old::None)
        sandbox_->writeCli(old_);
    const ino_t oldInode = inode(cli());
    QPointer<CliProcess> running;
    if (old == Old::Running) {
        m().runCLI();
        QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
        running = m().currentProcess();
    }
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    QSignalSpy attention(&m(), &VantrelManager::attentionNeeded);
    const qsizetype said = m().output().size();
    old == Old::Running ? m().checkForUpdate() : m().installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(!finished.at(0).at(0).toBool());
    // A busy server's wait reaches the caller, who plans the next check with it.
    QCOMPARE(finished.at(0).at(2).toInt(), parameter == 503 ? 120 : -1);
    QCOMPARE(readFile(cli()), old == Old::None ? QByteArray() : old_);
    QCOMPARE(inode(cli()), oldInode);
    QVERIFY2(waitForOutput(says), qPrintable(m().output()));
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
    if (old == Old::Installed) {
        // Never left without a CLI because the network was not there.
        QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    } else if (old == Old::Running) {
        // Nor is the one in use restarted; a failed check is one line and its result, quietly.
        QTRY_COMPARE(m().state().phase, Phase::Running);
        QVERIFY(running && m().currentProcess() == running);
        QCOMPARE(m().state().lastCheckResult, finished.at(0).at(1).toString());
        QVERIFY(attention.isEmpty() && !m().state().problem);
        QCOMPARE(m().output().mid(said).count(u'\n'), 1);
    } else {
        QTRY_COMPARE(m().state().phase, Phase::Failed);
        QVERIFY(!QFileInfo::exists(cli()) && !m().currentProcess());
    }
}

void TestInstaller::conditionalDownload() {
    sandbox_->options.rollbackWindowMs = 300; // a check waits for the trial's verdict
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().installCLI();
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    const ino_t installed = inode(cli());
    QPointer<CliProcess> running = m().currentProcess();

    // Unchanged: asked for conditionally, kept, the running CLI left alone, and one line said.
    const qsizetype said = m().output().size();
    m().checkForUpdate();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    QVERIFY(finished.at(1).at(0).toBool());
    QTRY_COMPARE(m().output().mid(said), QStringLiteral("ℹ️ CLI is already up to date\n"));
    const auto& requests = https_->requests();
    QCOMPARE(requests.at(1).headers.value("if-none-match"), DownloadServer::etagFor(new_));
    QCOMPARE(inode(cli()), installed);
    QTRY_COMPARE(m().state().phase, Phase::Running);
    QVERIFY(running && m().currentProcess() == running);
    // Remembered with the application's state, not beside the CLI.
    QVERIFY(leftovers().isEmpty());

    // The same bytes from a server that ignores the tags: kept too, with no new trial.
    const qint64 installedAt = CliMetadata::load(sandbox_->options).installedAt;
    https_->setMode(Mode::Unconditional);
    m().updateCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 3, 15000);
    QVERIFY(finished.at(2).at(0).toBool());
    QVERIFY(waitForOutput(QStringLiteral("the server sent the installed build again")));
    QVERIFY(inode(cli()) == installed && leftovers().isEmpty());
    QCOMPARE(CliMetadata::load(sandbox_->options).installedAt, installedAt);
    QTRY_COMPARE(m().state().phase, Phase::Running);
    QVERIFY(running && m().currentProcess() == running);
    https_->setMode(Mode::Normal);

    // Changed, and the user asks for it: replaced and restarted.
    https_->serve(cliBody("newer-build"));
    m().updateCLI();
    QVERIFY(waitForOutput(QStringLiteral("newer-build\n")));
    QCOMPARE(readFile(cli()), cliBody("newer-build"));

    // Missing: a "not modified" answer would leave no CLI at all.
    QVERIFY(QFile::remove(cli()));
    m().installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 5, 15000);
    const auto& headers = requests.at(4).headers;
    QVERIFY(!headers.contains("if-none-match") && !headers.contains("if-modified-since"));
    QCOMPARE(readFile(cli()), cliBody("newer-build"));
}

void TestInstaller::updateWhileRunningOneDownloadAtATime() {
    sandbox_->writeCli(old_);
    const ino_t oldInode = inode(cli());
    m().runCLI();
    QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    const pid_t oldGroup = m().currentProcess()->groupId();
    https_->setMode(Mode::Slow, 500);
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().updateCLI();
    QVERIFY(m().isInstalling());
    m().updateCLI();
    // Half-way through, the old CLI is untouched and still running.
    QTRY_VERIFY_WITH_TIMEOUT(m().state().received > 0, 10000);
    QCOMPARE(readFile(cli()), old_);
    QVERIFY(m().currentProcess() && m().currentProcess()->state() == QProcess::Running);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QCOMPARE(https_->requests().size(), 1);
    // Replaced by a rename, never written in place, and the old CLI's whole group stopped.
    QCOMPARE(readFile(cli()), new_);
    QVERIFY(inode(cli()) != oldInode);
    QVERIFY(leftovers().isEmpty());
    QTRY_VERIFY(::kill(-oldGroup, 0) != 0);
    // Once it has ended, a new request downloads again; Quit half-way through cancels it at
    // once and leaves neither a temporary file nor a damaged CLI.
    https_->serve(cliBody("new-build", 3000));
    https_->setMode(Mode::Slow, 1000);
    m().installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(https_->requests().size() == 2 && m().isInstalling(), 10000);
    QCOMPARE(m().state().phase, Phase::Running); // a check beside the CLI stays quiet
    QSignalSpy cleanedUp(&m(), &VantrelManager::cleanupFinished);
    m().cleanup();
    QVERIFY(leftovers().isEmpty());
    QVERIFY(cleanedUp.wait(1000));
    QVERIFY(waitForOutput(QStringLiteral("📥 Download cancelled")));
    QVERIFY(!m().currentProcess());
    QCOMPARE(readFile(cli()), new_);
}

void TestInstaller::slowDownloadStartsTheInstalledCliEarly() {
    sandbox_->writeCli(old_);
    sandbox_->options.earlyStartMs = 100;
    const QByteArray body = cliBody("new-build", 3000);
    https_->serve(body);
    https_->setMode(Mode::Slow, 1000);
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().downloadAndRunCLI();
    QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    const QPointer<CliProcess> running = m().currentProcess();
    QVERIFY(running && finished.isEmpty());
    // Staged beside the old build, whose file the user's CLI keeps running from.
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(finished.at(0).at(0).toBool());
    QCOMPARE(readFile(cli()), old_);
    QCOMPARE(readFile(sandbox_->options.stagedCliPath()), body);
    QTRY_COMPARE(m().state().phase, Phase::Running);
    QVERIFY(running && m().currentProcess() == running);
    QVERIFY(!m().output().contains(QStringLiteral("new-build\n")));
    // Restart CLI runs it, on trial.
    m().restartCLI();
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QCOMPARE(readFile(cli()), body);
    QVERIFY(CliMetadata::load(sandbox_->options).trial);
}

void TestInstaller::stagedBuildWaitsForTheNextStart_data() {
    QTest::addColumn<QString>("then");
    QTest::addColumn<int>("haltAfter"); // the next launch's switch stops after this step; -1 none
    QTest::newRow("a newer build replaces it") << "newer" << -1;
    QTest::newRow("the server offers the running build again") << "back" << -1;
    QTest::newRow("quit, the next launch switches without a body") << "quit" << -1;
    using Step = CliMetadata::Step;
    for (Step step : {Step::IntentSaved, Step::PreviousStaged, Step::Renamed, Step::PreviousKept,
                      Step::Recorded})
        QTest::addRow("quit, the next launch's switch killed after step %d", int(step))
            << "quit" << int(step);
}

// A check while the CLI runs stages what it finds and leaves the running CLI alone; what
// happens next decides which build the next start runs.
void TestInstaller::stagedBuildWaitsForTheNextStart() {
    QFETCH(QString, then);
    QFETCH(int, haltAfter);
    const QString staged = sandbox_->options.stagedCliPath();
    const auto record = [this] { return CliMetadata::load(sandbox_->options); };
    sandbox_->options.rollbackWindowMs = 300;
    https_->serve(old_);
    m().installCLI();
    QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    QTRY_VERIFY(!record().trial);
    const QPointer<CliProcess> running = m().currentProcess();
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    https_->serve(new_);
    m().checkForUpdate();
    QVERIFY(waitForOutput(QStringLiteral("✅ A new build is ready")));
    QCOMPARE(readFile(staged), new_);
    QVERIFY(readFile(cli()) == old_ && record().staged.sha256 == sha256(new_));
    // Shown as it is, once in the output log: the tray and the window read the state.
    const auto shows = [this](const QString& build, const QString& result) {
        const SupervisorState state = m().state();
        return (build.isEmpty() ? state.stagedBuild.isEmpty()
                                : state.stagedBuild.contains(build)) &&
               state.lastCheck.isValid() && state.lastCheckResult == result;
    };
    QTRY_VERIFY(shows(sha256(new_).left(12), QStringLiteral("new build ready")));
    QCOMPARE(m().output().count(sha256(new_).left(12)), 1);
    QVERIFY(running && m().currentProcess() == running);
    QByteArray next = new_;
    if (then == QLatin1String("back")) {
        https_->serve(old_);
        m().installCLI();
        QVERIFY(waitForOutput(QStringLiteral("offers the running build again: dropped")));
        QCOMPARE(https_->requests().last().headers.value("if-none-match"),
                 DownloadServer::etagFor(old_) + ", " + DownloadServer::etagFor(new_));
        QVERIFY(!QFileInfo::exists(staged) && record().staged.isEmpty());
        QVERIFY(running && m().currentProcess() == running);
        QTRY_VERIFY(shows({}, QStringLiteral("up to date")));
        return;
    }
    if (then == QLatin1String("newer")) {
        https_->serve(next = cliBody("newer-build"));
        m().installCLI();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
        QCOMPARE(readFile(staged), next);
        QVERIFY(running && m().currentProcess() == running);
        m().restartCLI();
    } else {
        sandbox_->resetManager();
        CliMetadata::continueAfter = [haltAfter](CliMetadata::Step at) {
            return int(at) != haltAfter;
        };
        // The record's staged build is shown from the launch on.
        QVERIFY(m().state().stagedBuild.contains(sha256(new_).left(12)));
        m().downloadAndRunCLI();
        if (haltAfter >= 0) {
            QTRY_VERIFY(https_->requests().size() == 3 && !m().isInstalling());
            sandbox_->resetManager();
            CliMetadata::continueAfter = nullptr;
            m().downloadAndRunCLI();
        }
    }
    QVERIFY2(waitForOutput(QString::fromUtf8(next.mid(15, next.indexOf('\n', 15) - 14))),
             qPrintable(m().output()));
    // Nothing new on the server at the launch: the staged build's tag answered "not modified".
    QVERIFY(haltAfter < 0 || haltAfter == int(CliMetadata::Step::Recorded) ||
            m().output().contains(QStringLiteral("was cut short")));
    QVERIFY(then == QLatin1String("newer") || https_->requests()
                                                  .last()
                                                  .headers.value("if-none-match")
                                                  .contains(DownloadServer::etagFor(new_)));
    QCOMPARE(readFile(cli()), next);
    QCOMPARE(readFile(sandbox_->options.previousCliPath()), old_);
    const CliMetadata now = record();
    QVERIFY(now.trial && now.installed.sha256 == sha256(next) && now.staged.isEmpty());
    QVERIFY(m().state().stagedBuild.isEmpty());
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
}

void TestInstaller::badBuildIsRolledBackAndRefused() {
    sandbox_->writeCli(old_);
    https_->serve("#!/bin/sh\nexit 1\n");
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    QSignalSpy attention(&m(), &VantrelManager::attentionNeeded);
    m().installCLI();
    QVERIFY(waitForOutput(QStringLiteral("old-build\n")));
    QCOMPARE(readFile(cli()), old_);
    QVERIFY(m().state().problem && leftovers().isEmpty() && attention.count() == 1);
    QVERIFY(!QFileInfo::exists(sandbox_->options.previousCliPath()));
    // Offered again at a launch, the refused build is not even downloaded: its tag goes with
    // the request, and the one that works stays.
    m().installCLI();
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, 15000);
    QVERIFY(finished.at(1).at(0).toBool());
    QVERIFY(https_->requests()
                .last()
                .headers.value("if-none-match")
                .contains(DownloadServer::etagFor("#!/bin/sh\nexit 1\n")));
    QVERIFY(waitForOutput(QStringLiteral("still offers the build that was rolled back")));
    QCOMPARE(readFile(cli()), old_);
    QTRY_COMPARE(m().state().phase, Phase::Running);
}

void TestInstaller::installFolderThatCannotBeMade() {
    sandbox_->writeScript(QStringLiteral("file"), "");
    sandbox_->options.installDir = sandbox_->path() + QStringLiteral("/file/bin");
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().installCLI();
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(!finished.at(0).at(0).toBool());
    // Says which folder.
    QVERIFY(waitForOutput(sandbox_->options.installDir));
}

#ifdef Q_OS_LINUX
// Verified, but the rename that installs it fails (the CLI's path is a mount point, in a mount
// namespace of this thread's own): the installed build, the one kept beside it and the record
// stay as they were, and nothing is left in the install folder.
void TestInstaller::verifiedBuildThatCannotBeInstalled() {
    sandbox_->writeCli(old_);
    const QString previous = sandbox_->options.previousCliPath();
    sandbox_->writeScript(previous, cliBody("older-build"));
    const QByteArray path = QFile::encodeName(cli());
    HALVANE_REQUIRE(::unshare(CLONE_NEWNS) == 0 &&
                        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        ::mount(path.constData(), path.constData(), nullptr, MS_BIND, nullptr) == 0,
                    QStringLiteral("a bind mount needs root or CAP_SYS_ADMIN"));
    const auto unmount = qScopeGuard([&] { ::umount2(path.constData(), MNT_DETACH); });
    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().installCLI();
    const QString record = sandbox_->options.stateDir + QStringLiteral("/cli-download.json");
    const QByteArray recorded = readFile(record);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QCOMPARE(finished.at(0).at(1).toString(),
             QStringLiteral("Install failed: Device or resource busy"));
    QCOMPARE(readFile(cli()), old_);
    QCOMPARE(readFile(previous), cliBody("older-build"));
    QCOMPARE(readFile(record), recorded);
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
}
#endif

void TestInstaller::trialIsDecidedByTheBuildAlone_data() {
    QTest::addColumn<QString>("disturb");
    QTest::newRow("restarted during its trial") << "restart";
    QTest::newRow("SIGTERM from outside during its trial") << "sigterm";
    QTest::newRow("a broken build over one still on trial") << "broken";
}

// Build A works; B is installed and on trial when something happens to it. Only B's own failure
// may fail it, and what takes its place is always A, the last build that passed.
void TestInstaller::trialIsDecidedByTheBuildAlone() {
    QFETCH(QString, disturb);
    sandbox_->writeCli(old_);
    sandbox_->options.rollbackWindowMs = 4000;
    sandbox_->options.restartFirstDelayMs = 1;
    https_->serve(cliBody("build-b"));
    m().installCLI();
    QVERIFY(waitForOutput(QStringLiteral("build-b\n")));
    const QString previous = sandbox_->options.previousCliPath();
    QCOMPARE(readFile(previous), old_);
    const auto onTrial = [&] { return CliMetadata::load(sandbox_->options).trial; };
    QVERIFY(onTrial());
    const pid_t group = m().currentProcess()->groupId();
    if (disturb == QLatin1String("restart")) {
        m().restartCLI();
    } else if (disturb == QLatin1String("sigterm")) {
        ::kill(-group, SIGTERM);
    } else {
        https_->serve("#!/bin/sh\nexit 1\n");
        m().updateCLI();
        QVERIFY(waitForOutput(QStringLiteral("↩️")));
        QTRY_COMPARE(m().stage(), CliLifecycle::Stage::Running);
        QCOMPARE(readFile(cli()), old_);
        return;
    }
    QTRY_VERIFY(m().currentProcess() && m().currentProcess()->groupId() != group);
    QTRY_COMPARE(m().output().count(QStringLiteral("build-b\n")), 2);
    QVERIFY(onTrial() && !m().output().contains(QStringLiteral("↩️")));
    QCOMPARE(readFile(previous), old_);
    // Through the window, the next run passes it.
    QTRY_VERIFY_WITH_TIMEOUT(!onTrial(), 8000);
    QCOMPARE(readFile(cli()), cliBody("build-b"));
}

// No CLI and no download: the problem shows, the user hears of it once, and it is tried again,
// also the moment the network is back; the first success clears all of it.
void TestInstaller::withoutACliItKeepsTrying() {
    sandbox_->options.installRetryFirstMs = 200;
    sandbox_->options.installRetryLongestMs = 60000;
    sandbox_->options.installNotifyMs = 500;
    https_->setMode(Mode::Status, 404);
    QSignalSpy attention(&m(), &VantrelManager::attentionNeeded);
    m().installCLI();
    QTRY_COMPARE(m().stage(), CliLifecycle::Stage::WaitingForInstall);
    QVERIFY(m().state().problem && m().state().notice.contains(QStringLiteral("404")));
    QTRY_VERIFY_WITH_TIMEOUT(https_->requests().size() >= 3, 10000);
    QTRY_COMPARE(attention.count(), 1);
    // The delays grow: by now the next try is a while away, but the network's return is not.
    QTRY_VERIFY_WITH_TIMEOUT(m().stage() == CliLifecycle::Stage::WaitingForInstall &&
                                 https_->requests().size() >= 6,
                             15000);
    https_->setMode(Mode::Normal, 0);
    m().networkReachable();
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QVERIFY(!m().state().problem && m().state().notice.isEmpty());
    QCOMPARE(attention.count(), 1);
}

void TestInstaller::updateAfterACrash_data() {
    QTest::addColumn<int>("restartLimit");
    QTest::addColumn<CliLifecycle::Stage>("stage");
    QTest::newRow("given up") << 1 << CliLifecycle::Stage::GivenUp;
    QTest::newRow("waiting to restart") << 5 << CliLifecycle::Stage::WaitingToRestart;
}

// A new build is a fresh start: it runs at once, whatever the crashed one was waiting for.
void TestInstaller::updateAfterACrash() {
    QFETCH(int, restartLimit);
    QFETCH(CliLifecycle::Stage, stage);
    sandbox_->options.restartLimit = restartLimit;
    sandbox_->options.restartFirstDelayMs = 60000;
    sandbox_->writeCli("exit 3");
    m().runCLI();
    QTRY_COMPARE(m().stage(), stage);
    QCOMPARE(m().state().problem, stage == CliLifecycle::Stage::GivenUp);
    m().updateCLI();
    QVERIFY(waitForOutput(QStringLiteral("new-build\n")));
    QVERIFY(!m().state().problem && m().state().notice.isEmpty());
    QCOMPARE(m().stage(), CliLifecycle::Stage::Running);
}

void TestInstaller::killedAtEachStepKeepsTheProvenBuild_data() {
    QTest::addColumn<CliMetadata::Step>("step");
    QTest::newRow("after the intent is saved") << CliMetadata::Step::IntentSaved;
    QTest::newRow("after the proven build is staged") << CliMetadata::Step::PreviousStaged;
    QTest::newRow("after the new build's rename") << CliMetadata::Step::Renamed;
    QTest::newRow("after the proven build is kept") << CliMetadata::Step::PreviousKept;
    QTest::newRow("after the record is saved") << CliMetadata::Step::Recorded;
    QTest::newRow("after the rollback's rename") << CliMetadata::Step::RolledBack;
}

// A bad build replaces the proven one and the work stops after one step, as a kill would. Started
// again with the bad build still on the server, the proven build runs and the record says which
// build is which.
void TestInstaller::killedAtEachStepKeepsTheProvenBuild() {
    QFETCH(CliMetadata::Step, step);
    const QByteArray bad = "#!/bin/sh\nexit 1\n";
    sandbox_->writeCli(old_);
    sandbox_->options.restartFirstDelayMs = 60000;
    https_->serve(bad);
    bool stopped = false;
    CliMetadata::continueAfter = [&stopped, step](CliMetadata::Step at) {
        if (stopped || at != step)
            return true;
        stopped = true;
        return false;
    };
    m().installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(stopped, 15000);
    sandbox_->resetManager();
    m().downloadAndRunCLI();
    QVERIFY2(waitForOutput(QStringLiteral("old-build\n")), qPrintable(m().output()));
    QCOMPARE(readFile(cli()), old_);
    const CliMetadata record = CliMetadata::load(sandbox_->options);
    QCOMPARE(record.installed.sha256, sha256(old_));
    QCOMPARE(record.refused.sha256, sha256(bad));
    QVERIFY(!record.trial && record.previous.isEmpty() && record.candidate.isEmpty());
    QVERIFY2(leftovers().isEmpty(), qPrintable(leftovers().join(QLatin1Char(' '))));
}

void TestInstaller::recordThatDoesNotFit_data() {
    QTest::addColumn<Record>("record");
    QTest::addColumn<QString>("says");
    QTest::newRow("huge") << Record::Huge << "more than a record can be";
    QTest::newRow("FIFO") << Record::Fifo << "is a FIFO, not a file";
    QTest::newRow("folder") << Record::Folder << "is a folder, not a file";
    QTest::newRow("another build's, with a field nobody knows")
        << Record::OtherBuild << "described another build";
}

// Whatever is at the record's place, the next start reads it without waiting, uses it only when
// it describes the installed file, and downloads the whole build when it does not.
void TestInstaller::recordThatDoesNotFit() {
    QFETCH(Record, record);
    QFETCH(QString, says);
    const QString path = sandbox_->options.stateDir + QStringLiteral("/cli-download.json");
    QDir().mkpath(sandbox_->options.stateDir);
    sandbox_->writeCli(old_);
    QFile file(path);
    if (record == Record::Huge) {
        QVERIFY(file.open(QIODevice::WriteOnly) &&
                file.write(R"({"etag":")" + QByteArray(100000, 'x') + R"("})") > 0);
    } else if (record == Record::Fifo) {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    } else if (record == Record::Folder) {
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    } else {
        // The new_ build's tags over the old file: a conditional request would keep the old.
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(
                       QJsonObject{{"url", https_->baseUrl() + '/' + VantrelManager::assetName()},
                                   {"etag", QString(DownloadServer::etagFor(new_))},
                                   {"sha256", sha256(new_)},
                                   {"size", double(new_.size())},
                                   {"junk", "x"}})
                       .toJson());
    }
    file.close();

    QSignalSpy finished(&m(), &VantrelManager::installFinished);
    m().installCLI();
    // Corrected before the request went out.
    const CliMetadata now = CliMetadata::load(sandbox_->options);
    QCOMPARE(now.installed.sha256, sha256(readFile(cli())));
    QVERIFY(now.installed.etag.isEmpty() && !now.needsRewrite);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 15000);
    QVERIFY(!https_->requests().last().headers.contains("if-none-match"));
    QCOMPARE(readFile(cli()), new_);
    // One line says why, and what could not be read is kept aside.
    QVERIFY2(waitForOutput(says), qPrintable(m().output()));
    QCOMPARE(m().output().count(QStringLiteral("download record")), 1);
    const QDir state(sandbox_->options.stateDir);
    QCOMPARE(state.entryList({"*.unreadable-*"}, QDir::AllEntries | QDir::System).size(),
             record <= Record::Folder ? 1 : 0);
}

#ifdef Q_OS_LINUX
// A disk that fills up in the middle of a write, in a mount namespace of this thread's own, so
// the mount goes with the test whatever happens to it.
void TestInstaller::logFileOnAFullDiskSaysSo() {
    const QString dir = sandbox_->path() + QStringLiteral("/small");
    QDir().mkpath(dir);
    const QByteArray mountPoint = QFile::encodeName(dir);
    HALVANE_REQUIRE(::unshare(CLONE_NEWNS) == 0 &&
                        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                        ::mount("tmpfs", mountPoint.constData(), "tmpfs", 0, "size=16k") == 0,
                    QStringLiteral("mounting a tmpfs needs root or CAP_SYS_ADMIN"));
    const auto unmount = qScopeGuard([&] { ::umount2(mountPoint.constData(), MNT_DETACH); });
    QString said;
    LogFile log(dir, QStringLiteral("cli.log"), 1 << 20, 1,
                [&said](const QString& message) { said += message; });
    log.write(QByteArray(40000, 'x'));
    QVERIFY2(said.endsWith(QStringLiteral(": No space left on device\n")), qPrintable(said));
}
#endif

HALVANE_TEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer.moc"
