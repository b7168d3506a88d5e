#include "TestDesktop.h"
#include "TestEnvironment.h"
#include "process/ProcessGroup.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <optional>

#include <sys/stat.h>

// The real binary, started as its users start it, in this test's own HOME and XDG folders.
class TestAppProcess : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void oneInstanceFromLaunchToQuit();
    void crashRestartsAndQuitLeavesNoDaemon();
    void stdoutThatTakesNothingHoldsNothingUp_data();
    void stdoutThatTakesNothingHoldsNothingUp();
    void everyWayOutStopsTheCli_data();
    void everyWayOutStopsTheCli();
    void relaunchDuringQuitTakesOver();
    void noPrivateFolderStillOneInstance();
    void commandLineWithoutAnInstance_data();
    void commandLineWithoutAnInstance();
    void commandsForTheRunningInstance();

private:
    // reader, when given, gets the application's output instead of this test.
    QProcess* launch(QProcess* reader = nullptr) {
        auto* app = new QProcess(this);
        app->setProcessEnvironment(env_);
        app->setProcessChannelMode(QProcess::MergedChannels);
        if (reader)
            app->setStandardOutputProcess(reader);
        app->start(QStringLiteral(HALVANE_BINARY), {});
        app->waitForStarted();
        apps_.append(app);
        if (reader)
            apps_.append(reader);
        return app;
    }
    // The CLI's PID once it differs from previous; it is ended in cleanup if left alive.
    pid_t waitForCliPid(qint64 previous = 0) {
        pid_t pid = 0;
        const bool up = QTest::qWaitFor(
            [&] {
                QFile file(pidFile_);
                pid = file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toLongLong())
                                                     : 0;
                return pid > 0 && pid != previous && ProcessGroup::isAlive(pid);
            },
            10000);
        if (up)
            clis_.append(pid);
        return up ? pid : 0;
    }
    // A fake CLI that notes its PID, runs body, then stays until SIGTERM, when it runs onTerm.
    void writeCli(const QString& body, const QString& onTerm = QStringLiteral("exit 0")) {
        QFile cli(QDir::homePath() + QStringLiteral("/.vantrel/bin/vantrel"));
        QVERIFY(cli.open(QIODevice::WriteOnly | QIODevice::Truncate));
        cli.write(QStringLiteral("#!/bin/bash\necho $$ > %1\n%2\ntrap '%3' TERM; "
                                 "while true; do sleep 0.05; done\n")
                      .arg(pidFile_, body, onTerm)
                      .toUtf8());
        cli.close();
        cli.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    // Runs `halvane arguments` to its end: its exit status, and what it wrote.
    int command(const QStringList& arguments, QByteArray* out = nullptr,
                QByteArray* err = nullptr) {
        auto* run = new QProcess(this);
        apps_.append(run);
        run->setProcessEnvironment(env_);
        run->start(QStringLiteral(HALVANE_BINARY), arguments);
        if (!run->waitForFinished(15000))
            return -1;
        if (out)
            *out = run->readAllStandardOutput();
        if (err)
            *err = run->readAllStandardError();
        return run->exitStatus() == QProcess::NormalExit ? run->exitCode() : -1;
    }
    static bool ended(QProcess* app) {
        return app->state() == QProcess::NotRunning || app->waitForFinished(10000);
    }
    // Whether the application wrote line within 10 s; what it wrote until then is consumed.
    static bool waitToSee(QProcess* app, const QByteArray& line) {
        QByteArray text;
        return QTest::qWaitFor([&] { return (text += app->readAll()).contains(line); }, 10000);
    }

    QString pidFile_;
    QProcessEnvironment env_;
    QList<QProcess*> apps_;
    QList<pid_t> clis_;
};

void TestAppProcess::init() {
    env_ = QProcessEnvironment::systemEnvironment();
    env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // The download fails and the installed CLI is started instead.
    env_.insert(QStringLiteral("HALVANE_BASE_URL"), closedBaseUrl());
    env_.insert(QStringLiteral("HALVANE_SWEEP_ROOT"), QDir::homePath());
    pidFile_ = QDir::homePath() + QStringLiteral("/cli.pid");
    QDir().mkpath(QDir::homePath() + QStringLiteral("/.vantrel/bin"));
    writeCli(QStringLiteral("echo cli-up"));
    QFile::remove(pidFile_);
}

void TestAppProcess::cleanup() {
    // End only what this test started: its application processes, then any CLI they left.
    for (QProcess* app : std::as_const(apps_))
        TestDesktop::stop(*app);
    qDeleteAll(apps_);
    apps_.clear();
    for (pid_t pid : std::as_const(clis_))
        if (ProcessGroup::isAlive(pid))
            ::kill(pid, SIGKILL);
    clis_.clear();
}

