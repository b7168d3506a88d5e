#include "ConsoleCapture.h"
#include "Environment.h"
#include "RestartPolicy.h"
#include "SupervisorSandbox.h"
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "UpdateSchedule.h"
#include "output/ConsoleWriter.h"
#include "process/EmergencyStop.h"
#include "process/ProcessGroup.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Qt::StringLiterals;

using Phase = SupervisorState::Phase;
using Stage = CliLifecycle::Stage;

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

template <typename E> const char* key(E value) {
    return QMetaEnum::fromType<E>().valueToKey(int(value));
}

bool finished(VantrelManager& m) {
    const Phase phase = m.state().phase;
    return !m.currentProcess() &&
           (phase == Phase::Exited || phase == Phase::Failed || phase == Phase::Restarting);
}
} // namespace

class TestSupervisor : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void outputFromAnyThreadInOrderTrimmedByWholeLines_data();
    void outputFromAnyThreadInOrderTrimmedByWholeLines();
    void unwritableLogLosesNoOutput();
    void logIsPrivateAndKeepsItsBound_data();
    void logIsPrivateAndKeepsItsBound();
    void consoleTakesACappedShareOfOutput();
    void overridesApplyAndAreNamedOnlyWhenAsked_data();
    void overridesApplyAndAreNamedOnlyWhenAsked();

    // Zsh, then bash, at a path that needs quoting, with the colour environment.
    void shellFallback_data();
    void shellFallback();
    void outputIsMergedDecodedAndComplete();
    void runRestartAndCleanupStopWholeGroups_data();
    void runRestartAndCleanupStopWholeGroups();
    void oneSigtermPerProcessPerStop_data();
    void oneSigtermPerProcessPerStop();
    void parentDeathEndsTheCli();
    void runCliUntilKilled(); // the helper process of parentDeathEndsTheCli

    void parsePgrepOutput_data();
    void parsePgrepOutput();
    void sweepEndsOnlyCliProcessesWaitingOnce();
    void unusableSweepRootSweepsNothing();
    void quitDuringTheSweepFinishesIt();
    void restartPolicy_data();
    void restartPolicy();
    void updateSchedule_data();
    void updateSchedule();
    void restartsAfterUnexpectedEndsOnly_data();
    void restartsAfterUnexpectedEndsOnly();
    void everyRequestInEveryStage_data();
    void everyRequestInEveryStage();
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
    QVERIFY(s.settled(m));
    QVERIFY(s.logText().endsWith(all));
}

void TestSupervisor::unwritableLogLosesNoOutput() {
    SupervisorSandbox s;
    // A file where the log folder should be fails even for root.
    const QString blocker = s.writeScript(QStringLiteral("not-a-folder"), "");
    s.options.logDir = blocker + "/log";
    VantrelManager& m = s.manager();
    m.outputHandler(QStringLiteral("first\n"));
    QVERIFY(s.settled(m));
    // The window says why, once; the tail keeps what the file could not.
    QTRY_VERIFY(m.output().contains(QStringLiteral("⚠️ Could not write the log file ")));
    QVERIFY(m.output().contains(QStringLiteral("Not a directory")));
    // Once it can be written again, the file says where output is missing, then goes on.
    QVERIFY(QFile::remove(blocker));
    m.outputHandler(QStringLiteral("second\n"));
    QTRY_VERIFY(m.output().contains(QStringLiteral("second\n")));
    QVERIFY(m.output().contains(QStringLiteral("first\n")));
    QVERIFY(s.settled(m));
    const QString file = s.logText();
    QVERIFY2(file.contains(QStringLiteral(" bytes of output are missing here")) &&
                 file.endsWith(QStringLiteral("second\n")),
             qPrintable(file));
}

void TestSupervisor::logIsPrivateAndKeepsItsBound_data() {
    QTest::addColumn<bool>("leftOpen");       // an earlier run left the folder 0755, files 0644
    QTest::addColumn<bool>("renamesRefused"); // the rotated names are taken by folders
    QTest::newRow("fresh") << false << false;
    QTest::newRow("left at 0644") << true << false;
    QTest::newRow("renames refused") << false << true;
}

void TestSupervisor::logIsPrivateAndKeepsItsBound() {
    QFETCH(bool, leftOpen);
    QFETCH(bool, renamesRefused);
    SupervisorSandbox s;
    s.options.logRotateBytes = 4096;
    s.options.logKeepFiles = 2;
    const QString log = s.options.logDir + u"/cli.log"_s;
    const auto mode = [](const QString& path) {
        struct stat info {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 0777 : 0;
    };
    // Folders that cannot be removed nor replaced by a rename, even for root.
    for (int n = 1; renamesRefused && n <= 2; ++n)
        QVERIFY(QDir().mkpath(log + u".%1/kept"_s.arg(n)));
    QVERIFY(QDir().mkpath(s.options.logDir));
    ::chmod(QFile::encodeName(s.options.logDir).constData(), leftOpen ? 0755 : 0700);
    if (leftOpen) {
        for (const QString& path : {log, log + u".1"_s}) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("old\n") == 4);
            file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                QFile::ReadOther);
        }
    }
    VantrelManager& m = s.manager();
    const QByteArray line = QByteArray(99, 'x') + '\n';
    for (int i = 0; i < 200; ++i)
        m.outputHandler(QString::fromLatin1(line));
    QVERIFY(s.settled(m));
    QCOMPARE(mode(s.options.logDir), 0700u);
    QCOMPARE(mode(log), 0600u);
    if (!renamesRefused)
        QCOMPARE(mode(log + u".1"_s), 0600u);
    // Said once each, and the live file stays within its bound however rotation fares.
    QCOMPARE(m.output().count(u"was readable by others; now only you can read it"_s),
             leftOpen ? 1 : 0);
    QCOMPARE(m.output().count(u"⚠️ Could not rotate the log file"_s), renamesRefused ? 1 : 0);
    if (renamesRefused)
        QVERIFY(m.output().contains(u"%1.2: Is a directory; it starts over empty"_s.arg(log)));
    QVERIFY(QFileInfo(log).size() <= s.options.logRotateBytes + line.size());
    QVERIFY(s.logBytes().contains(line));
}

