#include "SupervisorFixture.h"
#include "TestEnvironment.h"

#include <QSignalSpy>
#include <QThread>
#include <QtTest>

class TestSupervisorCore : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startsWithInitialMessage();
    void handlerAppendsOnLaterTurnWithConsoleTrace();
    void chunksFromOneCallerCoalesceInOrder();
    void chunksFromAnotherThreadKeepTheirOrder();
    void retainedLogIsBoundedByWholeLines();
    void logFileGetsEverythingAndRotates();
    void logWriteFailureIsReportedOnceAndLosesNoOutput();
    void environmentOverrides();
    void stateSummaries();
};

void TestSupervisorCore::startsWithInitialMessage() {
    SupervisorFixture f;
    QCOMPARE(f.manager().output(), QStringLiteral("🔧 Vantrel Manager initialized\n"));
    QCOMPARE(f.manager().cliPath(), f.options.installDir + QStringLiteral("/vantrel"));
    QVERIFY(!f.manager().currentProcess());
}

void TestSupervisorCore::handlerAppendsOnLaterTurnWithConsoleTrace() {
    ConsoleCapture console;
    SupervisorFixture f;
    VantrelManager& m = f.manager();
    QSignalSpy appended(&m, &VantrelManager::outputAppended);
    m.outputHandler(QStringLiteral("abc"));
    QCOMPARE(m.output(), QStringLiteral("🔧 Vantrel Manager initialized\n"));
    QTRY_COMPARE(appended.count(), 1);
    QCOMPARE(appended.at(0).at(0).toString(), QStringLiteral("abc"));
    QCOMPARE(m.output(), QStringLiteral("🔧 Vantrel Manager initialized\nabc"));
    const QStringList lines = console.lines();
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines[0], QStringLiteral("🔧 VantrelManager outputHandler called with: abc"));
    QCOMPARE(lines[1], QStringLiteral("🔧 VantrelManager updating output on main thread"));
    // The length, not the text: printing the whole log per append would be quadratic.
    QCOMPARE(
        lines[2],
        QStringLiteral("🔧 VantrelManager output is now: %1 characters").arg(m.output().size()));
}

void TestSupervisorCore::chunksFromOneCallerCoalesceInOrder() {
    SupervisorFixture f;
    VantrelManager& m = f.manager();
    QSignalSpy appended(&m, &VantrelManager::outputAppended);
    QString expected = m.output();
    for (int i = 0; i < 500; ++i) {
        m.outputHandler(QStringLiteral("chunk %1\n").arg(i));
        expected += QStringLiteral("chunk %1\n").arg(i);
    }
    QTRY_COMPARE(m.output(), expected);
    // One hand-over for the whole burst: the event queue does not grow with the chunks.
    QCOMPARE(appended.count(), 1);
}

void TestSupervisorCore::chunksFromAnotherThreadKeepTheirOrder() {
    SupervisorFixture f;
    VantrelManager& m = f.manager();
    QString expected = m.output();
    for (int i = 0; i < 2000; ++i)
        expected += QStringLiteral("%1\n").arg(i);
    auto handler = m.outputHandler;
    QThread* writer = QThread::create([handler] {
        for (int i = 0; i < 2000; ++i)
            handler(QStringLiteral("%1\n").arg(i));
    });
    writer->start();
    QTRY_VERIFY(writer->isFinished());
    QTRY_COMPARE(m.output(), expected);
    delete writer;
}

void TestSupervisorCore::retainedLogIsBoundedByWholeLines() {
    SupervisorFixture f;
    f.options.retainedLines = 100;
    f.options.retainedChars = 100000;
    VantrelManager& m = f.manager();
    for (int i = 0; i < 1000; ++i)
        m.outputHandler(QStringLiteral("line %1\n").arg(i));
    QTRY_VERIFY(m.output().endsWith(QStringLiteral("line 999\n")));
    QVERIFY(m.output().count(QLatin1Char('\n')) <= 100);
    QVERIFY(m.output().startsWith(QStringLiteral("line ")));

    // The character bound too, again cutting only at line ends.
    SupervisorFixture g;
    g.options.retainedChars = 1000;
    VantrelManager& n = g.manager();
    for (int i = 0; i < 200; ++i)
        n.outputHandler(QStringLiteral("%1 0123456789\n").arg(i, 4, 10, QLatin1Char('0')));
    QTRY_VERIFY(n.output().endsWith(QStringLiteral("0199 0123456789\n")));
    QVERIFY(n.output().size() <= 1000);
    QVERIFY(n.output().size() > 500);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{4} ")).match(n.output()).hasMatch());

    // The file keeps everything the memory dropped.
    n.flushLog();
    QVERIFY(g.logText().contains(QStringLiteral("0000 0123456789\n")));
}

