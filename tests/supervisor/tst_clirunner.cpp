#include "ProcessGroup.h"
#include "SupervisorFixture.h"
#include "TestEnvironment.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>

class TestCliRunner : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startsUnderZshWithMessagesInOrder();
    void zshFailureFallsBackToBashOnce();
    void missingZshStartsBashAtOnce();
    void neitherShellLeavesProcessUnchanged();
    void missingOrNonExecutableCliStartsNothing();
    void childEnvironmentForcesColour();
    void streamsAreMergedAndPassedUnchanged();
    void multiByteCharactersSurviveSplitReads();
    void installPathWithSpaceAndQuote();
    void largeBurstArrivesCompleteAndInOrder();
    void cleanupReturnsEarlyWhenCliObeysTerm();
    void cleanupKillsWholeGroupOfStubbornCli();
    void cleanupTwiceFindsNothingTheSecondTime();
    void replacingRunningCliDoesNotTriggerBash();
};

namespace {
const QString kZshStart =
    QStringLiteral("▶️ Starting vantrel CLI in zsh with color support...\n");
const QString kZshStarted = QStringLiteral("✅ CLI started successfully in zsh\n");
const QString kBashStart =
    QStringLiteral("▶️ Starting vantrel CLI in bash with color support...\n");
const QString kBashStarted = QStringLiteral("✅ CLI started successfully in bash\n");

bool waitForExit(VantrelManager& manager, int timeoutMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (manager.output().contains(QStringLiteral("⚡️ CLI exited with code")) &&
            !manager.currentProcess())
            return true;
    }
    return false;
}
} // namespace

void TestCliRunner::startsUnderZshWithMessagesInOrder() {
    SupervisorFixture f;
    f.writeCli("echo hello from cli; exit 0");
    VantrelManager& m = f.manager();
    QSignalSpy states(&m, &VantrelManager::stateChanged);
    m.runCLI();
    QVERIFY(m.currentProcess());
    QCOMPARE(m.currentProcess()->shell(), QStringLiteral("zsh"));
    QVERIFY(waitForExit(m));
    QVERIFY2(appearsInOrder(m.output(), {kZshStart, kZshStarted, QStringLiteral("hello from cli\n"),
                                         QStringLiteral("\n⚡️ CLI exited with code 0\n")}),
             qPrintable(m.output()));
    QVERIFY(!m.output().contains(QStringLiteral("bash")));
    QCOMPARE(m.state().phase, SupervisorState::Phase::Exited);
    QVERIFY(states.count() >= 2);
}

void TestCliRunner::zshFailureFallsBackToBashOnce() {
    SupervisorFixture f;
    f.writeCli("echo failing; exit 2");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(waitForExit(m));
    QVERIFY2(appearsInOrder(m.output(),
                            {kZshStart, kZshStarted,
                             QStringLiteral("⚠️ zsh failed, trying bash...\n"), kBashStart,
                             kBashStarted, QStringLiteral("\n⚡️ CLI exited with code 2\n")}),
             qPrintable(m.output()));
    QCOMPARE(m.output().count(QStringLiteral("⚡️ CLI exited")), 1);
    QCOMPARE(m.output().count(QStringLiteral("zsh failed")), 1);
    QCOMPARE(m.state().exitCode, 2);
}

void TestCliRunner::missingZshStartsBashAtOnce() {
    SupervisorFixture f;
    f.options.zshPath = f.dir.path() + QStringLiteral("/no-such-zsh");
    f.writeCli("echo via bash");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(m.currentProcess());
    QCOMPARE(m.currentProcess()->shell(), QStringLiteral("bash"));
    QVERIFY(waitForExit(m));
    QVERIFY2(
        appearsInOrder(m.output(),
                       {kZshStart, QStringLiteral("⚠️ Failed to start in zsh, trying bash: "),
                        kBashStart, kBashStarted, QStringLiteral("via bash\n")}),
        qPrintable(m.output()));
    QVERIFY(!m.output().contains(kZshStarted));
}

void TestCliRunner::neitherShellLeavesProcessUnchanged() {
    SupervisorFixture f;
    f.options.zshPath = f.dir.path() + QStringLiteral("/no-such-zsh");
    f.options.bashPath = f.dir.path() + QStringLiteral("/no-such-bash");
    f.writeCli("echo never");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(!m.currentProcess());
    QTRY_VERIFY(m.output().contains(QStringLiteral("❌ Failed to run CLI in bash: ")));
    QVERIFY(
        appearsInOrder(m.output(), {kZshStart, QStringLiteral("⚠️ Failed to start in zsh"),
                                    kBashStart, QStringLiteral("❌ Failed to run CLI in bash: ")}));
    QVERIFY(m.output().endsWith(QLatin1Char('\n')));
    QCOMPARE(m.state().phase, SupervisorState::Phase::Failed);
}