// One instance through its whole life: a second launch only shows the first one's window; a
// killed instance's lock and CLI are taken over by the next launch; SIGTERM quits cleanly.
void TestAppProcess::oneInstanceFromLaunchToQuit() {
    // It ignores the SIGTERM the kernel sends it when its application dies, so it is left for the
    // next launch's sweep.
    writeCli(QStringLiteral("echo cli-up"), QStringLiteral(":"));
    QProcess* first = launch();
    const pid_t orphan = waitForCliPid();
    QVERIFY2(orphan > 0, first->readAll().constData());
    QProcess* second = launch();
    QVERIFY(second->waitForFinished(10000));
    QCOMPARE(second->exitCode(), 0);
    const QByteArray said = second->readAll();
    QVERIFY2(said.contains("already running: showed its window"), said.constData());
    QVERIFY(ProcessGroup::isAlive(orphan) && first->state() == QProcess::Running);

    first->kill(); // SIGKILL: no cleanup, the lock stays behind
    QVERIFY(first->waitForFinished(5000) && ProcessGroup::isAlive(orphan));
    QProcess* next = launch();
    // The new instance takes the lock, sweeps the orphan and starts a fresh CLI.
    const pid_t fresh = waitForCliPid(orphan);
    QVERIFY2(fresh > 0, next->readAll().constData());
    QTRY_VERIFY(!ProcessGroup::isAlive(orphan));

    ::kill(pid_t(next->processId()), SIGTERM);
    QVERIFY(next->waitForFinished(10000));
    QCOMPARE(next->exitStatus(), QProcess::NormalExit);
    QCOMPARE(next->exitCode(), 0);
    QVERIFY(!ProcessGroup::isAlive(fresh));
}

// A CLI that detaches a daemon ignoring SIGTERM and then crashes: its daemon is stopped before
// it is started again, and Quit ends the next run's daemon too, though it left the CLI's process
// group long before.
void TestAppProcess::crashRestartsAndQuitLeavesNoDaemon() {
    const QString home = QDir::homePath();
    writeCli(QStringLiteral("( setsid bash -c 'trap \"\" TERM; echo $$ >> %1/daemons; exec sleep "
                            "600' & ); if [ ! -e %1/crashed ]; then touch %1/crashed; sleep 0.2; "
                            "kill -SEGV $$; fi")
                 .arg(home));
    QProcess* app = launch();
    const pid_t crashed = waitForCliPid();
    QVERIFY(crashed > 0);
    const pid_t restarted = waitForCliPid(crashed);
    QVERIFY2(restarted > 0, app->readAll().right(2000).constData());
    QList<pid_t> daemons;
    const auto read = [&] {
        daemons.clear();
        for (const QByteArray& line : readFile(home + QStringLiteral("/daemons")).split('\n'))
            if (!line.isEmpty())
                daemons.append(pid_t(line.toLongLong()));
        return daemons.size();
    };
    QTRY_COMPARE(read(), 2);
    clis_.append(daemons);
    QVERIFY(!ProcessGroup::isAlive(daemons.first()) && ProcessGroup::isAlive(daemons.last()));
    ::kill(pid_t(app->processId()), SIGTERM);
    QVERIFY(app->waitForFinished(15000));
    QCOMPARE(app->exitStatus(), QProcess::NormalExit);
    QVERIFY(!ProcessGroup::isAlive(daemons.last()));
    QVERIFY(!ProcessGroup::isAlive(restarted));
}

void TestAppProcess::stdoutThatTakesNothingHoldsNothingUp_data() {
    // Started without a shell, so stopping the reader ends the program itself.
    QTest::addColumn<QStringList>("reader");
    QTest::newRow("never read") << QStringList{"sleep", "600"};
    QTest::newRow("closed early") << QStringList{"head", "-c", "100"};
}

// A stalled journal or `halvane | head` must neither freeze nor kill the application: the CLI
// runs, the log file gets everything, and a termination request is still answered.
void TestAppProcess::stdoutThatTakesNothingHoldsNothingUp() {
    QFETCH(QStringList, reader);
    writeCli(QStringLiteral("head -c 3000000 /dev/zero | tr \\\\0 x; echo; echo burst-done"));
    auto* sink = new QProcess(this);
    sink->setStandardInputFile(QProcess::nullDevice()); // replaced by the application's output
    QProcess* app = launch(sink);
    sink->start(reader.takeFirst(), reader);
    const pid_t pid = waitForCliPid();
    QVERIFY(pid > 0);
    const QString log = QDir::homePath() + QStringLiteral("/.local/state/halvane/cli.log");
    QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains("burst-done"), 20000);
    // The window's log names the overrides in effect, as the console does.
    QVERIFY(readFile(log).contains("🔧 Development override: HALVANE_SWEEP_ROOT=" +
                                   QFile::encodeName(QDir::homePath()) + '\n'));
    QCOMPARE(app->state(), QProcess::Running);
    ::kill(pid_t(app->processId()), SIGTERM);
    QVERIFY(app->waitForFinished(10000));
    QCOMPARE(app->exitStatus(), QProcess::NormalExit);
    QTRY_VERIFY(!ProcessGroup::isAlive(pid));
}

