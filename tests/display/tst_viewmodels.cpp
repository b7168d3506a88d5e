#include "Console.h"
#include "DownloadServer.h"
#include "InstallerViewModel.h"
#include "TerminalViewModel.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"

#include <QDir>
#include <QMutex>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <memory>
#include <optional>

namespace {
// The view models' own console lines (the supervisor's are left out).
class ModelConsole {
public:
    ModelConsole() {
        Console::setSink([this](const QString& line) {
            if (line.startsWith(QStringLiteral("🖥️"))) {
                QMutexLocker lock(&mutex_);
                lines_.append(line);
            }
        });
    }
    ~ModelConsole() {
        Console::setSink([](const QString&) {});
    }
    QStringList lines() const {
        QMutexLocker lock(&mutex_);
        return lines_;
    }

private:
    mutable QMutex mutex_;
    QStringList lines_;
};
} // namespace

// The terminal window's copy of the log, and the install status model, both on a real
// supervisor; installs come from an HTTPS server on loopback with a certificate made here.
class TestViewModels : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void terminalStartsWithItsMessageThenTakesTheRetainedLog();
    void terminalTakesEveryLaterBatchInOrderOnce();
    void terminalConsolePrintsLengthsNotTheLog();
    void terminalIsTrimmedLikeTheSupervisor();
    void terminalDropsWhatIsQueuedWhenDestroyed();
    void terminalWithoutSupervisor();

    void installerSucceedsWithProgressAndRunsTheCli();
    void installerReportsARealFailure();
    void installerIgnoresASecondRequestUntilTheEnd();
    void installerFollowsADownloadAlreadyRunning();
    void installerIgnoresInstallsItDidNotAskFor();

private:
    VantrelManager& manager();
    QByteArray cliBody(const QByteArray& word) const {
        return "#!/bin/sh\necho " + word + " # " + marker_.toUtf8() + "\n";
    }

    QTemporaryDir pkiDir_;
    std::optional<TestPki> pki_;
    std::unique_ptr<DownloadServer> server_;
    std::unique_ptr<QTemporaryDir> dir_;
    SupervisorOptions options_;
    std::unique_ptr<VantrelManager> manager_;
    QString marker_;
};

void TestViewModels::initTestCase() {
    Console::setSink([](const QString&) {});
    QString error;
    pki_ = TestPki::create(pkiDir_.path(), &error);
    QVERIFY2(pki_, qPrintable(error));
}

void TestViewModels::init() {
    marker_ = QStringLiteral("halvane-viewmodels-") + QUuid::createUuid().toString(QUuid::Id128);
    dir_ = std::make_unique<QTemporaryDir>();
    options_ = {};
    options_.installDir = dir_->path() + QStringLiteral("/bin");
    options_.stateDir = dir_->path() + QStringLiteral("/state");
    options_.logDir = options_.stateDir;
    // Nothing listens on port 1: a download there fails at once.
    options_.baseURL = QUrl(QStringLiteral("https://127.0.0.1:1/static/cli"));
    options_.caCertificates = pki_->caCert;
    options_.sweepPattern = marker_;
    options_.stopTimeoutMs = 500;
    QDir().mkpath(options_.installDir);
}

void TestViewModels::cleanup() {
    if (manager_)
        manager_->cleanup();
    manager_.reset();
    server_.reset();
    dir_.reset();
}

VantrelManager& TestViewModels::manager() {
    if (!manager_)
        manager_ = std::make_unique<VantrelManager>(options_);
    return *manager_;
}

