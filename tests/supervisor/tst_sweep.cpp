#include "ProcessGroup.h"
#include "SupervisorFixture.h"
#include "TestEnvironment.h"

#include <QProcess>
#include <QUuid>
#include <QtTest>

#include <unistd.h>

class TestSweep : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void parsesOnlyStrictDecimalLines();
    void nothingFoundContinuesAtOnce();
    void obeyingAndStubbornProcessesAllEndInOneSharedWait();
    void ownProcessAndAncestorsAreNeverSignalled();
    void missingPgrepIsReportedAndSignalsNothing();
    void startupSequenceOrderWithoutNetwork();

private:
    // A process whose command line carries this test's own pattern, never the real one.
    QProcess* startTarget(const QString& pattern, bool ignoreTerm) {
        auto* process = new QProcess(this);
        const QString script = ignoreTerm
                                   ? QStringLiteral("trap '' TERM; while :; do sleep 0.05; done")
                                   : QStringLiteral("while :; do sleep 0.05; done");
        process->start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), script, pattern});
        process->waitForStarted();
        return process;
    }
};

void TestSweep::parsesOnlyStrictDecimalLines() {
    QCOMPARE(VantrelManager::parsePgrepOutput(QStringLiteral("123\n456\n")),
             (QList<pid_t>{123, 456}));
    QCOMPARE(VantrelManager::parsePgrepOutput(
                 QStringLiteral("\n  \t42 \t\n\nabc\n99999999999\n+7\n1e3\n-\n")),
             (QList<pid_t>{42, 7}));
    QCOMPARE(VantrelManager::parsePgrepOutput(QStringLiteral("5\r\n6")), (QList<pid_t>{5, 6}));
    QCOMPARE(VantrelManager::parsePgrepOutput(QStringLiteral("2147483647\n2147483648")),
             (QList<pid_t>{2147483647}));
}

void TestSweep::nothingFoundContinuesAtOnce() {
    ConsoleCapture console;
    SupervisorFixture f;
    f.options.sweepPattern =
        QStringLiteral("halvane-nothing-") + QUuid::createUuid().toString(QUuid::Id128);
    VantrelManager& m = f.manager();
    m.killExistingProcesses();
    QVERIFY(console.contains(QStringLiteral("🔍 Searching for existing vantrel processes...")));
    QVERIFY(console.contains(QStringLiteral("ℹ️ No existing vantrel processes found")));
    QTRY_VERIFY(appearsInOrder(m.output(),
                               {QStringLiteral("🔍 Checking for existing vantrel processes...\n"),
                                QStringLiteral("ℹ️ No existing vantrel processes found\n")}));
}

void TestSweep::obeyingAndStubbornProcessesAllEndInOneSharedWait() {
    ConsoleCapture console;
    const QString pattern =
        QStringLiteral("halvane-sweep-") + QUuid::createUuid().toString(QUuid::Id128);
    QList<QProcess*> obeying, stubborn;
    for (int i = 0; i < 4; ++i)
        obeying.append(startTarget(pattern, false));
    for (int i = 0; i < 2; ++i)
        stubborn.append(startTarget(pattern, true));
    QList<qint64> stubbornPids;
    for (QProcess* p : stubborn)
        stubbornPids.append(p->processId());
    SupervisorFixture f;
    f.options.sweepPattern = pattern;
    VantrelManager& m = f.manager();
    m.killExistingProcesses();

    for (QProcess* p : obeying + stubborn)
        QVERIFY(p->waitForFinished(2000));
    for (QProcess* p : obeying)
        QCOMPARE(p->exitStatus(), QProcess::CrashExit); // ended by SIGTERM
    QCOMPARE(console.lines().filter(QStringLiteral("🔨 Killing vantrel process with PID: ")).size(),
             6);
    const QStringList forced =
        console.lines().filter(QStringLiteral("⚡️ Force killing stubborn process PID: "));
    QCOMPARE(forced.size(), 2);
    for (qint64 pid : stubbornPids)
        QVERIFY(forced.contains(
            QStringLiteral("⚡️ Force killing stubborn process PID: %1").arg(pid)));
    QVERIFY(console.contains(QStringLiteral("🎯 Found 6 vantrel process(es): [")));
    QTRY_VERIFY(appearsInOrder(
        m.output(), {QStringLiteral("🎯 Found 6 existing vantrel process(es), terminating...\n"),
                     QStringLiteral("✅ Cleaned up existing vantrel processes\n")}));
    QVERIFY(appearsInOrder(console.lines().join(QLatin1Char('\n')),
                           {QStringLiteral("⚡️ Force killing"),
                            QStringLiteral("✅ All existing vantrel processes terminated")}));
}