void TestAppProcess::everyWayOutStopsTheCli_data() {
    QTest::addColumn<int>("signal"); // sent to the application; 0: its X server goes away
    QTest::newRow("SIGUSR1, Qt's own quit") << int(SIGUSR1);
    QTest::newRow("SIGSEGV, no waiting") << int(SIGSEGV);
    QTest::newRow("X server lost, exit() under the event loop") << 0;
}

// A CLI that takes its time to stop: a way out that can wait reports the stop as complete only
// once it is; one that cannot still leaves no CLI behind.
void TestAppProcess::everyWayOutStopsTheCli() {
    QFETCH(int, signal);
    std::optional<TestDesktop> desktop;
    if (signal == 0) {
        HALVANE_REQUIRE_TOOL(TestDesktop::installed("Xvfb") && TestDesktop::installed("openbox"),
                             "Xvfb and openbox");
        desktop.emplace(env_);
        const QString error = desktop->start();
        QVERIFY2(error.isEmpty(), qPrintable(error));
        env_ = desktop->environment();
        env_.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    }
    writeCli(QStringLiteral("echo cli-up"), QStringLiteral("sleep 0.5; exit 0"));
    QProcess* app = launch();
    const pid_t cli = waitForCliPid();
    QVERIFY(cli > 0);
    QVERIFY(waitToSee(app, "🚀 Opening terminal window automatically"));
    ::kill(signal ? pid_t(app->processId()) : pid_t(desktop->serverPid()),
           signal ? signal : SIGKILL);
    QTRY_VERIFY_WITH_TIMEOUT(!ProcessGroup::isAlive(cli), 3000);
    QVERIFY(ended(app));
    const QByteArray said = app->readAll();
    QVERIFY2(!said.contains("The CLI keeps running"), said.constData());
    if (signal == SIGUSR1) {
        QCOMPARE(app->exitStatus(), QProcess::NormalExit);
        const qsizetype stopped = said.indexOf("✅ CLI process cleanup completed");
        QVERIFY2(stopped >= 0 && stopped < said.indexOf("🛑 App termination cleanup completed"),
                 said.constData());
    } else {
        QVERIFY2(app->exitStatus() == QProcess::CrashExit || app->exitCode() != 0,
                 said.constData());
    }
}

// Quit with a CLI that takes 0.7 s to stop, launch again meanwhile: the launch waits for the
// leaving instance and takes its place, and one CLI runs.
void TestAppProcess::relaunchDuringQuitTakesOver() {
    const QString runs = QDir::homePath() + QStringLiteral("/runs");
    writeCli(QStringLiteral("echo $$ >> ") + runs, QStringLiteral("sleep 0.7; exit 0"));
    QProcess* first = launch();
    const pid_t old = waitForCliPid();
    QVERIFY(old > 0);
    ::kill(pid_t(first->processId()), SIGTERM);
    QVERIFY(waitToSee(first, "🧹 VantrelManager cleanup called"));
    QProcess* second = launch();
    const pid_t fresh = waitForCliPid(old);
    QVERIFY2(fresh > 0, second->readAll().constData());
    QVERIFY(ended(first));
    QCOMPARE(first->exitCode(), 0);
    QCOMPARE(second->state(), QProcess::Running);
    QVERIFY(!ProcessGroup::isAlive(old));
    QCOMPARE(readFile(runs).trimmed().split('\n').size(), 2);
    QVERIFY(!second->readAll().contains("already running"));
}

// No private folder for the lock (the runtime folder open to all, nothing can be made in
// TMPDIR or XDG_CACHE_HOME): the launches neither crash nor run a second CLI.
void TestAppProcess::noPrivateFolderStillOneInstance() {
    const QString runtime = QDir::homePath() + QStringLiteral("/open-runtime");
    QVERIFY(QDir().mkdir(runtime) && ::chmod(QFile::encodeName(runtime).constData(), 0777) == 0);
    env_.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env_.insert(QStringLiteral("TMPDIR"), QStringLiteral("/proc/halvane-none"));
    env_.insert(QStringLiteral("XDG_CACHE_HOME"), QStringLiteral("/proc/halvane-none"));
    QProcess* first = launch();
    QVERIFY(waitForCliPid() > 0);
    QProcess* second = launch();
    QVERIFY(second->waitForFinished(10000));
    QVERIFY(second->readAll().contains("already running: showed its window"));
    QCOMPARE(first->state(), QProcess::Running);
}

