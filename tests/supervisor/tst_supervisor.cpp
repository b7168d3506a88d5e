#include "ConsoleCapture.h"
#include "RestartPolicy.h"
#include "SupervisorSandbox.h"
#include "TestEnvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <thread>
#include <unistd.h>

using Phase = SupervisorState::Phase;

namespace {
bool alive(pid_t pid) {
    return ::kill(pid, 0) == 0;
}

// Lines of a file the fake CLIs and shells append to.
QStringList fileLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool finished(VantrelManager& m) {
    const Phase phase = m.state().phase;
    return !m.currentProcess() && (phase == Phase::Exited || phase == Phase::Failed);
}
} // namespace

class TestSupervisor : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outputFromAnyThreadInOrderTrimmedByWholeLines_data();
    void outputFromAnyThreadInOrderTrimmedByWholeLines();
    void unwritableLogLosesNoOutput();
    void baseUrlOverrideMustBeHttps_data();
    void baseUrlOverrideMustBeHttps();

    // Zsh, then bash, at a path that needs quoting, with the colour environment.
    void shellFallback_data();
    void shellFallback();
    void outputIsMergedDecodedAndComplete();
    void runRestartAndCleanupStopWholeGroups();

    void parsePgrepOutput_data();
    void parsePgrepOutput();
    void sweepEndsOnlyCliProcessesWaitingOnce();
    void restartPolicy_data();
    void restartPolicy();
    void restartsAfterUnexpectedEndsOnly_data();
    void restartsAfterUnexpectedEndsOnly();
};

void TestSupervisor::outputFromAnyThreadInOrderTrimmedByWholeLines_data() {
    QTest::addColumn<int>("maxLines");
    QTest::addColumn<int>("maxChars");
    QTest::newRow("line bound") << 100 << 1000000;
    QTest::newRow("character bound") << 100000 << 1000;
}

void TestSupervisor::outputFromAnyThreadInOrderTrimmedByWholeLines() {
    QFETCH(int, maxLines);
    QFETCH(int, maxChars);
    QString batches; // outlives the supervisor, which still reports while it stops
    SupervisorSandbox s;
    s.options.retainedLines = maxLines;
    s.options.retainedChars = maxChars;
    s.options.logRotateBytes = 4000;
    s.options.logKeepFiles = 100;
    VantrelManager& m = s.manager();
    connect(&m, &VantrelManager::outputAppended, this, [&](const QString& b) { batches += b; });
    QStringList lines;
    for (int i = 0; i < 1000; ++i)
        lines.append(QStringLiteral("line %1 %2\n").arg(i).arg(QString(i % 17, QLatin1Char('x'))));
    const QString all = lines.join(QString());
    // Half of it from another thread, then the rest from this one.
    const auto write = [&lines, handler = m.outputHandler](int from, int to) {
        for (int i = from; i < to; ++i)
            handler(lines.at(i));
    };
    std::thread(write, 0, 500).join();
    write(500, 1000);
    QTRY_VERIFY(m.output().endsWith(lines.last()));
    // The signal carries the chunks in order, from where the tail could keep them on.
    QVERIFY(all.endsWith(batches.sliced(batches.indexOf(QStringLiteral("line ")))));
    const QString kept = m.output();
    // Line breaks are not characters shown.
    const qsizetype breaks = kept.count(QLatin1Char('\n'));
    QVERIFY(breaks <= maxLines && kept.size() - breaks <= maxChars);
    // A tail of whole lines, and not much less than the bounds allow.
    QVERIFY(kept.size() < all.size() && all.endsWith(kept));
    QCOMPARE(all.at(all.size() - kept.size() - 1), QLatin1Char('\n'));
    QVERIFY(breaks > maxLines / 2 || kept.size() > maxChars / 2);
    m.flushLog();
    QVERIFY(s.logText().endsWith(all));
}

void TestSupervisor::unwritableLogLosesNoOutput() {
    SupervisorSandbox s;
    // A file where the log folder should be fails even for root.
    s.options.logDir = s.writeScript(QStringLiteral("not-a-folder"), "") + "/log";
    VantrelManager& m = s.manager();
    m.outputHandler(QStringLiteral("first\n"));
    m.flushLog();
    m.outputHandler(QStringLiteral("second\n"));
    QTRY_VERIFY(m.output().contains(QStringLiteral("second\n")));
    QVERIFY(m.output().contains(QStringLiteral("first\n")));
}