void TestSweep::ownProcessAndAncestorsAreNeverSignalled() {
    SupervisorFixture f;
    // A pgrep stand-in that reports this test process, its parent, garbage and a PID that
    // does not exist.
    const QString fake = f.dir.path() + QStringLiteral("/fake-pgrep");
    QFile file(fake);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        QStringLiteral("#!/bin/sh\necho %1\necho %2\necho 'pgrep: warning'\necho 2147483000\n")
            .arg(::getpid())
            .arg(::getppid())
            .toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    f.options.pgrepPath = fake;
    ConsoleCapture console;
    VantrelManager& m = f.manager();
    m.killExistingProcesses();
    QVERIFY(console.contains(QStringLiteral("ℹ️ No existing vantrel processes found")));
    QVERIFY(!console.contains(QStringLiteral("🔨")));
}

void TestSweep::missingPgrepIsReportedAndSignalsNothing() {
    ConsoleCapture console;
    SupervisorFixture f;
    f.options.pgrepPath = f.dir.path() + QStringLiteral("/no-pgrep");
    VantrelManager& m = f.manager();
    m.killExistingProcesses();
    QVERIFY(console.contains(QStringLiteral("⚠️ Failed to search for existing processes: ")));
    QVERIFY(!console.contains(QStringLiteral("🔨")));
    QTRY_VERIFY(
        m.output().contains(QStringLiteral("⚠️ Failed to search for existing processes: ")));
}

void TestSweep::startupSequenceOrderWithoutNetwork() {
    ConsoleCapture console;
    SupervisorFixture f;
    f.options.pgrepPath = f.dir.path() + QStringLiteral("/no-pgrep");
    f.options.baseURL = QUrl(QStringLiteral("https://127.0.0.1:1/static/cli"));
    VantrelManager& m = f.manager();
    QSignalSpy finished(&m, &VantrelManager::installFinished);
    m.createInstallDirectory();
    m.downloadAndRunCLI();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QTRY_VERIFY(m.output().contains(QStringLiteral("❌ Download error: ")));
    QVERIFY2(appearsInOrder(
                 m.output(),
                 {QStringLiteral("🚀 Starting Vantrel CLI setup...\n"),
                  QStringLiteral("⚠️ Failed to search for existing processes: "),
                  QStringLiteral("📥 Downloading latest CLI version...\n"),
                  QStringLiteral("📥 Installing CLI from https://127.0.0.1:1/static/cli/vantrel-"),
                  QStringLiteral("❌ Download error: ")}),
             qPrintable(m.output()));
    // Nothing installed, nothing to fall back to.
    QVERIFY(!m.output().contains(QStringLiteral("Starting the installed CLI instead")));
    QVERIFY(appearsInOrder(console.lines().join(QLatin1Char('\n')),
                           {QStringLiteral("🚀 downloadAndRunCLI() called"),
                            QStringLiteral("🔍 Searching"),
                            QStringLiteral("📥 Downloading latest CLI version..."),
                            QStringLiteral("📥 Update mode: false")}));
    QCOMPARE(m.state().phase, SupervisorState::Phase::Failed);
}

HALVANE_TEST_GUILESS_MAIN(TestSweep)
#include "tst_sweep.moc"