void TestCliRunner::missingOrNonExecutableCliStartsNothing() {
    SupervisorFixture f;
    VantrelManager& m = f.manager();
    const QString expected =
        QStringLiteral("❌ CLI not found or not executable at ") + m.cliPath() + QLatin1Char('\n');
    m.runCLI();
    QVERIFY(!m.currentProcess());
    QTRY_VERIFY(m.output().endsWith(expected));

    // A running CLI is left alone when the new file is unusable.
    f.writeCli("trap 'exit 0' TERM; echo up; while true; do sleep 0.05; done");
    m.runCLI();
    QPointer<CliProcess> running = m.currentProcess();
    QVERIFY(running);
    QTRY_VERIFY(m.output().contains(QStringLiteral("up\n")));
    f.writeCli("echo replaced", /*executable=*/false);
    m.runCLI();
    QTRY_COMPARE(m.output().count(QStringLiteral("❌ CLI not found")), 2);
    QCOMPARE(m.currentProcess(), running.data());
    QVERIFY(!running->stopRequested());
    QCOMPARE(running->state(), QProcess::Running);
    m.cleanup();
}

void TestCliRunner::childEnvironmentForcesColour() {
    qputenv("TERM", "dumb");
    qputenv("NO_COLOR", "1");
    qputenv("ANSI_COLORS_DISABLED", "1");
    qputenv("HALVANE_UNRELATED", "kept");
    SupervisorFixture f;
    f.writeCli("for v in TERM COLORTERM FORCE_COLOR CLICOLOR CLICOLOR_FORCE TERM_PROGRAM "
               "HALVANE_UNRELATED; do echo \"$v=${!v}\"; done; "
               "echo \"NO_COLOR=${NO_COLOR-unset} ANSI=${ANSI_COLORS_DISABLED-unset}\"; "
               "echo \"HOME=$HOME\"");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(waitForExit(m));
    qunsetenv("NO_COLOR");
    qunsetenv("ANSI_COLORS_DISABLED");
    const QString out = m.output();
    for (const char* line : {"TERM=xterm-256color\n", "COLORTERM=truecolor\n", "FORCE_COLOR=1\n",
                             "CLICOLOR=1\n", "CLICOLOR_FORCE=1\n", "TERM_PROGRAM=Vantrel Mac\n",
                             "HALVANE_UNRELATED=kept\n", "NO_COLOR=unset ANSI=unset\n"})
        QVERIFY2(out.contains(QString::fromUtf8(line)), line);
    QVERIFY(out.contains(QStringLiteral("HOME=") + QDir::homePath() + QLatin1Char('\n')));
}

void TestCliRunner::streamsAreMergedAndPassedUnchanged() {
    SupervisorFixture f;
    f.writeCli("echo out-line; echo err-line >&2; printf 'abc'; sleep 0.3; printf 'def\\n'; "
               "printf '\\033[31mred\\033[0m\\n'");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(waitForExit(m));
    const QString out = m.output();
    QVERIFY(out.contains(QStringLiteral("out-line\n")));
    QVERIFY(out.contains(QStringLiteral("err-line\n")));
    QVERIFY2(out.contains(QStringLiteral("abcdef\n")), qPrintable(out));
    QVERIFY(out.contains(QStringLiteral("\x1b[31mred\x1b[0m\n")));
    QTRY_VERIFY(f.logText().contains(QStringLiteral("abcdef\n")));
}

void TestCliRunner::multiByteCharactersSurviveSplitReads() {
    SupervisorFixture f;
    // The euro sign's three bytes arrive in two reads; then an invalid byte.
    f.writeCli("printf 'price: \\xe2\\x82'; sleep 0.3; printf '\\xac 5\\n'; sleep 0.2; "
               "printf 'bad \\xff byte\\n'; sleep 0.2; printf 'cut \\xe2'");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(waitForExit(m));
    const QString out = m.output();
    QVERIFY2(out.contains(QStringLiteral("price: € 5\n")), qPrintable(out));
    QVERIFY(out.contains(QStringLiteral("bad \uFFFD byte\n")));
    QVERIFY(out.contains(QStringLiteral("cut \uFFFD")));
}

void TestCliRunner::installPathWithSpaceAndQuote() {
    SupervisorFixture f(QStringLiteral("it's a \"dir\" $HOME;x/bin"));
    f.writeCli("echo quoted path ok");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(waitForExit(m));
    QVERIFY2(m.output().contains(QStringLiteral("quoted path ok\n")), qPrintable(m.output()));
    QVERIFY(m.output().contains(QStringLiteral("⚡️ CLI exited with code 0")));
}