void TestSupervisorCore::logFileGetsEverythingAndRotates() {
    SupervisorFixture f;
    f.options.logRotateBytes = 1000;
    f.options.logKeepFiles = 2;
    VantrelManager& m = f.manager();
    m.outputHandler(QStringLiteral("first\n"));
    // Flushed by the timer, without anyone asking.
    QTRY_VERIFY_WITH_TIMEOUT(f.logText().contains(QStringLiteral("first\n")), 2000);
    for (int i = 0; i < 50; ++i) {
        m.outputHandler(QString(99, QLatin1Char('x')) + QLatin1Char('\n'));
        QTRY_VERIFY(m.output().size() > 0);
        QCoreApplication::processEvents();
    }
    m.flushLog();
    const QString base = f.options.logDir + QStringLiteral("/cli.log");
    QVERIFY(QFile::exists(base + QStringLiteral(".1")));
    QVERIFY(QFile::exists(base + QStringLiteral(".2")));
    QVERIFY(!QFile::exists(base + QStringLiteral(".3")));
    QVERIFY(QFileInfo(base + QStringLiteral(".1")).size() >= 1000);
    QVERIFY(QFileInfo(base + QStringLiteral(".1")).size() < 1200);
}

void TestSupervisorCore::logWriteFailureIsReportedOnceAndLosesNoOutput() {
    SupervisorFixture f;
    // A regular file where the log folder should be: fails even for root.
    QFile blocker(f.dir.path() + QStringLiteral("/blocked"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    f.options.logDir = blocker.fileName() + QStringLiteral("/logs");
    VantrelManager& m = f.manager();
    for (int i = 0; i < 5; ++i) {
        m.outputHandler(QStringLiteral("still here %1\n").arg(i));
        QTRY_VERIFY(m.output().contains(QStringLiteral("still here %1\n").arg(i)));
    }
    QTRY_VERIFY(m.output().contains(QStringLiteral("⚠️ Could not write the log file")));
    QCoreApplication::processEvents();
    QCOMPARE(m.output().count(QStringLiteral("⚠️ Could not write the log file")), 1);
}

void TestSupervisorCore::environmentOverrides() {
    qputenv("HALVANE_BASE_URL", "https://127.0.0.1:8443/static/cli");
    qputenv("HALVANE_CA_CERTS", "/tmp/ca.pem");
    SupervisorOptions options = SupervisorOptions::fromEnvironment();
    QCOMPARE(options.baseURL.toString(), QStringLiteral("https://127.0.0.1:8443/static/cli"));
    QCOMPARE(options.caCertificates, QStringLiteral("/tmp/ca.pem"));
    QCOMPARE(options.installDir, QDir::homePath() + QStringLiteral("/.vantrel/bin"));
    QCOMPARE(options.stateDir, qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/halvane"));

    ConsoleCapture console;
    qputenv("HALVANE_BASE_URL", "http://127.0.0.1:8080/static/cli");
    options = SupervisorOptions::fromEnvironment();
    QCOMPARE(options.baseURL.scheme(), QStringLiteral("https"));
    QVERIFY(options.baseURL.path().endsWith(QStringLiteral("/static/cli")));
    QVERIFY(console.contains(QStringLiteral("⚠️ HALVANE_BASE_URL is not an https URL")));
    qunsetenv("HALVANE_BASE_URL");
    qunsetenv("HALVANE_CA_CERTS");

    qputenv("XDG_STATE_HOME", "relative/state");
    QCOMPARE(SupervisorOptions::fromEnvironment().stateDir,
             QDir::homePath() + QStringLiteral("/.local/state/halvane"));
}

void TestSupervisorCore::stateSummaries() {
    SupervisorState s;
    s.phase = SupervisorState::Phase::Downloading;
    s.received = 8000000;
    s.total = 20000000;
    QCOMPARE(s.summary(), QStringLiteral("Downloading 40 % (8.0 MB of 20.0 MB)"));
    s.phase = SupervisorState::Phase::Exited;
    s.exitCode = 2;
    QCOMPARE(s.summary(), QStringLiteral("Exited with code 2"));
    QCOMPARE(humanSize(512), QStringLiteral("512 B"));
}

HALVANE_TEST_GUILESS_MAIN(TestSupervisorCore)
#include "tst_supervisorcore.moc"