void TestSupervisor::consoleTakesACappedShareOfOutput() {
    // Never destroyed, as in the application; its descriptor stays open with it.
    QTemporaryDir dir;
    const QString path = dir.filePath(u"console"_s);
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0600);
    auto* console = new ConsoleWriter(fd, 4 * 1024 * 1024, {.bytes = 4096, .windowMs = 200});
    const QByteArray chunk = QByteArray(63, 'x').append('\n').repeated(16);
    QElapsedTimer feeding;
    feeding.start();
    for (int i = 0; i < 1000; ++i) {
        console->writeCapped("out: ", chunk);
        if (i % 100 == 0)
            console->write("other line\n");
    }
    const qint64 windows = feeding.elapsed() / 200 + 2;
    // What was written and what the count lines say was left out add up to what came; the
    // last count comes when its window ends, with no more output to bring it.
    qint64 shown = 0, leftOut = 0;
    QByteArray written;
    const auto accounted = [&] {
        written = readFile(path);
        static const QRegularExpression counted(
            u"⚠️ (\\d+) bytes of CLI output left off[^\n]*\n"_s);
        shown = written.size() - written.count("other line\n") * 11 - written.count("out: ") * 6;
        leftOut = 0;
        for (const auto& match : counted.globalMatch(QString::fromUtf8(written))) {
            leftOut += match.captured(1).toLongLong();
            shown -= match.captured(0).toUtf8().size();
        }
        return shown + leftOut;
    };
    QTRY_COMPARE(accounted(), 1000 * chunk.size());
    QCOMPARE(written.count("other line\n"), 10);
    QVERIFY(leftOut > 0);
    QVERIFY2(shown <= windows * 4096, qPrintable(QString::number(windows)));
}

void TestSupervisor::overridesApplyAndAreNamedOnlyWhenAsked_data() {
    QTest::addColumn<QString>("baseUrl");
    QTest::addColumn<QString>("sweepRoot");
    QTest::addColumn<QString>("sweepProblem"); // empty: accepted, as is the base URL
    QTest::newRow("https") << u"https://127.0.0.1:8443/static/cli"_s << u"/tmp/../usr/"_s
                           << QString();
    QTest::newRow("http, relative sweep root")
        << u"http://127.0.0.1:8080/static/cli"_s << u"own"_s << u"is not an absolute path"_s;
    QTest::newRow("no scheme, empty sweep root")
        << u"downloads.example/static/cli"_s << QString() << u"is empty"_s;
    QTest::newRow("https without host, missing sweep root")
        << u"https:///static/cli"_s << u"/nonexistent/halvane"_s << u"does not exist"_s;
}

// Options are built wherever a supervisor is, but only main names the overrides, once.
void TestSupervisor::overridesApplyAndAreNamedOnlyWhenAsked() {
    QFETCH(QString, baseUrl);
    QFETCH(QString, sweepRoot);
    QFETCH(QString, sweepProblem);
    const bool accepted = sweepProblem.isEmpty();
    const QUrl compiled = SupervisorOptions::forUser(Environment::fromSystem({})).baseURL;
    QProcessEnvironment system;
    system.insert(u"HOME"_s, u"/home/someone"_s);
    system.insert(u"XDG_STATE_HOME"_s, u"relative/state"_s);
    system.insert(u"HALVANE_BASE_URL"_s, baseUrl);
    system.insert(u"HALVANE_CA_CERTS"_s, u"/tmp/ca.pem"_s);
    system.insert(u"HALVANE_SWEEP_ROOT"_s, sweepRoot);
    const ConsoleCapture console;
    const Environment environment = Environment::fromSystem(system);
    const SupervisorOptions options = SupervisorOptions::forUser(environment);
    SupervisorOptions::forUser(environment);
    QCOMPARE(console.text(), QString());
    QCOMPARE(options.baseURL, accepted ? QUrl(baseUrl) : compiled);
    QCOMPARE(options.caCertificates, u"/tmp/ca.pem"_s);
    QCOMPARE(options.sweepRoot, accepted ? u"/usr"_s : QString());
    QCOMPARE(options.sweepRootProblem,
             accepted ? QString() : u"HALVANE_SWEEP_ROOT=%1 %2"_s.arg(sweepRoot, sweepProblem));
    QCOMPARE(options.cliEnvironment, system);
#ifdef Q_OS_LINUX
    QCOMPARE(options.stateDir, u"/home/someone/.local/state/halvane"_s);
#endif
    environment.logOverrides();
    QCOMPARE(console.text().count(u"🔧 Development override: "_s), accepted ? 3 : 1);
    QCOMPARE(console.text().count(u"⚠️"_s), accepted ? 0 : 2);
    QVERIFY2(console.text().contains(accepted ? u"HALVANE_SWEEP_ROOT=/usr"_s : baseUrl),
             qPrintable(console.text()));
}