void TestSupervisor::baseUrlOverrideMustBeHttps_data() {
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("https") << QByteArray("https://127.0.0.1:8443/static/cli") << true;
    QTest::newRow("http") << QByteArray("http://127.0.0.1:8080/static/cli") << false;
    QTest::newRow("no scheme") << QByteArray("downloads.example/static/cli") << false;
    QTest::newRow("https without host") << QByteArray("https:///static/cli") << false;
}

void TestSupervisor::baseUrlOverrideMustBeHttps() {
    QFETCH(QByteArray, value);
    QFETCH(bool, accepted);
    const ConsoleCapture console;
    const QUrl compiled = SupervisorOptions::fromEnvironment().baseURL;
    EnvironmentGuard env;
    env.set("HALVANE_BASE_URL", value).set("HALVANE_CA_CERTS", "/tmp/ca.pem");
    const SupervisorOptions options = SupervisorOptions::fromEnvironment();
    QCOMPARE(options.baseURL, accepted ? QUrl(QString::fromUtf8(value)) : compiled);
    QCOMPARE(options.caCertificates, QStringLiteral("/tmp/ca.pem"));
}

void TestSupervisor::shellFallback_data() {
    QTest::addColumn<bool>("zshPresent");
    QTest::addColumn<bool>("bashPresent");
    QTest::addColumn<int>("cliExit");
    QTest::addColumn<QStringList>("shells"); // the shells started, in order
    QTest::addColumn<Phase>("phase");
    const QString zsh = QStringLiteral("zsh"), bash = QStringLiteral("bash");
    QTest::newRow("zsh runs it") << true << true << 0 << QStringList{zsh} << Phase::Exited;
    QTest::newRow("CLI's own failure, not rerun")
        << true << true << 3 << QStringList{zsh} << Phase::Exited;
    QTest::newRow("zsh could not execute it, bash once")
        << true << true << 127 << QStringList{zsh, bash} << Phase::Exited;
    QTest::newRow("zsh missing") << false << true << 0 << QStringList{bash} << Phase::Exited;
    QTest::newRow("no shell at all") << false << false << 0 << QStringList{} << Phase::Failed;
}

void TestSupervisor::shellFallback() {
    QFETCH(bool, zshPresent);
    QFETCH(bool, bashPresent);
    QFETCH(int, cliExit);
    QFETCH(QStringList, shells);
    QFETCH(Phase, phase);
    EnvironmentGuard env;
    env.set("TERM", "dumb")
        .set("NO_COLOR", "1")
        .set("ANSI_COLORS_DISABLED", "1")
        .set("HALVANE_UNRELATED", "kept");
    // The shell gets the CLI's path as its command: it must start it as one word, nothing else.
    SupervisorSandbox s(QStringLiteral("it's a \"dir\" $HOME;x/bin"));
    // Each shell is a wrapper that records its name, then runs the real one.
    const QString started = s.path() + QStringLiteral("/shells");
    for (const QString& shell : {QStringLiteral("zsh"), QStringLiteral("bash")})
        s.writeScript(shell, "#!/bin/sh\necho " + shell.toUtf8() + " >> '" + started.toUtf8() +
                                 "'\nexec /bin/" + shell.toUtf8() + " \"$@\"\n");
    s.options.zshPath = s.path() + (zshPresent ? "/zsh" : "/no-zsh");
    s.options.bashPath = s.path() + (bashPresent ? "/bash" : "/no-bash");
    s.writeCli("echo \"TERM=$TERM NO_COLOR=${NO_COLOR-unset} ANSI=${ANSI_COLORS_DISABLED-unset} "
               "OTHER=$HALVANE_UNRELATED HOME=$HOME\"; exit " +
               QByteArray::number(cliExit));
    VantrelManager& m = s.manager();
    m.runCLI();
    QTRY_VERIFY(finished(m));
    m.cleanup(); // nothing left to stop, and the end stays as it was
    QCOMPARE(fileLines(started), shells);
    QCOMPARE(m.state().phase, phase);
    QCOMPARE(m.state().exitCode, cliExit);
    // Once per run.
    const QString colour =
        QStringLiteral("TERM=xterm-256color NO_COLOR=unset ANSI=unset OTHER=kept HOME=%1\n")
            .arg(QDir::homePath());
    QCOMPARE(m.output().count(colour), shells.size());
}

