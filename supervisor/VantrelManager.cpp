#include "VantrelManager.h"
#include "CliInstaller.h"
#include "CliMetadata.h"
#include "CliRunner.h"
#include "Console.h"
#include "ProcessSweep.h"

#include <QFileInfo>

namespace {
const QString kRolledBack =
    QStringLiteral("⚠️ The new build failed at its first start: the previous one runs instead");

} // namespace

VantrelManager::VantrelManager(SupervisorOptions options, QObject* parent)
    : VantrelManager(options,
                     new OutputLog(options, QStringLiteral("🔧 Vantrel Manager initialized\n")),
                     parent) {}

VantrelManager::VantrelManager(SupervisorOptions options, OutputLog* log, QObject* parent)
    : QObject(parent), outputHandler(log->writer()), options_(std::move(options)), log_(log),
      runner_(new CliRunner(options_, log_, this)),
      installer_(new CliInstaller(options_, outputHandler, this)), restarts_(options_),
      rollback_(options_, outputHandler) {
    qRegisterMetaType<SupervisorState>();
    if (QFileInfo::exists(cliPath()))
        state_.build = CliMetadata::describe(CliMetadata::load(options_));
    restartTimer_.setSingleShot(true);
    connect(&restartTimer_, &QTimer::timeout, this, [this] {
        // Something else (an update, the user) may have started it meanwhile.
        if (!runner_->isRunning())
            runner_->runCLI();
    });
    log_->setParent(this);
    connect(log_, &OutputLog::appended, this, &VantrelManager::outputAppended);
    connect(runner_, &CliRunner::stateChanged, this, &VantrelManager::setState);
    connect(runner_, &CliRunner::ended, this, &VantrelManager::onCliEnded);
    connect(installer_, &CliInstaller::stateChanged, this, &VantrelManager::setState);
    connect(installer_, &CliInstaller::finished, this, &VantrelManager::finishInstall);
    connect(installer_, &CliInstaller::slow, this, &VantrelManager::startEarly);
}

VantrelManager::~VantrelManager() {
    // The runner's reader threads write into the log: they go first.
    delete runner_;
    log_->flush();
}

VantrelManager* VantrelManager::shared() {
    static VantrelManager* instance = new VantrelManager();
    return instance;
}

CliProcess* VantrelManager::currentProcess() const {
    return runner_->currentProcess();
}

bool VantrelManager::isInstalling() const {
    return installer_->isInstalling();
}

QString VantrelManager::assetName() {
    return CliInstaller::assetName();
}

QList<pid_t> VantrelManager::parsePgrepOutput(const QString& text) {
    return ProcessSweep::parsePgrepOutput(text);
}

void VantrelManager::createInstallDirectory() {
    installer_->createInstallDirectory();
}