void TestSupervisor::shellFallback_data() {
    QTest::addColumn<bool>("zshPresent");
    QTest::addColumn<bool>("bashPresent");
    QTest::addColumn<QByteArray>("zshrc");
    QTest::addColumn<int>("cliExit");
    QTest::addColumn<QStringList>("shells"); // the shells started, in order
    QTest::addColumn<Phase>("phase");
    const QString zsh = QStringLiteral("zsh"), bash = QStringLiteral("bash");
    QTest::newRow("zsh runs it") << true << true << ""_ba << 0 << QStringList{zsh} << Phase::Exited;
    QTest::newRow("CLI's own failure, not rerun by bash")
        << true << true << ""_ba << 3 << QStringList{zsh} << Phase::Restarting;
    QTest::newRow("CLI's own 127, not rerun by bash")
        << true << true << ""_ba << 127 << QStringList{zsh} << Phase::Restarting;
    QTest::newRow(".zshrc exits before the CLI: bash runs it")
        << true << true << "echo zshrc; exit 3"_ba << 0 << QStringList{zsh, bash} << Phase::Exited;
    QTest::newRow("zsh missing") << false << true << ""_ba << 0 << QStringList{bash}
                                 << Phase::Exited;
    QTest::newRow("no shell at all")
        << false << false << ""_ba << 0 << QStringList{} << Phase::Failed;
}

void TestSupervisor::shellFallback() {
    QFETCH(bool, zshPresent);
    QFETCH(bool, bashPresent);
    QFETCH(QByteArray, zshrc);
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
    s.options.restartFirstDelayMs = 60000;
    s.options.cliEnvironment.insert(u"ZDOTDIR"_s, s.path() + u"/zdot"_s);
    s.writeScript(QStringLiteral("zdot/.zshrc"), zshrc);
    s.writeCli("echo \"TERM=$TERM NO_COLOR=${NO_COLOR-unset} ANSI=${ANSI_COLORS_DISABLED-unset} "
               "OTHER=$HALVANE_UNRELATED HOME=$HOME\"; exit " +
               QByteArray::number(cliExit));
    VantrelManager& m = s.manager();
    m.runCLI();
    QTRY_VERIFY(finished(m));
    QCOMPARE(fileLines(started), shells);
    QCOMPARE(m.state().phase, phase);
    QCOMPARE(m.state().ending, phase == Phase::Failed
                                   ? QString()
                                   : QStringLiteral("exited with code %1").arg(cliExit));
    // Once per run of the CLI.
    const QString colour =
        QStringLiteral("TERM=xterm-256color NO_COLOR=unset ANSI=unset OTHER=kept HOME=%1\n")
            .arg(QDir::homePath());
    QCOMPARE(m.output().count(colour), shells.size() - (zshrc.isEmpty() ? 0 : 1));
    QCOMPARE(m.output().contains(u"⚠️ zsh failed, trying bash...\n"_s), shells.size() == 2);
}

void TestSupervisor::outputIsMergedDecodedAndComplete() {
    SupervisorSandbox s;
    s.options.retainedLines = 1000; // most of the burst is skipped on its way to the tail
    // The euro sign's bytes come in two writes, invalid bytes sit inside lines, a MiB of random
    // bytes and far more than a pipe holds in one go follow, and the output ends inside a
    // character. Between the markers the log file must hold exactly what the CLI wrote.
    const QString go = s.path() + QStringLiteral("/go");
    QByteArray random(1 << 20, Qt::Uninitialized);
    QRandomGenerator generator(25);
    for (char& byte : random)
        byte = char(generator.bounded(256));
    QFile randomFile(s.path() + QStringLiteral("/random"));
    QVERIFY(randomFile.open(QIODevice::WriteOnly) && randomFile.write(random) == random.size());
    randomFile.close();
    s.writeCli("printf '<<<'; echo out-line; echo err-line >&2; printf 'price \\xe2\\x82'; "
               "until [ -e '" +
               go.toUtf8() +
               "' ]; do sleep 0.01; done; "
               "printf '\\xac\\n\\033[31mred\\033[0m\\nbad \\xff\\n'; cat '" +
               randomFile.fileName().toUtf8() +
               "'; printf '\\033[0m'; seq -w 1 50000; printf 'late \\xff\\xfe \\xc3\\x28 "
               "ok\\n>>>cut \\xe2'");
    VantrelManager& m = s.manager();
    m.runCLI();
    // The first half of the euro sign has been read before the second is written.
    QTRY_VERIFY(m.output().contains(QStringLiteral("price ")));
    QVERIFY(QFile(go).open(QIODevice::WriteOnly));
    QTRY_VERIFY_WITH_TIMEOUT(finished(m), 30000);
    QVERIFY(s.settled(m));
    QByteArray burst;
    for (int i = 1; i <= 50000; ++i)
        burst += QByteArray::number(i).rightJustified(5, '0') + '\n';
    const QByteArray late = "late \xff\xfe \xc3\x28 ok\n";
    const QByteArray log = s.logBytes();
    const qsizetype from = log.indexOf("<<<") + 3, to = log.lastIndexOf(">>>");
    QVERIFY(from >= 3 && to > from);
    QCOMPARE(log.sliced(from, to - from),
             "out-line\nerr-line\nprice \xe2\x82\xac\n\x1b[31mred\x1b[0m"
             "\nbad \xff\n" +
                 random + "\x1b[0m" + burst + late);
    QVERIFY(log.sliced(to).startsWith(">>>cut \xe2\n"));
    // Only the window decodes: what is not UTF-8 shows as U+FFFD.
    QVERIFY(m.output().contains(QString::fromLatin1(burst.last(5000)) +
                                u"late \uFFFD\uFFFD \uFFFD( ok\n>>>cut \uFFFD"_s));
    QVERIFY(m.output().count(QLatin1Char('\n')) <= 1000);
}