void TestSupervisor::outputIsMergedDecodedAndComplete() {
    SupervisorSandbox s;
    s.options.retainedLines = 1000; // most of the burst is skipped on its way to the tail
    // The euro sign's bytes come in two writes, then far more than a pipe holds in one go,
    // and the output ends inside a character.
    s.writeCli("echo out-line; echo err-line >&2; printf 'price \\xe2\\x82'; sleep 0.3; "
               "printf '\\xac\\n\\033[31mred\\033[0m\\nbad \\xff\\n'; seq -w 1 50000; "
               "sleep 0.2; printf 'cut \\xe2'");
    VantrelManager& m = s.manager();
    m.runCLI();
    QTRY_VERIFY_WITH_TIMEOUT(finished(m), 30000);
    m.flushLog();
    QString burst;
    for (int i = 1; i <= 50000; ++i)
        burst += QStringLiteral("%1\n").arg(i, 5, 10, QLatin1Char('0'));
    // The log file has every byte, the tail the text as shown.
    const QString log = s.logText();
    for (const QString& piece :
         {QStringLiteral("out-line\n"), QStringLiteral("err-line\n"), QStringLiteral("price €\n"),
          QStringLiteral("\x1b[31mred\x1b[0m\n"), QStringLiteral("bad \uFFFD\n"), burst})
        QVERIFY2(log.contains(piece), qPrintable(piece.left(20)));
    QVERIFY(log.contains(burst + QStringLiteral("cut \uFFFD")));
    QVERIFY(m.output().contains(burst.last(5000) + QStringLiteral("cut \uFFFD")));
    QVERIFY(m.output().count(QLatin1Char('\n')) <= 1000);
}

void TestSupervisor::runRestartAndCleanupStopWholeGroups() {
    SupervisorSandbox s;
    s.options.stopTimeoutMs = 300;
    VantrelManager& m = s.manager();
    m.cleanup(); // nothing to stop
    QCOMPARE(m.state().phase, Phase::Idle);
    m.runCLI(); // nothing installed
    QVERIFY(!m.currentProcess());
    // Each run notes the PID of a grandchild and of a daemon that left its session; none of
    // them heeds SIGTERM.
    const QString runs = s.path() + QStringLiteral("/grandchildren");
    const QString daemons = s.path() + QStringLiteral("/daemons");
    const QByteArray cli = "trap '' TERM; (trap '' TERM; exec sleep 300) & echo $! >> '" +
                           runs.toUtf8() + "'; setsid sh -c 'sleep 300 & echo $! >> " +
                           daemons.toUtf8() + "' & while :; do sleep 0.05; done";
    s.writeCli(cli);
    m.runCLI();
    QTRY_COMPARE(fileLines(runs).size(), 1);
    QPointer<CliProcess> first = m.currentProcess();
    // One that cannot be started leaves the running one alone.
    s.writeCli(cli, /*executable=*/false);
    m.runCLI();
    QVERIFY(m.currentProcess() == first && first->state() == QProcess::Running);
    s.writeCli(cli);
    const pid_t oldGroup = first->groupId();
    m.runCLI();
    QPointer<CliProcess> second = m.currentProcess();
    QTRY_VERIFY(!alive(-oldGroup) && !alive(fileLines(runs).first().toInt()));
    // Once the old shell is dealt with: its exit was neither a zsh failure to retry nor the
    // new CLI's end.
    QTRY_VERIFY(!first);
    QTRY_COMPARE(fileLines(runs).size(), 2);
    QVERIFY(second && m.currentProcess() == second);
    QCOMPARE(m.state().phase, Phase::Running);
    const pid_t group = second->groupId();
    QTRY_COMPARE(fileLines(daemons).size(), 2);
    m.cleanup();
    QVERIFY(!m.currentProcess());
    QTRY_VERIFY(!alive(-group) && !alive(fileLines(runs).last().toInt()));
    // Both runs' daemons are gone, and reaped: alive() also sees zombies.
    for (const QString& daemon : fileLines(daemons))
        QTRY_VERIFY(!alive(daemon.toInt()));
}

