#include "CliLifecycle.h"
#include "install/CliInstaller.h"
#include "output/Console.h"
#include "process/CliRunner.h"
#include "process/ProcessSweep.h"

#include <QFileInfo>
#include <QMetaEnum>

#include <algorithm>

namespace {
const QString kRolledBack =
    QStringLiteral("⚠️ The new build failed at its first start: the previous one runs instead");

QString stageName(CliLifecycle::Stage stage) {
    return QString::fromLatin1(QMetaEnum::fromType<CliLifecycle::Stage>().valueToKey(int(stage)));
}
} // namespace

CliLifecycle::CliLifecycle(const SupervisorOptions& options, CliRunner* runner,
                           CliInstaller* installer, OutputLog::Writer say, QObject* parent)
    : QObject(parent), options_(options), runner_(runner), installer_(installer),
      say_(std::move(say)), sweep_(new ProcessSweep(options_, Logger(say_), this)),
      restarts_(options_), rollback_(options_, installer->record(), Logger(say_)),
      installRetryDelayMs_(options_.installRetryFirstMs) {
    // After a crash the record may describe the build before; the build line must not.
    if (QFileInfo::exists(options_.cliPath()))
        state_.build = installer_->record().get().installed.describe();
    for (QTimer* timer : {&restartTimer_, &trialTimer_, &installRetryTimer_, &installNotifyTimer_})
        timer->setSingleShot(true);
    connect(&restartTimer_, &QTimer::timeout, this, [this] {
        if (stage_ == Stage::WaitingToRestart)
            startNow();
    });
    connect(&trialTimer_, &QTimer::timeout, this, [this] {
        if (stage_ != Stage::Running || !runIsTrial_)
            return;
        runIsTrial_ = false;
        rollback_.pass();
        Console::log(QStringLiteral("✅ The new build ran through its trial and is kept"));
    });
    connect(&installRetryTimer_, &QTimer::timeout, this, [this] {
        if (stage_ != Stage::WaitingForInstall)
            return;
        say_(QStringLiteral("🔄 Trying the CLI download again...\n"));
        download(false);
    });
    connect(&installNotifyTimer_, &QTimer::timeout, this, [this] {
        if (installNotified_ ||
            (stage_ != Stage::WaitingForInstall && stage_ != Stage::Downloading))
            return;
        installNotified_ = true;
        Q_EMIT attentionNeeded(QStringLiteral("Vantrel CLI not installed"),
                               QStringLiteral("The download keeps failing (%1). Halvane keeps "
                                              "trying, and as soon as the network is back.")
                                   .arg(installReason_));
    });
    connect(sweep_, &ProcessSweep::finished, this, &CliLifecycle::onSweepFinished);
    connect(runner_, &CliRunner::stateChanged, this, &CliLifecycle::setState);
    connect(runner_, &CliRunner::ended, this, &CliLifecycle::onCliEnded);
    connect(runner_, &CliRunner::stopped, this, &CliLifecycle::onStopped);
    connect(installer_, &CliInstaller::stateChanged, this, &CliLifecycle::setState);
    connect(installer_, &CliInstaller::finished, this, &CliLifecycle::onInstallFinished);
    connect(installer_, &CliInstaller::slow, this, &CliLifecycle::onDownloadSlow);
}

CliLifecycle::~CliLifecycle() = default;