void TestSupervisor::runRestartAndCleanupStopWholeGroups_data() {
    QTest::addColumn<bool>("kernelProcessEnds");
    QTest::newRow("ends told by the kernel") << true;
    QTest::newRow("ends looked for") << false;
}

void TestSupervisor::runRestartAndCleanupStopWholeGroups() {
    QFETCH(bool, kernelProcessEnds);
    SupervisorSandbox s;
    s.options.stopTimeoutMs = 300;
    s.options.kernelProcessEnds = kernelProcessEnds;
    VantrelManager& m = s.manager();
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
    // The new one starts once the old one's whole group has ended, and its end was neither a
    // zsh failure to retry nor the new CLI's end.
    QTRY_VERIFY(!first);
    QVERIFY(!alive(-oldGroup) && !alive(fileLines(runs).first().toInt()));
    QTRY_COMPARE(fileLines(runs).size(), 2);
    QPointer<CliProcess> second = m.currentProcess();
    QVERIFY(second);
    QCOMPARE(m.state().phase, Phase::Running);
    const pid_t group = second->groupId();
    QTRY_COMPARE(fileLines(daemons).size(), 2);
    QSignalSpy cleanedUp(&m, &VantrelManager::cleanupFinished);
    m.cleanup();
    QVERIFY(cleanedUp.wait());
    QVERIFY(!m.currentProcess());
    QTRY_VERIFY(!alive(-group) && !alive(fileLines(runs).last().toInt()));
    // Both runs' daemons are gone, and reaped: alive() also sees zombies.
    for (const QString& daemon : fileLines(daemons))
        QTRY_VERIFY(!alive(daemon.toInt()));
}

void TestSupervisor::oneSigtermPerProcessPerStop_data() {
    QTest::addColumn<QString>("request");
    QTest::newRow("Quit") << u"cleanup"_s;
    QTest::newRow("Restart CLI") << u"restart"_s;
    QTest::newRow("Update CLI") << u"update"_s;
    QTest::newRow("restart after a crash") << u"crash"_s;
}

// The CLI, a child in its group and a daemon that left it with a cleared environment each note
// the SIGTERMs they get and live on a little, so that a second one would be seen, then note
// their end. They write
// nothing to the pipe, which nobody reads once the CLI has ended.
void TestSupervisor::oneSigtermPerProcessPerStop() {
    QFETCH(QString, request);
    SupervisorSandbox s;
    s.options.restartFirstDelayMs = 1;
    s.options.cliEnvironment.insert(u"D"_s, s.path());
    if (request == u"crash"_s)
        s.options.cliEnvironment.insert(u"CRASH"_s, u"1"_s);
    const QByteArray cli =
        "cd \"$D\"; echo \"run $(cat ended 2>/dev/null | wc -l)\" >> runs; R=$(wc -l < runs)\n"
        "rec() { exec >/dev/null 2>&1; trap 'echo \"$R $BASHPID\" >> signals; n=1' TERM; n=0; echo "
        "\"$R $BASHPID\" >> "
        "recorders; while :; do sleep 0.05; [ $n = 0 ] || { n=$((n+1)); [ $n -gt 6 ] && { echo >> "
        "ended; exit 0; }; }; done; }\n"
        "rec & setsid env -i R=$R /bin/bash -c \"$(declare -f rec); rec\" &\n"
        "if [ \"$CRASH\" ] && [ $R = 1 ]; then\n"
        "  until [ $(wc -l < recorders) -ge 2 ]; do sleep 0.05; done; exit 3; fi\n"
        "rec\n";
    s.writeCli(cli);
    std::unique_ptr<TestHttps> https;
    if (request == u"update"_s) {
        https = std::make_unique<TestHttps>();
        QVERIFY2(https->error().isEmpty(), qPrintable(https->error()));
        https->serve("#!/bin/bash\n" + cli + "# the next build\n");
        s.options.baseURL = QUrl(https->baseUrl());
        s.options.caCertificates = TestHttps::pki()->caCert;
    }
    const QString recorders = s.path() + u"/recorders"_s;
    const auto ofRun = [&](const char* run) {
        QStringList lines = fileLines(recorders).filter(QRegularExpression(u"^"_s + run + u" "_s));
        lines.sort();
        return lines;
    };
    // What the application opens for the user (a browser for a link) also leaves its session and
    // comes to it as an orphan: not the CLI's, so no stop ends it.
    qputenv(ProcessGroup::kNotCliName, "1");
    qint64 opened = 0;
    QVERIFY(QProcess::startDetached(u"sleep"_s, {u"30"_s}, {}, &opened));
    qunsetenv(ProcessGroup::kNotCliName);
    const auto endOpened = qScopeGuard([opened] { ::kill(pid_t(opened), SIGKILL); });
    VantrelManager& m = s.manager();
    QSignalSpy cleanedUp(&m, &VantrelManager::cleanupFinished);
    m.runCLI();
    QTRY_COMPARE(ofRun("1").size(), request == u"crash"_s ? 2 : 3);
    // What a fatal signal of the application would end: the CLI's group, while it lives. A run
    // that crashes is being stopped by now, its strays tracked as well.
    if (request != u"crash"_s)
        QCOMPARE(EmergencyStop::trackedCount(), 1);
    if (request == u"cleanup"_s) {
        m.cleanup();
        QVERIFY(cleanedUp.wait());
    } else {
        if (request == u"restart"_s)
            m.restartCLI();
        else if (request == u"update"_s)
            m.updateCLI();
        // The next run starts once the stop is over: all of the first run's processes ended.
        QTRY_COMPARE_WITH_TIMEOUT(ofRun("2").size(), 3, 15000);
        QCOMPARE(fileLines(s.path() + u"/runs"_s).last(), u"run %1"_s.arg(ofRun("1").size()));
    }
    QVERIFY(!m.output().contains(u"SIGKILL"_s));
    QCOMPARE(EmergencyStop::trackedCount(), request == u"cleanup"_s ? 0 : 1);
    QStringList signalled = fileLines(s.path() + u"/signals"_s);
    signalled.sort();
    QCOMPARE(signalled, ofRun("1"));
    for (const QString& line : ofRun("1"))
        QVERIFY(!ProcessGroup::isAlive(line.section(u' ', 1).toInt()));
    QVERIFY(ProcessGroup::isAlive(pid_t(opened)));
}