void TestSupervisor::parsePgrepOutput_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<pid_t>>("pids");
    QTest::newRow("one per line") << "123\n456\n" << QList<pid_t>{123, 456};
    QTest::newRow("blank lines and padding") << "\n  \t42 \t\n\n" << QList<pid_t>{42};
    QTest::newRow("CRLF") << "5\r\n6" << QList<pid_t>{5, 6};
    QTest::newRow("plus sign") << "+7" << QList<pid_t>{7};
    QTest::newRow("words") << "abc\npgrep: warning\n8" << QList<pid_t>{8};
    QTest::newRow("two numbers on a line") << "9 10\n11" << QList<pid_t>{11};
    QTest::newRow("exponent, hex, sign alone") << "1e3\n0x10\n-\n+" << QList<pid_t>{};
    QTest::newRow("non-ASCII digits") << QStringLiteral("١٢\n12") << QList<pid_t>{12};
    QTest::newRow("INT_MAX") << "2147483647\n2147483648\n99999999999" << QList<pid_t>{2147483647};
}

void TestSupervisor::parsePgrepOutput() {
    QFETCH(QString, text);
    QFETCH(QList<pid_t>, pids);
    QCOMPARE(VantrelManager::parsePgrepOutput(text), pids);
}

void TestSupervisor::sweepEndsOnlyCliProcessesWaitingOnce() {
    SupervisorSandbox s;
    s.options.sweepGraceMs = 1500;
    s.options.sweepRoot = s.path() + QStringLiteral("/in");
    // Five CLIs note their PIDs in ready once set up and in terms on SIGTERM; the first three
    // ignore it and note them in saw-all once all five had their TERM, which one wait per
    // process would not let them live to see. Builtins only while waiting, so no short-lived
    // copy of a target shows up.
    const QString cli = s.writeScript(
        QStringLiteral("in/a/vantrel"),
        QStringLiteral("cd \"%1\"; trap 'echo $$ >> terms; [ $1 = 1 ] || exit 0' TERM; echo $$ >> "
                       "ready; while :; do mapfile -t t < terms 2>/dev/null; "
                       "[ ${#t[@]} -ge 5 ] && echo $$ >> saw-all; sleep 0.05; done")
            .arg(s.path())
            .toUtf8());
    // A program named vantrel whose file was replaced since, and one outside the narrowed sweep.
    QDir(s.path()).mkpath(QStringLiteral("in/b")), QDir(s.path()).mkpath(QStringLiteral("out"));
    QFile::copy(QStringLiteral("/bin/sleep"), s.path() + QStringLiteral("/in/b/vantrel"));
    QFile::copy(QStringLiteral("/bin/sleep"), s.path() + QStringLiteral("/out/vantrel"));
    QList<QProcess*> targets, spared;
    for (int i = 0; i < 5; ++i) {
        targets.append(new QProcess(this));
        targets.last()->start(cli, {QString::number(i < 3)});
    }
    QTRY_COMPARE(fileLines(s.path() + QStringLiteral("/ready")).size(), 5);
    for (const QString& program :
         {s.path() + QStringLiteral("/out/vantrel"), s.path() + QStringLiteral("/in/b/vantrel")}) {
        QList<QProcess*>& list = program.contains(QLatin1String("/in/")) ? targets : spared;
        list.append(new QProcess(this));
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner | QFile::WriteOwner);
        list.last()->start(program, {QStringLiteral("300")});
        QVERIFY(list.last()->waitForStarted());
    }
    QVERIFY(QFile::remove(targets.last()->program()));
    // The word on a command line (a pager on the notes, an editor on the config) is not a CLI.
    spared.append(new QProcess(this));
    spared.last()->start(QStringLiteral("/bin/sh"),
                         {QStringLiteral("-c"), QStringLiteral("exec -a vantrel sleep 300"),
                          s.path() + QStringLiteral("/in/vantrel-notes.txt")});
    QVERIFY(spared.last()->waitForStarted());
    s.writeCli("echo installed cli");
    VantrelManager& m = s.manager();
    m.downloadAndRunCLI(); // sweeps before it returns
    for (QProcess* target : std::as_const(targets))
        QVERIFY(target->waitForFinished(5000));
    for (QProcess* other : std::as_const(spared)) {
        QCOMPARE(other->state(), QProcess::Running);
        other->kill();
        other->waitForFinished();
    }
    const QStringList terms = fileLines(s.path() + QStringLiteral("/terms"));
    QCOMPARE(QSet<QString>(terms.begin(), terms.end()).size(), 5);
    const QStringList sawAll = fileLines(s.path() + QStringLiteral("/saw-all"));
    QCOMPARE(QSet<QString>(sawAll.begin(), sawAll.end()).size(), 3);
    // The download fails (nothing serves it) and the installed CLI runs all the same.
    QTRY_VERIFY(m.output().contains(QStringLiteral("installed cli\n")));
    qDeleteAll(targets + spared);
}