void CliLifecycle::enter(Stage stage) {
    if (stage == stage_)
        return;
    Console::log(
        QStringLiteral("🔧 CLI life cycle: %1 → %2").arg(stageName(stage_), stageName(stage)));
    stage_ = stage;
    if (stage != Stage::WaitingToRestart)
        restartTimer_.stop();
    if (stage != Stage::WaitingForInstall)
        installRetryTimer_.stop();
    if (stage != Stage::Running)
        trialTimer_.stop();
    using Phase = SupervisorState::Phase;
    switch (stage) {
    case Stage::Sweeping:
        setState(SupervisorState::of(Phase::Sweeping));
        break;
    case Stage::Stopping:
    case Stage::ShuttingDown:
        setState(SupervisorState::of(Phase::Stopping));
        break;
    case Stage::WaitingToRestart: {
        // Keeps how the run ended beside the delay.
        SupervisorState waiting = state_;
        waiting.phase = Phase::Restarting;
        waiting.delayMs = restartDelayMs_;
        setState(waiting);
        break;
    }
    case Stage::Idle:
    case Stage::GivenUp:
    case Stage::Finished:
        if (state_.phase == Phase::Stopping || state_.phase == Phase::Restarting)
            setState(SupervisorState::of(Phase::Idle));
        break;
    default:
        break;
    }
    Q_EMIT stageChanged(stage_);
}

bool CliLifecycle::refusedWhileLeaving(const QString& request) {
    if (stage_ != Stage::ShuttingDown && stage_ != Stage::Finished)
        return false;
    say_(QStringLiteral("⚠️ %1 refused: the application is quitting\n").arg(request));
    return true;
}

void CliLifecycle::stopThen(After after) {
    afterStop_ = after;
    enter(after == After::Quit ? Stage::ShuttingDown : Stage::Stopping);
    runner_->stop();
}

void CliLifecycle::apply(After after) {
    switch (after) {
    case After::Idle:
        return enter(Stage::Idle);
    case After::Start:
        return startNow();
    case After::RestartLater:
        enter(Stage::WaitingToRestart);
        restartTimer_.start(restartDelayMs_);
        return;
    case After::GiveUp:
        return enter(Stage::GivenUp);
    case After::Quit:
        return finishCleanup();
    }
}

void CliLifecycle::startNow() {
    // A build staged while the last run went on is what this one runs.
    if (installer_->applyStaged())
        setBuild(installer_->record().get().installed.describe());
    if (!runner_->isRunnable()) {
        runner_->runCLI(); // says why not
        if (stage_ == Stage::Stopping || stage_ == Stage::WaitingToRestart)
            enter(Stage::Idle);
        return;
    }
    // Decided once per run: a build installed while this run goes on is not what runs.
    runIsTrial_ = rollback_.installedOnTrial();
    runner_->runCLI();
    if (!runner_->isRunning())
        return enter(Stage::Idle);
    enter(Stage::Running);
    if (runIsTrial_)
        trialTimer_.start(options_.rollbackWindowMs);
}

void CliLifecycle::sweep(bool thenDownload) {
    sweepThenDownload_ = thenDownload;
    enter(Stage::Sweeping);
    // The connection and TLS set-up overlap the sweep's wait.
    if (thenDownload)
        installer_->prepare();
    sweep_->start();
}

void CliLifecycle::killExistingProcesses() {
    if (refusedWhileLeaving(QStringLiteral("The stale-process sweep")))
        return;
    if (stage_ != Stage::Idle && stage_ != Stage::GivenUp) {
        Console::log(QStringLiteral("ℹ️ Not sweeping: the CLI's own run is under way"));
        return;
    }
    sweep(false);
}