void VantrelManager::downloadAndRunCLI() {
    Console::log(QStringLiteral("🚀 downloadAndRunCLI() called"));
    outputHandler(QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
    killExistingProcesses();
    Console::log(QStringLiteral("📥 Downloading latest CLI version..."));
    outputHandler(QStringLiteral("📥 Downloading latest CLI version...\n"));
    installCLI();
}

void VantrelManager::installCLI() {
    installer_->installCLI();
}

void VantrelManager::runCLI() {
    runner_->runCLI();
}

void VantrelManager::runCLIInShell(const QString& shell) {
    runner_->runCLIInShell(shell);
}

void VantrelManager::killExistingProcesses() {
    setState(SupervisorState::of(SupervisorState::Phase::Sweeping));
    ProcessSweep(options_, outputHandler).run();
}

void VantrelManager::finishInstall(bool ok, const QString& reason, bool replaced) {
    // A check that brought nothing new must not restart the CLI the user is working with.
    const bool running = runner_->isRunning();
    const bool startedEarly = std::exchange(startedEarly_, false);
    const QFileInfo cli(cliPath());
    if (ok && replaced) {
        setBuild(CliMetadata::describe(CliMetadata::load(options_)));
        if (state_.notice == kRolledBack)
            setNotice({}, false);
    }
    if (!ok) {
        SupervisorState failed = SupervisorState::of(SupervisorState::Phase::Failed);
        failed.reason = reason;
        setState(failed);
        if (running) {
            outputHandler(QStringLiteral("⚠️ Keeping the running CLI instead\n"));
            setState(SupervisorState::of(SupervisorState::Phase::Running));
        } else if (cli.isFile() && cli.isExecutable()) {
            // Never leave the user without a CLI because the network was not there yet.
            outputHandler(QStringLiteral("⚠️ Starting the installed CLI instead\n"));
            QMetaObject::invokeMethod(runner_, &CliRunner::runCLI, Qt::QueuedConnection);
        }
    } else if (replaced && running && startedEarly) {
        // The user is already working with the old build.
        outputHandler(QStringLiteral("ℹ️ The new build runs from the next start\n"));
        setState(SupervisorState::of(SupervisorState::Phase::Running));
    } else if (replaced || !running) {
        QMetaObject::invokeMethod(runner_, &CliRunner::runCLI, Qt::QueuedConnection);
    } else {
        setState(SupervisorState::of(SupervisorState::Phase::Running));
    }
    Q_EMIT installFinished(ok, reason);
}

void VantrelManager::setState(SupervisorState state) {
    state.build = state_.build;
    state.notice = state_.notice;
    state.problem = state_.problem;
    if (state == state_)
        return;
    state_ = std::move(state);
    Q_EMIT stateChanged(state_);
}

void VantrelManager::setBuild(const QString& build) {
    if (build == state_.build)
        return;
    state_.build = build;
    Q_EMIT stateChanged(state_);
}

void VantrelManager::setNotice(const QString& notice, bool problem) {
    if (notice == state_.notice && problem == state_.problem)
        return;
    state_.notice = notice;
    state_.problem = problem;
    Q_EMIT stateChanged(state_);
}

void VantrelManager::startEarly() {
    const QFileInfo cli(cliPath());
    if (runner_->isRunning() || !cli.isFile() || !cli.isExecutable())
        return;
    startedEarly_ = true;
    outputHandler(QStringLiteral("⏳ The download is taking a while: starting the installed CLI "
                                 "now, the new build is installed in the background\n"));
    runner_->runCLI();
}

bool VantrelManager::rollBackIfNeeded(const CliEnding& ending) {
    if (!rollback_.rollBackIfFailed(ending))
        return false;
    setBuild(CliMetadata::describe(CliMetadata::load(options_)));
    setNotice(kRolledBack, true);
    Q_EMIT attentionNeeded(QStringLiteral("Vantrel CLI rolled back"),
                           QStringLiteral("The new build failed at its first start; the previous "
                                          "build runs again."));
    QMetaObject::invokeMethod(runner_, &CliRunner::runCLI, Qt::QueuedConnection);
    return true;
}

void VantrelManager::onCliEnded(const CliEnding& ending) {
    if (rollBackIfNeeded(ending))
        return;
    // Status 0 is the CLI choosing to end; a stop we asked for (cleanup, Quit) is ours.
    if (ending.requested || (ending.exitCode == 0 && ending.signal == 0))
        return;
    const std::optional<int> delay = restarts_.next(ending.ranMs);
    if (delay) {
        outputHandler(QStringLiteral("🔄 Restarting the CLI in %1 s...\n")
                          .arg(QString::number(*delay / 1000.0, 'g', 3)));
        restartTimer_.start(*delay);
        return;
    }
    const QString what = CliRunner::describe(ending).section(QLatin1Char(' '), 1);
    const QString notice =
        QStringLiteral("The CLI keeps failing and was not restarted (%1)").arg(what);
    outputHandler(QStringLiteral("🛑 ") + notice +
                  QStringLiteral(". Use Restart CLI to try again.\n"));
    Console::log(QStringLiteral("🛑 ") + notice);
    setNotice(notice, true);
    Q_EMIT attentionNeeded(
        QStringLiteral("Vantrel CLI stopped"),
        QStringLiteral("It ended %1 times in a row shortly after starting; last: %2.")
            .arg(options_.restartLimit)
            .arg(what));
}

void VantrelManager::cleanup() {
    Console::log(QStringLiteral("🧹 VantrelManager cleanup called"));
    restartTimer_.stop();
    outputHandler(QStringLiteral("🧹 Cleaning up CLI process...\n"));
    if (!runner_->hasSomethingToStop()) {
        Console::log(QStringLiteral("ℹ️ No running CLI process to clean up"));
        flushLog();
        return;
    }
    Console::log(QStringLiteral("🧹 Terminating running CLI process"));
    runner_->stop();
    Console::log(QStringLiteral("✅ CLI process cleanup completed"));
    flushLog();
}

void VantrelManager::restartCLI() {
    cleanup();
    if (restarts_.gaveUp())
        setNotice(QString(), false);
    restarts_.reset();
    runner_->runCLI();
}

void VantrelManager::flushLog() {
    log_->flush();
}