void TestAppProcess::commandLineWithoutAnInstance_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("says");
    QTest::newRow("help") << QStringList{"--help"} << 0 << QByteArray("Usage: halvane");
    QTest::newRow("version") << QStringList{"--version"} << 0
                             << QByteArray("Vantrel Halvane " HALVANE_VERSION " (");
    QTest::newRow("unknown") << QStringList{"--bogus"} << 2
                             << QByteArray("halvane: unknown option '--bogus'\nTry 'halvane "
                                           "--help' for more information.\n");
    for (const char* word : {"--restart-cli", "--update-cli", "--quit", "--status"})
        QTest::newRow(word) << QStringList{QString::fromLatin1(word)} << 3
                            << QByteArray("halvane: Vantrel Halvane is not running\n");
    QTest::newRow("status as JSON")
        << QStringList{"--status", "--json"} << 3 << QByteArray("is not running");
}

// Asked how it is used, or for a running instance that is not there: it answers, writes
// nothing in the home, takes no lock, and starts no CLI.
void TestAppProcess::commandLineWithoutAnInstance() {
    QFETCH(QStringList, arguments);
    const auto files = [] {
        QStringList all;
        for (const QString& root : {QDir::homePath(), qEnvironmentVariable("XDG_RUNTIME_DIR")}) {
            QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                            QDirIterator::Subdirectories);
            while (it.hasNext())
                all << it.next();
        }
        return all;
    };
    const QStringList before = files();
    QByteArray out, err;
    QTEST(command(arguments, &out, &err), "status");
    QFETCH(QByteArray, says);
    QVERIFY2((out + err).contains(says), (out + err).constData());
    QCOMPARE(files(), before);
    QVERIFY(!QFile::exists(pidFile_));
}

// Each command reaches the instance that runs; the socket refuses what is not a command; --quit
// returns once the instance and its CLI are gone.
void TestAppProcess::commandsForTheRunningInstance() {
    writeCli(QStringLiteral("echo cli-up"), QStringLiteral("sleep 0.7; exit 0"));
    QProcess* app = launch();
    const pid_t cli = waitForCliPid();
    QVERIFY(cli > 0);
    QByteArray out;
    QCOMPARE(command({"--status"}, &out), 0);
    QVERIFY2(out.startsWith("stage: running\nstate: Running\npid: "), out.constData());
    QCOMPARE(command({"--status", "--json"}, &out), 0);
    const QJsonObject status = QJsonDocument::fromJson(out).object();
    QCOMPARE(status.value(u"stage").toString(), u"running");
    QVERIFY(ProcessGroup::isAlive(pid_t(status.value(u"pid").toInteger())));
    QVERIFY(status.contains(u"last_check_result") && status.value(u"notice").isNull());

    QCOMPARE(command({"--restart-cli"}), 0);
    const pid_t restarted = waitForCliPid(cli);
    QVERIFY(restarted > 0 && !ProcessGroup::isAlive(cli));
    QByteArray said = app->readAll();
    QCOMPARE(command({"--update-cli"}), 0);
    QTRY_COMPARE((said += app->readAll()).count("📥 installCLI() called"), 2);

    for (const QByteArray& garbage :
         {QByteArray("restart\n"), QByteArray(200, 'x'), QByteArray("\xff\x00show\n", 7)}) {
        QLocalSocket socket;
        socket.connectToServer(qEnvironmentVariable("XDG_RUNTIME_DIR") +
                               QStringLiteral("/halvane.socket"));
        QVERIFY(socket.waitForConnected(5000));
        socket.write(garbage);
        QVERIFY(socket.waitForDisconnected(5000));
        QVERIFY2(socket.readAll().startsWith("error: "), garbage.constData());
    }
    QCOMPARE(ProcessGroup::isAlive(restarted), true);

    QCOMPARE(command({"--quit"}), 0);
    QVERIFY(!ProcessGroup::isAlive(pid_t(app->processId())));
    QVERIFY(!ProcessGroup::isAlive(restarted));
    QVERIFY(ended(app) && app->exitCode() == 0);
    QCOMPARE(command({"--quit"}), 3);
}

HALVANE_TEST_GUILESS_MAIN(TestAppProcess)
#include "tst_appprocess.moc"