void CliLifecycle::downloadAndRunCLI() {
    Console::log(QStringLiteral("🚀 downloadAndRunCLI() called"));
    if (refusedWhileLeaving(QStringLiteral("The CLI set-up")))
        return;
    if (stage_ != Stage::Idle && stage_ != Stage::GivenUp && stage_ != Stage::WaitingForInstall) {
        say_(QStringLiteral("ℹ️ The CLI set-up is already under way\n"));
        return;
    }
    say_(QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
    sweep(true);
}

void CliLifecycle::onSweepFinished() {
    if (stage_ == Stage::ShuttingDown)
        return stopForQuit(); // cleanup came during the sweep's wait
    if (stage_ != Stage::Sweeping)
        return;
    if (!sweepThenDownload_)
        return enter(Stage::Idle);
    Console::log(QStringLiteral("📥 Downloading latest CLI version..."));
    say_(QStringLiteral("📥 Downloading latest CLI version...\n"));
    enter(Stage::Downloading);
    download(false);
}

void CliLifecycle::download(bool userAsked) {
    if (refusedWhileLeaving(userAsked ? QStringLiteral("Update CLI")
                                      : QStringLiteral("The CLI download")))
        return;
    if (userAsked && installer_->isInstalling()) {
        say_(QStringLiteral("ℹ️ A CLI download is already in progress\n"));
        return;
    }
    if (stage_ == Stage::Idle || stage_ == Stage::WaitingForInstall)
        enter(Stage::Downloading);
    // A check leaves the running CLI's file alone: what it finds waits for the next start.
    // Update CLI switches now.
    const bool stage = !userAsked && runner_->isRunning();
    installer_->installCLI(userAsked, rollback_.refusedThisSession(),
                           stage ? CliInstaller::Mode::Stage : CliInstaller::Mode::Install);
}

void CliLifecycle::runCLI() {
    if (refusedWhileLeaving(QStringLiteral("Starting the CLI")))
        return;
    switch (stage_) {
    case Stage::Sweeping:
        say_(QStringLiteral("ℹ️ The CLI starts once the stale processes are stopped\n"));
        return;
    case Stage::Stopping:
        afterStop_ = After::Start;
        return;
    case Stage::Running:
        if (!runner_->isRunnable())
            return runner_->runCLI(); // says why, and leaves the running one alone
        return stopThen(After::Start);
    default:
        if (runner_->hasSomethingToStop())
            return stopThen(After::Start);
        return startNow();
    }
}

void CliLifecycle::restartCLI() {
    if (refusedWhileLeaving(QStringLiteral("Restart CLI")))
        return;
    if (stage_ == Stage::Sweeping || (stage_ == Stage::Downloading && !runner_->isRunnable())) {
        say_(QStringLiteral("ℹ️ The CLI starts once its set-up is done\n"));
        return;
    }
    clearGiveUp();
    restarts_.reset();
    if (stage_ == Stage::Stopping) {
        afterStop_ = After::Start; // a second click joins the first
        return;
    }
    say_(QStringLiteral("🔄 Restarting the CLI...\n"));
    if (runner_->hasSomethingToStop())
        return stopThen(After::Start);
    startNow();
}

void CliLifecycle::onDownloadSlow() {
    if (stage_ != Stage::Downloading || !runner_->isRunnable())
        return;
    startedEarly_ = true;
    installer_->stageWhenVerified();
    say_(QStringLiteral("⏳ The download is taking a while: starting the installed CLI now, the new "
                        "build is installed in the background\n"));
    startNow();
}

void CliLifecycle::onInstallFinished(const InstallResult& result) {
    const bool ok = result.ok();
    const QString& reason = result.reason;
    const bool replaced = result.outcome == InstallResult::Outcome::Installed;
    const bool staged = result.outcome == InstallResult::Outcome::Staged;
    const bool startedEarly = std::exchange(startedEarly_, false);
    if (stage_ == Stage::ShuttingDown || stage_ == Stage::Finished)
        return void(Q_EMIT installFinished(ok, reason));
    if (ok) {
        clearInstallProblem();
        if (replaced) {
            setBuild(installer_->record().get().installed.describe());
            if (state_.notice == kRolledBack)
                setNotice({}, false);
        }
        // A build that installs, or the word that the one in place is current, is a fresh start.
        clearGiveUp();
        restarts_.reset();
    } else {
        SupervisorState failed = SupervisorState::of(SupervisorState::Phase::Failed);
        failed.reason = reason;
        setState(failed);
    }
    switch (stage_) {
    case Stage::Running:
        if (!ok) {
            say_(QStringLiteral("⚠️ Keeping the running CLI instead\n"));
            setState(SupervisorState::of(SupervisorState::Phase::Running));
        } else if (staged || (replaced && startedEarly)) {
            // The user is already working with the old build.
            say_(QStringLiteral("ℹ️ The new build runs from the next start\n"));
            setState(SupervisorState::of(SupervisorState::Phase::Running));
        } else if (replaced) {
            say_(QStringLiteral("🔄 Restarting the CLI on the new build...\n"));
            stopThen(After::Start);
        } else {
            setState(SupervisorState::of(SupervisorState::Phase::Running));
        }
        break;
    case Stage::Stopping:
        if (ok && replaced)
            afterStop_ = After::Start;
        break;
    case Stage::WaitingToRestart:
        // A new build is a fresh start: it need not sit out the delay of the old one's crash.
        if (ok && replaced)
            startNow();
        break;
    case Stage::Sweeping:
        break; // the pending start picks up what is installed
    case Stage::GivenUp:
        if (ok)
            startNow();
        break;
    default: // Idle, Downloading, WaitingForInstall
        if (ok) {
            startNow();
        } else if (runner_->isRunnable()) {
            // Never leave the user without a CLI because the network was not there yet.
            say_(QStringLiteral("⚠️ Starting the installed CLI instead\n"));
            startNow();
        } else {
            retryInstallLater(reason);
        }
        break;
    }
    Q_EMIT installFinished(ok, reason);
}

void CliLifecycle::retryInstallLater(const QString& reason) {
    installReason_ = reason;
    const int delay = installRetryDelayMs_;
    installRetryDelayMs_ = std::min(installRetryDelayMs_ * 2, options_.installRetryLongestMs);
    setNotice(QStringLiteral("No CLI is installed yet: %1. Trying again in %2 s, and as soon as "
                             "the network is back.")
                  .arg(reason, humanSeconds(delay)),
              true);
    say_(QStringLiteral("🔄 No CLI to start: trying the download again in %1 s\n")
             .arg(humanSeconds(delay)));
    enter(Stage::WaitingForInstall);
    installRetryTimer_.start(delay);
    if (!installNotifyTimer_.isActive() && !installNotified_)
        installNotifyTimer_.start(options_.installNotifyMs);
}

void CliLifecycle::clearInstallProblem() {
    installRetryTimer_.stop();
    installNotifyTimer_.stop();
    installNotified_ = false;
    installRetryDelayMs_ = options_.installRetryFirstMs;
    if (!installReason_.isEmpty())
        setNotice({}, false);
    installReason_.clear();
}

void CliLifecycle::networkReachable() {
    if (stage_ != Stage::WaitingForInstall)
        return;
    say_(QStringLiteral("🔄 The network is back: trying the CLI download again\n"));
    download(false);
}

void CliLifecycle::onCliEnded(const CliEnding& ending) {
    // Ends we asked for are ours: the stop's own report says what comes next.
    if (ending.requested || stage_ != Stage::Running)
        return;
    trialTimer_.stop();
    After next = After::Idle;
    if (runIsTrial_ && rollback_.rollBackIfFailed(ending)) {
        runIsTrial_ = false;
        setBuild(installer_->record().get().installed.describe());
        setNotice(kRolledBack, true);
        Q_EMIT attentionNeeded(QStringLiteral("Vantrel CLI rolled back"),
                               QStringLiteral("The new build failed at its first start; the "
                                              "previous build runs again."));
        next = After::Start;
    } else if (ending.exitCode != 0 || ending.signal != 0) {
        // Status 0 is the CLI choosing to end.
        if (const std::optional<int> delay = restarts_.next(ending.ranMs)) {
            restartDelayMs_ = *delay;
            say_(QStringLiteral("🔄 Restarting the CLI in %1 s...\n").arg(humanSeconds(*delay)));
            next = After::RestartLater;
        } else {
            giveUp(ending);
            next = After::GiveUp;
        }
    }
    // What the ended run left behind goes before anything new starts.
    if (runner_->hasSomethingToStop()) {
        say_(QStringLiteral("🧹 Stopping what the ended CLI left running...\n"));
        return stopThen(next);
    }
    apply(next);
}

void CliLifecycle::onStopped() {
    if (stage_ == Stage::Stopping || stage_ == Stage::ShuttingDown)
        apply(std::exchange(afterStop_, After::Idle));
}

void CliLifecycle::giveUp(const CliEnding& ending) {
    const QString notice =
        QStringLiteral("The CLI keeps failing and was not restarted (it %1)").arg(ending.cause());
    say_(QStringLiteral("🛑 ") + notice + QStringLiteral(". Use Restart CLI to try again.\n"));
    Console::log(QStringLiteral("🛑 ") + notice);
    giveUpNotice_ = notice;
    setNotice(notice, true);
    Q_EMIT attentionNeeded(QStringLiteral("Vantrel CLI stopped"),
                           QStringLiteral("It ended %1 times in a row shortly after starting; "
                                          "last: it %2.")
                               .arg(options_.restartLimit)
                               .arg(ending.cause()));
}

void CliLifecycle::clearGiveUp() {
    if (!giveUpNotice_.isEmpty() && state_.notice == giveUpNotice_)
        setNotice({}, false);
    giveUpNotice_.clear();
}

void CliLifecycle::cleanup() {
    Console::log(QStringLiteral("🧹 VantrelManager cleanup called"));
    say_(QStringLiteral("🧹 Cleaning up CLI process...\n"));
    for (QTimer* timer : {&restartTimer_, &trialTimer_, &installRetryTimer_, &installNotifyTimer_})
        timer->stop();
    installer_->cancel();
    switch (stage_) {
    case Stage::ShuttingDown:
        Console::log(QStringLiteral("ℹ️ The CLI is already being stopped"));
        return;
    case Stage::Sweeping:
        // What the sweep signalled still gets its SIGKILL: the stop follows the sweep's end.
        Console::log(QStringLiteral("🧹 Finishing the stale-process sweep first"));
        return enter(Stage::ShuttingDown);
    case Stage::Stopping:
        // The stop under way is the one cleanup needs; what was to follow it is dropped.
        Console::log(QStringLiteral("🧹 Terminating running CLI process"));
        afterStop_ = After::Quit;
        return enter(Stage::ShuttingDown);
    default:
        break;
    }
    stopForQuit();
}

void CliLifecycle::stopForQuit() {
    if (runner_->hasSomethingToStop()) {
        Console::log(QStringLiteral("🧹 Terminating running CLI process"));
        if (stage_ == Stage::Finished) {
            // The bounded wait on the way out ran out: nothing may outlive the application.
            runner_->killNow();
        } else {
            return stopThen(After::Quit);
        }
    } else {
        Console::log(QStringLiteral("ℹ️ No running CLI process to clean up"));
    }
    enter(Stage::Finished);
    QMetaObject::invokeMethod(this, &CliLifecycle::cleanupFinished, Qt::QueuedConnection);
}

void CliLifecycle::finishCleanup() {
    Console::log(QStringLiteral("✅ CLI process cleanup completed"));
    enter(Stage::Finished);
    Q_EMIT cleanupFinished();
}

void CliLifecycle::setState(SupervisorState state) {
    state.build = state_.build;
    state.notice = state_.notice;
    state.problem = state_.problem;
    if (state == state_)
        return;
    state_ = std::move(state);
    Q_EMIT stateChanged(state_);
}

void CliLifecycle::setBuild(const QString& build) {
    if (build == state_.build)
        return;
    state_.build = build;
    Q_EMIT stateChanged(state_);
}

void CliLifecycle::setNotice(const QString& notice, bool problem) {
    if (notice == state_.notice && problem == state_.problem)
        return;
    state_.notice = notice;
    state_.problem = problem;
    Q_EMIT stateChanged(state_);
}