void TestSupervisor::restartPolicy_data() {
    QTest::addColumn<QList<qint64>>("ranMs");
    QTest::addColumn<QList<int>>("delays"); // -1: given up
    QTest::newRow("doubles to the longest, then gives up")
        << QList<qint64>{10, 10, 10, 10, 10} << QList<int>{100, 200, 300, 300, -1};
    QTest::newRow("a long run starts over") << QList<qint64>{10, 10, 10, 10, 5000, 10, 10}
                                            << QList<int>{100, 200, 300, 300, 100, 200, 300};
}

void TestSupervisor::restartPolicy() {
    QFETCH(QList<qint64>, ranMs);
    QFETCH(QList<int>, delays);
    SupervisorOptions options;
    options.restartFirstDelayMs = 100;
    options.restartLongestDelayMs = 300;
    options.restartResetAfterMs = 5000;
    RestartPolicy policy(options);
    QList<int> got;
    for (qint64 ran : ranMs)
        got.append(policy.next(ran).value_or(-1));
    QCOMPARE(got, delays);
}

void TestSupervisor::restartsAfterUnexpectedEndsOnly_data() {
    QTest::addColumn<QByteArray>("end");
    QTest::addColumn<int>("runs"); // before it gives up, or 1: not restarted
    QTest::newRow("exit 3") << QByteArray("exit 3") << 3;
    QTest::newRow("SIGSEGV") << QByteArray("ulimit -c 0; kill -SEGV $$") << 3;
    QTest::newRow("exit 0") << QByteArray("exit 0") << 1;
    QTest::newRow("stopped by cleanup") << QByteArray("exec sleep 300") << 1;
}

void TestSupervisor::restartsAfterUnexpectedEndsOnly() {
    QFETCH(QByteArray, end);
    QFETCH(int, runs);
    SupervisorSandbox s;
    s.options.restartFirstDelayMs = 1;
    s.options.restartLimit = 3;
    const QString started = s.path() + QStringLiteral("/runs");
    s.writeCli("echo run >> '" + started.toUtf8() + "'; " + end);
    VantrelManager& m = s.manager();
    QSignalSpy attention(&m, &VantrelManager::attentionNeeded);
    m.runCLI();
    QTRY_VERIFY(!fileLines(started).isEmpty());
    if (end.startsWith("exec"))
        m.cleanup();
    QTRY_VERIFY(fileLines(started).size() == runs && !m.currentProcess() && !m.restartPending());
    QCOMPARE(m.state().problem, runs > 1);
    QCOMPARE(attention.count(), runs > 1 ? 1 : 0);
    QVERIFY(!end.contains("SEGV") || m.output().contains(QStringLiteral("SIGSEGV")));
    if (runs == 1)
        return;
    // Restart CLI starts over: as many runs again before it gives up once more.
    m.restartCLI();
    QVERIFY(!m.state().problem);
    QTRY_VERIFY(fileLines(started).size() == 2 * runs && !m.currentProcess() &&
                !m.restartPending());
    QCOMPARE(attention.count(), 2);
}

HALVANE_TEST_GUILESS_MAIN(TestSupervisor)
#include "tst_supervisor.moc"