void TestCliRunner::largeBurstArrivesCompleteAndInOrder() {
    SupervisorFixture f;
    // 300 000 bytes in one go, far beyond a pipe's buffer.
    f.writeCli("for i in $(seq 1 30000); do printf '%09d\\n' $i; done");
    VantrelManager& m = f.manager();
    m.runCLI();
    QVERIFY(waitForExit(m, 30000));
    QString expected;
    for (int i = 1; i <= 30000; ++i)
        expected += QStringLiteral("%1\n").arg(i, 9, 10, QLatin1Char('0'));
    QVERIFY(m.output().contains(expected));
    m.flushLog();
    QVERIFY(f.logText().contains(expected));
}

void TestCliRunner::cleanupReturnsEarlyWhenCliObeysTerm() {
    ConsoleCapture console;
    SupervisorFixture f;
    f.writeCli("trap 'echo bye; exit 0' TERM; echo ready; while true; do sleep 0.05; done");
    VantrelManager& m = f.manager();
    m.runCLI();
    QTRY_VERIFY(m.output().contains(QStringLiteral("ready\n")));
    const pid_t group = m.currentProcess()->groupId();
    m.cleanup();
    QVERIFY(!m.currentProcess());
    QVERIFY(!ProcessGroup::hasLiveMembers(group));
    QVERIFY(console.contains(QStringLiteral("🧹 Terminating running CLI process")));
    QVERIFY(console.contains(QStringLiteral("✅ CLI process cleanup completed")));
    QVERIFY(!console.contains(QStringLiteral("⚠️ Process didn't terminate gracefully")));
    QTRY_VERIFY(m.output().contains(QStringLiteral("🧹 Cleaning up CLI process...\n")));
    // A stop the supervisor asked for is not a zsh failure.
    QTRY_VERIFY(m.output().contains(QStringLiteral("⚡️ CLI exited with code")));
    QVERIFY(!m.output().contains(QStringLiteral("zsh failed")));
}

void TestCliRunner::cleanupKillsWholeGroupOfStubbornCli() {
    ConsoleCapture console;
    SupervisorFixture f;
    const QString pidFile = f.dir.path() + QStringLiteral("/grandchild.pid");
    f.writeCli("trap '' TERM; (trap '' TERM; exec sleep 300) & echo $! > '" + pidFile.toUtf8() +
               "'; echo stubborn; while true; do sleep 0.05; done");
    VantrelManager& m = f.manager();
    m.runCLI();
    QTRY_VERIFY(m.output().contains(QStringLiteral("stubborn\n")));
    QTRY_VERIFY(QFile::exists(pidFile));
    const pid_t group = m.currentProcess()->groupId();
    QVERIFY(ProcessGroup::hasLiveMembers(group));
    m.cleanup();
    QVERIFY(console.contains(QStringLiteral("⚠️ Process didn't terminate gracefully")));
    QVERIFY(!m.currentProcess());
    QTRY_VERIFY(!ProcessGroup::hasLiveMembers(group));
}

void TestCliRunner::cleanupTwiceFindsNothingTheSecondTime() {
    ConsoleCapture console;
    SupervisorFixture f;
    f.writeCli("echo ready; while true; do sleep 0.05; done");
    VantrelManager& m = f.manager();
    m.runCLI();
    QTRY_VERIFY(m.output().contains(QStringLiteral("ready\n")));
    m.cleanup();
    QVERIFY(!console.contains(QStringLiteral("ℹ️ No running CLI process to clean up")));
    m.cleanup();
    QCOMPARE(console.lines().count(QStringLiteral("ℹ️ No running CLI process to clean up")), 1);
    QCOMPARE(console.lines().count(QStringLiteral("🧹 VantrelManager cleanup called")), 2);
}

void TestCliRunner::replacingRunningCliDoesNotTriggerBash() {
    SupervisorFixture f;
    f.writeCli("echo generation; while true; do sleep 0.05; done");
    VantrelManager& m = f.manager();
    m.runCLI();
    QPointer<CliProcess> first = m.currentProcess();
    QTRY_VERIFY(m.output().contains(QStringLiteral("generation\n")));
    m.runCLI();
    QPointer<CliProcess> second = m.currentProcess();
    QVERIFY(second && second != first);
    // The first one's end is reported but neither clears the new process nor retries.
    QTRY_VERIFY(m.output().contains(QStringLiteral("⚡️ CLI exited with code")));
    QCoreApplication::processEvents();
    QCOMPARE(m.currentProcess(), second.data());
    QVERIFY(!m.output().contains(QStringLiteral("zsh failed")));
    QCOMPARE(m.output().count(kZshStarted), 2);
    m.cleanup();
}

HALVANE_TEST_GUILESS_MAIN(TestCliRunner)
#include "tst_clirunner.moc"