void TestViewModels::terminalStartsWithItsMessageThenTakesTheRetainedLog() {
    manager().outputHandler(QStringLiteral("before the model\n"));
    QTRY_VERIFY(manager().output().endsWith(QStringLiteral("before the model\n")));
    const QString retained = manager().output();
    TerminalViewModel model(&manager());
    QSignalSpy reset(&model, &TerminalViewModel::outputReset);
    QCOMPARE(model.output(), QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
    QCOMPARE(reset.count(), 0); // never inside the constructor
    QTRY_COMPARE(reset.count(), 1);
    QCOMPARE(model.output(), retained);
    QCOMPARE(reset.at(0).at(0).toString(), retained);
    QVERIFY(model.output().startsWith(QStringLiteral("🔧 Vantrel Manager initialized\n")));
    QCOMPARE(model.logFilePath(), manager().logFilePath());
}

void TestViewModels::terminalTakesEveryLaterBatchInOrderOnce() {
    TerminalViewModel model(&manager());
    // Written after the model took its snapshot, before the snapshot was delivered.
    manager().outputHandler(QStringLiteral("first\n"));
    QSignalSpy reset(&model, &TerminalViewModel::outputReset);
    QSignalSpy appended(&model, &TerminalViewModel::outputAppended);
    QTRY_COMPARE(appended.count(), 1);
    QCOMPARE(reset.count(), 1);
    manager().outputHandler(QStringLiteral("second "));
    QTRY_COMPARE(appended.count(), 2);
    manager().outputHandler(QStringLiteral("and third\n"));
    QTRY_COMPARE(appended.count(), 3);
    QCOMPARE(appended.at(0).at(0).toString(), QStringLiteral("first\n"));
    QCOMPARE(appended.at(1).at(0).toString(), QStringLiteral("second "));
    QCOMPARE(appended.at(2).at(0).toString(), QStringLiteral("and third\n"));
    QCOMPARE(model.output(), manager().output());
    QCOMPARE(model.output().count(QStringLiteral("first\n")), 1);
}

void TestViewModels::terminalConsolePrintsLengthsNotTheLog() {
    ModelConsole console;
    {
        TerminalViewModel model(&manager());
        QTRY_COMPARE(model.output(), manager().output());
        const QString payload = QStringLiteral("payload-") + marker_ + QLatin1Char('\n');
        manager().outputHandler(payload);
        QTRY_VERIFY(model.output().endsWith(payload));
        const QStringList lines = console.lines();
        const qsizetype retained = manager().output().size() - payload.size();
        QCOMPARE(
            lines,
            (QStringList{
                QStringLiteral("🖥️ TerminalViewModel init called"),
                QStringLiteral("🖥️ TerminalViewModel initial output: 🚀 Starting Vantrel "
                               "CLI setup...\n"),
                QStringLiteral("🖥️ TerminalViewModel received new output: %1 characters")
                    .arg(retained),
                QStringLiteral("🖥️ TerminalViewModel output updated to: %1 characters")
                    .arg(retained),
                QStringLiteral("🖥️ TerminalViewModel received new output: %1 characters")
                    .arg(payload.size()),
                QStringLiteral("🖥️ TerminalViewModel output updated to: %1 characters")
                    .arg(model.output().size()),
            }));
    }
    QCOMPARE(console.lines().last(),
             QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up"));
}

void TestViewModels::terminalIsTrimmedLikeTheSupervisor() {
    options_.retainedChars = 5000;
    options_.retainedLines = 60;
    TerminalViewModel model(&manager());
    QSignalSpy appended(&model, &TerminalViewModel::outputAppended);
    for (int batch = 0; batch < 40; ++batch) {
        QString text;
        for (int i = 0; i < 7 + batch % 5; ++i)
            text += QStringLiteral("batch %1 line %2 %3\n")
                        .arg(batch)
                        .arg(i)
                        .arg(QString(batch * 3, QLatin1Char('#')));
        manager().outputHandler(text);
        QTRY_COMPARE(appended.count(), batch + 1);
        QCOMPARE(model.output(), manager().output());
        QVERIFY(model.output().size() <= options_.retainedChars);
        QVERIFY(model.output().count(QLatin1Char('\n')) <= options_.retainedLines);
    }
    // One line longer than the whole bound is cut inside, in both.
    manager().outputHandler(QString(8000, QLatin1Char('L')));
    QTRY_COMPARE(appended.count(), 41);
    QCOMPARE(model.output(), manager().output());
}

void TestViewModels::terminalDropsWhatIsQueuedWhenDestroyed() {
    ModelConsole console;
    auto* model = new TerminalViewModel(&manager());
    QTRY_COMPARE(model->output(), manager().output());
    QPointer<TerminalViewModel> alive(model);
    // Destroyed right after the supervisor queued a batch for it.
    connect(&manager(), &VantrelManager::outputAppended, this, [&alive] { delete alive.data(); });
    manager().outputHandler(QStringLiteral("too late\n"));
    QTRY_VERIFY(!alive);
    QTRY_VERIFY(manager().output().endsWith(QStringLiteral("too late\n")));
    manager().outputHandler(QStringLiteral("later still\n"));
    QTRY_VERIFY(manager().output().endsWith(QStringLiteral("later still\n")));
    QCoreApplication::processEvents();
    QCOMPARE(console.lines().last(),
             QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up"));
    disconnect(&manager(), &VantrelManager::outputAppended, this, nullptr);
}

void TestViewModels::terminalWithoutSupervisor() {
    TerminalViewModel model(nullptr);
    QSignalSpy reset(&model, &TerminalViewModel::outputReset);
    QCoreApplication::processEvents();
    QCOMPARE(reset.count(), 0);
    QCOMPARE(model.output(), QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
    QVERIFY(model.logFilePath().isEmpty());
}

void TestViewModels::installerSucceedsWithProgressAndRunsTheCli() {
    server_ = std::make_unique<DownloadServer>(pki_->serverConfiguration());
    QVERIFY(server_->listen());
    QByteArray body = cliBody("installed-ok");
    body += "# " + QByteArray(20000, 'p') + "\n";
    server_->setAsset(VantrelManager::assetName(), body);
    server_->setMode(DownloadServer::Mode::Slow, 40000); // about half a second
    options_.baseURL = QUrl(server_->baseUrl());

    InstallerViewModel model(&manager());
    QCOMPARE(model.status(), QStringLiteral("Ready to install CLI"));
    QVERIFY(!model.isRunning());
    QStringList statuses;
    connect(&model, &InstallerViewModel::statusChanged, this,
            [&statuses](const QString& status) { statuses << status; });
    QSignalSpy running(&model, &InstallerViewModel::isRunningChanged);
    // Busy for as long as the supervisor is still at it.
    bool busyThroughout = true;
    connect(&manager(), &VantrelManager::stateChanged, this, [&] {
        if (manager().isInstalling())
            busyThroughout = busyThroughout && model.isRunning();
    });

    model.startInstall();
    QVERIFY(model.isRunning());
    QCOMPARE(model.status(), QStringLiteral("Installing CLI..."));
    QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 20000);
    QCOMPARE(model.status(), QStringLiteral("Installation complete"));
    QVERIFY(busyThroughout);
    QCOMPARE(running.count(), 2);
    QCOMPARE(statuses.first(), QStringLiteral("Installing CLI..."));
    const QRegularExpression percent(QStringLiteral(R"(^Installing CLI\.\.\. (\d+) %$)"));
    const QStringList progress = statuses.filter(percent);
    QVERIFY2(progress.size() >= 2, qPrintable(statuses.join(QLatin1Char('|'))));
    QVERIFY(percent.match(progress.first()).captured(1).toInt() <
            percent.match(progress.last()).captured(1).toInt());
    QCOMPARE(server_->requests().size(), 1);
    QVERIFY(QFileInfo(manager().cliPath()).isExecutable());
    QTRY_VERIFY_WITH_TIMEOUT(manager().output().contains(QStringLiteral("installed-ok")), 15000);
}

void TestViewModels::installerReportsARealFailure() {
    InstallerViewModel model(&manager());
    QSignalSpy running(&model, &InstallerViewModel::isRunningChanged);
    model.startInstall();
    QVERIFY(model.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 15000);
    QVERIFY2(model.status().startsWith(QStringLiteral("Installation failed: ")),
             qPrintable(model.status()));
    QVERIFY2(model.status().size() > int(qstrlen("Installation failed: ")) + 3,
             qPrintable(model.status()));
    QCOMPARE(running.count(), 2);
    QVERIFY(!QFile::exists(manager().cliPath()));
    QVERIFY(manager().output().contains(QStringLiteral("❌ Download error: ")));
}

void TestViewModels::installerIgnoresASecondRequestUntilTheEnd() {
    InstallerViewModel model(&manager());
    QSignalSpy running(&model, &InstallerViewModel::isRunningChanged);
    model.startInstall();
    model.startInstall();
    QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 15000);
    QCOMPARE(running.count(), 2);
    QCOMPARE(manager().output().count(QStringLiteral("❌ Download error: ")), 1);

    // Once it has ended, a new request starts a new installation.
    model.startInstall();
    QVERIFY(model.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 15000);
    QCOMPARE(manager().output().count(QStringLiteral("❌ Download error: ")), 2);
    QVERIFY(model.status().startsWith(QStringLiteral("Installation failed: ")));
}

void TestViewModels::installerFollowsADownloadAlreadyRunning() {
    server_ = std::make_unique<DownloadServer>(pki_->serverConfiguration());
    QVERIFY(server_->listen());
    server_->setAsset(VantrelManager::assetName(), cliBody("followed") + QByteArray(4000, '#'));
    server_->setMode(DownloadServer::Mode::Slow, 8000);
    options_.baseURL = QUrl(server_->baseUrl());

    InstallerViewModel model(&manager());
    manager().installCLI(); // the start-up check, say
    QVERIFY(manager().isInstalling());
    model.startInstall();
    QVERIFY(model.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!model.isRunning(), 20000);
    QCOMPARE(model.status(), QStringLiteral("Installation complete"));
    QCOMPARE(server_->requests().size(), 1);
}

void TestViewModels::installerIgnoresInstallsItDidNotAskFor() {
    InstallerViewModel model(&manager());
    QSignalSpy status(&model, &InstallerViewModel::statusChanged);
    QSignalSpy finished(&manager(), &VantrelManager::installFinished);
    manager().installCLI();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 15000);
    QCOMPARE(status.count(), 0);
    QVERIFY(!model.isRunning());

    // Shutting the supervisor down while a request runs ends the request.
    model.startInstall();
    QVERIFY(model.isRunning());
    manager_.reset();
    QVERIFY(!model.isRunning());
    QVERIFY(model.status().startsWith(QStringLiteral("Installation failed: ")));
}

HALVANE_TEST_GUILESS_MAIN(TestViewModels)
#include "tst_viewmodels.moc"