// Run in a process of its own by parentDeathEndsTheCli, which kills it with SIGKILL.
void TestSupervisor::runCliUntilKilled() {
    const QString cli = qEnvironmentVariable("HALVANE_TEST_CLI");
    if (cli.isEmpty())
        return;
    CliProcess shell(u"bash"_s);
    shell.setProgram(u"/bin/bash"_s);
    shell.setArguments(CliProcess::loginShellArguments(cli));
    QVERIFY(shell.launch([](const QByteArray&, const std::atomic<bool>&) {}));
    QSignalSpy(&shell, &QProcess::finished).wait(60000);
}

void TestSupervisor::parentDeathEndsTheCli() {
    SupervisorSandbox s;
    const QString pidFile = s.path() + u"/cli"_s;
    s.writeCli("echo $$ > '" + pidFile.toUtf8() + "'; while :; do sleep 0.05; done");
    EnvironmentGuard env;
    env.set("HALVANE_TEST_CLI", s.cliPath().toUtf8());
    QProcess helper;
    helper.start(QCoreApplication::applicationFilePath(), {u"runCliUntilKilled"_s});
    QTRY_VERIFY(!fileLines(pidFile).isEmpty());
    const pid_t cli = fileLines(pidFile).first().toInt();
    ::kill(pid_t(helper.processId()), SIGKILL);
    QVERIFY(helper.waitForFinished());
    QTRY_VERIFY(!ProcessGroup::isAlive(cli));
    ::waitpid(cli, nullptr, WNOHANG); // adopted here, as by the application
}

void TestSupervisor::parsePgrepOutput_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<pid_t>>("pids");
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

// Set but unusable, the narrowing ends nothing rather than every CLI of the user. The sandbox
// narrows the sweep too, so a fault here could end only its own stale CLI.
void TestSupervisor::unusableSweepRootSweepsNothing() {
    SupervisorSandbox s;
    s.options.sweepRootProblem = u"HALVANE_SWEEP_ROOT=own is not an absolute path"_s;
    const QString stale = s.path() + u"/vantrel"_s;
    QVERIFY(QFile::copy(u"/bin/sleep"_s, stale));
    QProcess cli;
    cli.start(stale, {u"300"_s});
    QVERIFY(cli.waitForStarted());
    VantrelManager& m = s.manager();
    m.killExistingProcesses();
    QTRY_COMPARE(m.stage(), Stage::Idle);
    QTRY_VERIFY2(m.output().contains(s.options.sweepRootProblem + u", and it can only narrow"_s),
                 qPrintable(m.output()));
    QCOMPARE(cli.state(), QProcess::Running);
    cli.kill();
    cli.waitForFinished();
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
    spared.last()->start(QStringLiteral("/bin/bash"),
                         {QStringLiteral("-c"), QStringLiteral("exec -a vantrel sleep 300"),
                          s.path() + QStringLiteral("/in/vantrel-notes.txt")});
    QVERIFY(spared.last()->waitForStarted());
    s.writeCli("echo installed cli");
    VantrelManager& m = s.manager();
    m.downloadAndRunCLI(); // the sweep's waits run on timers
    for (QProcess* target : std::as_const(targets))
        QTRY_COMPARE_WITH_TIMEOUT(target->state(), QProcess::NotRunning, 5000);
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

// Quit while the sweep waits for a stale CLI that ignores SIGTERM: it still gets its SIGKILL.
void TestSupervisor::quitDuringTheSweepFinishesIt() {
    SupervisorSandbox s;
    s.options.sweepGraceMs = 1500;
    const QString terms = s.path() + u"/terms"_s;
    QProcess stale;
    // It notes when its trap is set, so the sweep's SIGTERM cannot come before.
    stale.start(s.writeScript(u"old/vantrel"_s, "cd \"$(dirname \"$0\")/..\"; trap 'echo TERM >> "
                                                "terms' TERM; echo set >> terms; while :; do "
                                                "sleep 0.05; done"));
    QTRY_COMPARE(fileLines(terms), QStringList{u"set"_s});
    VantrelManager& m = s.manager();
    QSignalSpy cleanedUp(&m, &VantrelManager::cleanupFinished);
    m.downloadAndRunCLI();
    QTRY_COMPARE(fileLines(terms).size(), 2);
    m.cleanup();
    QVERIFY(cleanedUp.wait());
    QTRY_COMPARE(stale.state(), QProcess::NotRunning);
    QCOMPARE(stale.exitStatus(), QProcess::CrashExit);
    QVERIFY(!m.output().contains(u"📥"_s));
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

void TestSupervisor::updateSchedule_data() {
    QTest::addColumn<int>("periodMinutes");
    QTest::addColumn<double>("random");
    // "+M": M minutes pass and the timer looks at the clock; "~M": they pass in a suspend,
    // which holds the timer back; "done[:S]": a check ended (with Retry-After S s);
    // "off"/"on": the network went away/came back; "wake": resume.
    QTest::addColumn<QString>("script");
    QTest::addColumn<QString>("due"); // the minutes at which checks were due
    QTest::newRow("one period after the last check")
        << 360 << 0.5 << u"done +359 +1 +2 done +359 +1"_s << u"360 722"_s;
    QTest::newRow("spread short") << 360 << 0.0 << u"done +323 +1"_s << u"324"_s;
    QTest::newRow("spread long") << 360 << 0.99999 << u"done +395 +1"_s << u"396"_s;
    QTest::newRow("none before the launch's check") << 360 << 0.5 << u"+400 off on wake"_s << u""_s;
    QTest::newRow("0 turns them off") << 0 << 0.5 << u"done +9999 off +20 on wake"_s << u""_s;
    QTest::newRow("network back, once per gap")
        << 360 << 0.5 << u"done +10 off on +6 off on +1 off on on +14 off on"_s << u"16 31"_s;
    QTest::newRow("wake, once per gap")
        << 360 << 0.5 << u"done +16 wake +14 wake +1 wake"_s << u"16 31"_s;
    QTest::newRow("overdue at wake: one check") << 360 << 0.5 << u"done ~400 wake"_s << u"400"_s;
    QTest::newRow("Retry-After holds all back")
        << 60 << 0.5 << u"done:7200 +60 wake off on +59 +1"_s << u"120"_s;
    QTest::newRow("Retry-After at most a day")
        << 60 << 0.5 << u"done:9999999 +1439 +1"_s << u"1440"_s;
}

void TestSupervisor::updateSchedule() {
    QFETCH(int, periodMinutes);
    QFETCH(double, random);
    QFETCH(QString, script);
    qint64 now = 0;
    UpdateSchedule schedule(
        {.periodMs = periodMinutes * 60000LL}, [&now] { return now; }, [random] { return random; });
    QStringList due;
    connect(&schedule, &UpdateSchedule::checkDue, this,
            [&] { due << QString::number(now / 60000); });
    for (const QString& step : script.split(u' ')) {
        if (step.startsWith(u'+') || step.startsWith(u'~')) {
            now += step.mid(1).toInt() * 60000LL;
            if (step.startsWith(u'+'))
                schedule.reconsider();
        } else if (step.startsWith(u"done")) {
            schedule.checkFinished(step.section(u':', 1).toInt());
        } else if (step == u"wake") {
            schedule.resumed();
        } else {
            schedule.networkChanged(step == u"on");
        }
    }
    QTEST(due.join(u' '), "due");
    // On the real clock, its own timer finds each check due.
    UpdateSchedule real({.periodMs = 20});
    QSignalSpy checks(&real, &UpdateSchedule::checkDue);
    real.checkFinished();
    QTRY_VERIFY(checks.count() >= 2);
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
    // Each run leaves a child in its group and a daemon behind: none may outlive the run.
    const QByteArray helpers = s.path().toUtf8() + "/helpers";
    s.writeCli("echo run >> '" + started.toUtf8() + "'; sleep 300 & echo $! >> '" + helpers +
               "'; setsid sleep 300 & echo $! >> '" + helpers + "'; " + end);
    const auto helpersGone = [&] {
        const QStringList pids = fileLines(QString::fromUtf8(helpers));
        return pids.size() == 2 * fileLines(started).size() &&
               std::none_of(pids.begin(), pids.end(),
                            [](const QString& pid) { return ProcessGroup::isAlive(pid.toInt()); });
    };
    VantrelManager& m = s.manager();
    QSignalSpy attention(&m, &VantrelManager::attentionNeeded);
    m.runCLI();
    QTRY_VERIFY(fileLines(QString::fromUtf8(helpers)).size() >= 2);
    if (end.startsWith("exec")) {
        m.restartCLI();
        m.cleanup(); // takes over the restart's stop: nothing starts after it
    }
    QTRY_VERIFY(fileLines(started).size() == runs && !m.currentProcess() && !m.restartPending());
    QCOMPARE(m.state().problem, runs > 1);
    QCOMPARE(attention.count(), runs > 1 ? 1 : 0);
    QVERIFY(!end.contains("SEGV") || m.output().contains(QStringLiteral("SIGSEGV")));
    QTRY_VERIFY(helpersGone());
    if (runs == 1)
        return;
    // Restart CLI starts over: as many runs again before it gives up once more.
    m.restartCLI();
    QVERIFY(!m.state().problem);
    QTRY_VERIFY(fileLines(started).size() == 2 * runs && !m.currentProcess() &&
                !m.restartPending());
    QCOMPARE(attention.count(), 2);
}

void TestSupervisor::everyRequestInEveryStage_data() {
    // Every cell is decided: the table has no default cell, and no input goes unnamed here.
    using Input = CliLifecycle::Input;
    QCOMPARE(QMetaEnum::fromType<Input>().keyCount(), CliLifecycle::kInputs);
    QCOMPARE(QMetaEnum::fromType<Stage>().keyCount(), CliLifecycle::kStages);
    QTest::addColumn<Stage>("reach");
    QTest::addColumn<Input>("input");
    QTest::addColumn<bool>("staged"); // a check staged a new build first
    for (int st = 0; st < CliLifecycle::kStages; ++st) {
        for (int in = 0; in <= int(Input::NetworkBack); ++in)
            QTest::addRow("%s %s", key(Stage(st)), key(Input(in)))
                << Stage(st) << Input(in) << false;
    }
    for (Stage st : {Stage::Idle, Stage::Running, Stage::GivenUp, Stage::ShuttingDown})
        QTest::addRow("%s Restart, a build staged", key(st)) << st << Input::Restart << true;
}

// Each request in each stage, with a CLI that takes a moment to end on SIGTERM, against the
// table: where the machine settles, which CLI is alive, what the output log says.
void TestSupervisor::everyRequestInEveryStage() {
    using Input = CliLifecycle::Input;
    using Outcome = CliLifecycle::Outcome;
    using Step = CliLifecycle::Step;
    QFETCH(Stage, reach);
    QFETCH(Input, input);
    QFETCH(bool, staged);
    const CliLifecycle::Cell cell = CliLifecycle::cell(reach, input);
    SupervisorSandbox s;
    s.options.restartFirstDelayMs = 60000;
    s.options.installRetryFirstMs = 60000;
    s.options.restartLimit = reach == Stage::GivenUp ? 1 : 5;
    TestHttps silent; // the set-up's download that never ends, or the build to stage
    if (reach == Stage::Downloading || staged) {
        silent.setMode(staged ? DownloadServer::Mode::Normal : DownloadServer::Mode::Silent);
        s.options.baseURL = QUrl(silent.baseUrl());
        s.options.caCertificates = TestHttps::pki()->caCert;
    }
    const QString started = s.path() + QStringLiteral("/runs");
    const bool crashFirst = reach == Stage::WaitingToRestart || reach == Stage::GivenUp;
    // Silent, so nothing but the supervisor writes between the walk's markers: the shell would
    // report its sleep's SIGTERM on standard error.
    if (reach != Stage::WaitingForInstall)
        s.writeCli("exec 2>/dev/null\ntrap 'sleep 0.3; exit 0' TERM\necho $$ >> '" +
                   started.toUtf8() + "'\n" +
                   (crashFirst ? "[ -e crashed ] || { touch crashed; exit 3; }\n" : "") +
                   "while :; do sleep 0.05; done");
    QDir::setCurrent(s.path());
    VantrelManager& m = s.manager();
    QSignalSpy cleanedUp(&m, &VantrelManager::cleanupFinished);
    const QMap<Stage, std::function<void()>> toReach{
        {Stage::Sweeping, [&] { m.killExistingProcesses(); }},
        {Stage::Downloading, [&] { m.downloadAndRunCLI(); }},
        {Stage::WaitingForInstall, [&] { m.installCLI(); }},
        {Stage::Stopping, [&] { m.restartCLI(); }},
        {Stage::ShuttingDown, [&] { m.cleanup(); }},
        {Stage::Finished, [&] { m.cleanup(); }}};
    if (reach != Stage::Idle && reach != Stage::Sweeping && reach != Stage::Downloading &&
        reach != Stage::WaitingForInstall) {
        m.runCLI();
        QTRY_COMPARE(fileLines(started).size(), 1);
    }
    const QByteArray newBuild = readFile(s.cliPath()) + "# staged\n";
    if (staged) {
        silent.serve(newBuild);
        m.checkForUpdate();
        QTRY_VERIFY(!m.state().stagedBuild.isEmpty());
    }
    toReach.value(reach, [] {})();
    // The stops and the sweep are caught under way: the request comes before they end.
    QTRY_COMPARE_WITH_TIMEOUT(m.stage(), reach, 10000);
    const QMap<Input, std::function<void()>> requests{
        {Input::SetUp, [&] { m.downloadAndRunCLI(); }},
        {Input::Sweep, [&] { m.killExistingProcesses(); }},
        {Input::Check, [&] { m.checkForUpdate(); }},
        {Input::Update, [&] { m.updateCLI(); }},
        {Input::Install, [&] { m.installCLI(); }},
        {Input::Run, [&] { m.runCLI(); }},
        {Input::Restart, [&] { m.restartCLI(); }},
        {Input::Cleanup, [&] { m.cleanup(); }},
        {Input::NetworkBack, [&] { m.networkReachable(); }}};
    // Each report the table ignores here changes nothing seen. Each one it acts on is named with
    // the test whose real events bring it about, or why none does.
    const QString byRealEvents = uR"(
        sweepEndsOnlyCliProcessesWaitingOnce: Sweeping/SweepDone
        quitDuringTheSweepFinishesIt: ShuttingDown/SweepDone
        runRestartAndCleanupStopWholeGroups: Stopping/Stopped ShuttingDown/Stopped
        restartsAfterUnexpectedEndsOnly: Running/CliEnded WaitingToRestart/RestartDue
        everyRequestInEveryStage: Idle/Staged GivenUp/Staged Idle/Failed GivenUp/Failed
        tst_installer: downloadInstallsAndStarts: Downloading/Installed
          slowDownloadStartsTheInstalledCliEarly: Downloading/DownloadSlow
          updateWhileRunningOneDownloadAtATime: Running/Installed
          updateAfterACrash: WaitingToRestart/Installed GivenUp/Installed
          stagedBuildWaitsForTheNextStart: Running/Staged Downloading/Unchanged
          conditionalDownload: Running/Unchanged  trialIsDecidedByTheBuildAlone: Running/TrialPassed
          failureKeepsTheOldCli: Downloading/Failed Running/Failed
          withoutACliItKeepsTrying: WaitingForInstall/RetryDue WaitingForInstall/NotifyDue
        none yet: Idle/Installed Sweeping/Installed Stopping/Installed Sweeping/Staged
          Downloading/Staged Stopping/Staged WaitingToRestart/Staged Idle/Unchanged
          GivenUp/Unchanged Downloading/NotifyDue
        none, no download runs there: WaitingForInstall/Installed WaitingForInstall/Staged
          WaitingForInstall/Unchanged WaitingForInstall/Failed)"_s;
    const auto seen = [&] { // the CLIs started, the one running, the stage, its timers, the state
        return std::tuple(fileLines(started), m.currentProcess(), m.stage(), m.isInstalling(),
                          m.restartPending(), m.state());
    };
    const auto before = seen();
    m.outputHandler(u"reports walked:\n"_s);
    for (int in = int(Input::SweepDone); in < CliLifecycle::kInputs; ++in) {
        const QString cell = u"%1/%2"_s.arg(key(reach), key(Input(in)));
        const bool acts = CliLifecycle::cell(reach, Input(in)).outcome != Outcome::Ignore;
        QVERIFY2(byRealEvents.simplified().split(u' ').contains(cell) == acts, qPrintable(cell));
        if (!acts)
            m.findChild<CliLifecycle*>()->handle(Input(in));
    }
    m.outputHandler(u"none.\n"_s);
    QVERIFY(seen() == before);
    requests.value(input)();

    // Where the stage settles by itself, and where the cell's step leads.
    const QMap<Stage, Stage> settles{{Stage::Sweeping, Stage::Idle},
                                     {Stage::Stopping, Stage::Running},
                                     {Stage::ShuttingDown, Stage::Finished}};
    Stage after = settles.value(reach, reach);
    const bool noCli = reach == Stage::WaitingForInstall;
    const bool start = input == Input::Run || input == Input::Restart || input == Input::SetUp;
    const bool update = input == Input::Update || input == Input::Install;
    const bool applied = cell.outcome == Outcome::Apply;
    if (applied && cell.step == Step::Quit)
        after = Stage::Finished;
    else if (applied && start)
        after = noCli ? reach : Stage::Running;
    else if ((applied || cell.outcome == Outcome::Hold) && update && after == Stage::Idle)
        after = Stage::Running; // the download fails, so what is installed starts
    else if (cell.outcome == Outcome::Hold && start)
        after = Stage::Running;
    QTRY_VERIFY_WITH_TIMEOUT(m.stage() == after && !m.currentProcess() == (after != Stage::Running),
                             10000);
    QTRY_VERIFY(!m.isInstalling() || after == Stage::Downloading);
    // One CLI alive, the last one started, or none.
    if (after == Stage::Running)
        QTRY_VERIFY(!fileLines(started).isEmpty() &&
                    ProcessGroup::isAlive(fileLines(started).constLast().toInt()));
    const QStringList pids = fileLines(started);
    for (int i = 0; i < pids.size(); ++i)
        QTRY_COMPARE(ProcessGroup::isAlive(pids.at(i).toInt()),
                     i == pids.size() - 1 && after == Stage::Running);
    QVERIFY(!m.output().contains(QStringLiteral("SIGKILL")));
    // A refusal is one line in the output log; a user's restart says so.
    const QMap<CliLifecycle::Why, QString> refusals{
        {CliLifecycle::Why::Quitting, QStringLiteral(" refused: the application is quitting")},
        {CliLifecycle::Why::SetUpUnderWay,
         QStringLiteral("ℹ️ The CLI set-up is already under way")},
        {CliLifecycle::Why::RunUnderWay, QStringLiteral("ℹ️ Not sweeping: the CLI's own run")},
        {CliLifecycle::Why::AfterSetUp, QStringLiteral("ℹ️ The CLI starts once its set-up")}};
    const QString says = cell.outcome == Outcome::Refuse ? refusals.value(cell.why)
                         : cell.step == Step::Restart ? QStringLiteral("🔄 Restarting the CLI...")
                         : cell.outcome == Outcome::Merge && input == Input::Update
                             ? QStringLiteral("ℹ️ A CLI download is already in progress")
                             : QString();
    QTRY_VERIFY2(says.isEmpty() || m.output().contains(says), qPrintable(m.output()));
    // The give-up's notice goes with a start, the missing CLI's with an install.
    const auto problem = [](Stage stage) {
        return stage == Stage::GivenUp || stage == Stage::WaitingForInstall;
    };
    QTRY_COMPARE(m.state().problem, problem(after) || (after == Stage::Finished && problem(reach)));
    QTRY_COMPARE(m.state().phase == Phase::Running, after == Stage::Running);
    // One answer per cleanup().
    const int cleanups = (reach == Stage::ShuttingDown || reach == Stage::Finished ? 1 : 0) +
                         (input == Input::Cleanup ? 1 : 0);
    QTRY_COMPARE(cleanedUp.count(), cleanups);
    // The start that follows puts the staged build in place; nothing else does.
    QCOMPARE(readFile(s.cliPath()) == newBuild, staged && after == Stage::Running);
    QCOMPARE(m.state().stagedBuild.isEmpty(), !staged || after == Stage::Running);
    QTRY_VERIFY(m.output().contains(u"reports walked:\nnone.\n"_s));
}

HALVANE_TEST_GUILESS_MAIN(TestSupervisor)
#include "tst_supervisor.moc"
