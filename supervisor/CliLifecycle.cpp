#include "CliLifecycle.h"
#include "install/CliInstaller.h"
#include "process/CliRunner.h"
#include "process/ProcessSweep.h"

#include <QFileInfo>
#include <QMetaEnum>

namespace {
const QString kRolledBack =
    QStringLiteral("⚠️ The new build failed at its first start: the previous one runs instead");

template <typename E> QString nameOf(E value) {
    return QString::fromLatin1(QMetaEnum::fromType<E>().valueToKey(int(value)));
}
} // namespace

CliLifecycle::CliLifecycle(const SupervisorOptions& options, CliRunner* runner,
                           CliInstaller* installer, OutputLog::Writer say, QObject* parent)
    : QObject(parent), options_(options), runner_(runner), installer_(installer), log_(say),
      sweep_(new ProcessSweep(options_, Logger(say), this)), restarts_(options_),
      rollback_(options_, installer->record(), log_),
      installRetryDelayMs_(options_.installRetryFirstMs) {
    const std::pair<QTimer*, Input> timers[] = {{&restartTimer_, Input::RestartDue},
                                                {&trialTimer_, Input::TrialPassed},
                                                {&installRetryTimer_, Input::RetryDue},
                                                {&installNotifyTimer_, Input::NotifyDue}};
    for (auto [timer, input] : timers) {
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, [this, input] { handle(input); });
    }
    connect(sweep_, &ProcessSweep::finished, this, [this] { handle(Input::SweepDone); });
    connect(runner_, &CliRunner::stateChanged, this, &CliLifecycle::onPartState);
    connect(runner_, &CliRunner::ended, this, &CliLifecycle::onCliEnded);
    connect(runner_, &CliRunner::stopped, this, [this] { handle(Input::Stopped); });
    connect(installer_, &CliInstaller::stateChanged, this, &CliLifecycle::onPartState);
    connect(installer_, &CliInstaller::finished, this, &CliLifecycle::onInstallFinished);
    connect(installer_, &CliInstaller::slow, this, [this] { handle(Input::DownloadSlow); });
    publish();
}

CliLifecycle::~CliLifecycle() = default;

// The one function that consults the table.
void CliLifecycle::handle(Input input) {
    const Cell c = cell(stage_, input);
    switch (c.outcome) {
    case Outcome::Apply:
        return apply(c.step, input);
    case Outcome::Hold:
        return hold(input);
    case Outcome::Merge:
        if (input == Input::Cleanup) {
            log_.trace(QStringLiteral("🧹 VantrelManager cleanup called"));
            log_.info(QStringLiteral("🧹 Cleaning up CLI process..."));
            log_.trace(QStringLiteral("ℹ️ The CLI is already being stopped"));
            ++data_.cleanups; // answered when the stop under way ends
        } else if (input == Input::Update || input == Input::Install) {
            download(true, input == Input::Update); // joins the download in progress
        } else {
            log_.trace(QStringLiteral("ℹ️ %1 joins the one under way").arg(nameOf(input)));
        }
        return;
    case Outcome::Refuse:
        switch (c.why) {
        case Why::Quitting:
            return log_.warning(QStringLiteral("⚠️ %1 refused: the application is quitting")
                                    .arg(requestName(input)));
        case Why::SetUpUnderWay:
            return log_.info(QStringLiteral("ℹ️ The CLI set-up is already under way"));
        case Why::RunUnderWay:
            return log_.info(QStringLiteral("ℹ️ Not sweeping: the CLI's own run is under way"));
        case Why::AfterSetUp:
            return log_.info(QStringLiteral("ℹ️ The CLI starts once its set-up is done"));
        case Why::None:
            return;
        }
        return;
    case Outcome::Ignore:
        return;
    }
}

QString CliLifecycle::requestName(Input input) {
    switch (input) {
    case Input::SetUp:
        return QStringLiteral("The CLI set-up");
    case Input::Sweep:
        return QStringLiteral("The stale-process sweep");
    case Input::Update:
        return QStringLiteral("Update CLI");
    case Input::Run:
        return QStringLiteral("Starting the CLI");
    case Input::Restart:
        return QStringLiteral("Restart CLI");
    case Input::Check:
        return QStringLiteral("The check for a new CLI build");
    default:
        return QStringLiteral("The CLI download");
    }
}

void CliLifecycle::apply(Step step, Input input) {
    switch (step) {
    case Step::None:
        return;
    case Step::SetUp:
        log_.progress(QStringLiteral("🚀 Starting Vantrel CLI setup..."));
        freshStart(); // the set-up ends in a start, as Run CLI does
        return sweep(Then::Download);
    case Step::SweepOnly:
        return sweep(stage_ == Stage::GivenUp ? Then::GivenUp : Then::Idle);
    case Step::Check:
        if (data_.trial && input == Input::Check) // the periodic check waits for the verdict
            return hold(input);
        return download(false, false);
    case Step::Update:
        if ((stage_ == Stage::Idle || stage_ == Stage::WaitingForInstall) &&
            !installer_->isInstalling())
            enter(Stage::Downloading);
        return download(true, input == Input::Update);
    case Step::Retry:
        log_.progress(input == Input::NetworkBack
                          ? QStringLiteral("🔄 The network is back: trying the CLI download again")
                          : QStringLiteral("🔄 Trying the CLI download again..."));
        enter(Stage::Downloading);
        return download(true, false);
    case Step::Start:
    case Step::Restart:
        if (stage_ == Stage::Running && !runner_->isRunnable())
            return runner_->runCLI(); // says why, and leaves the running one alone
        return startFresh(step == Step::Restart);
    case Step::Quit:
        return quit();
    case Step::AfterSweep:
        if (stage_ == Stage::ShuttingDown)
            return stopForQuit(data_.cleanups); // cleanup came during the sweep's wait
        return after(data_.then);
    case Step::StartEarly:
        if (!runner_->isRunnable())
            return;
        downloadSwitches_ = false; // the user is about to work with the installed build
        log_.progress(QStringLiteral("⏳ The download is taking a while: starting the installed "
                                     "CLI now, the new build is installed in the background"));
        return startNow();
    case Step::TakeBuild:
        return takeBuild();
    case Step::Current:
        clearInstallProblem();
        if (!downloadSwitches_ || stage_ == Stage::Running)
            return publish();
        // The word that the build in place is current is a fresh start.
        freshStart();
        return startNow();
    case Step::NoBuild:
        if (stage_ == Stage::Running) {
            if (downloadSwitches_)
                log_.warning(QStringLiteral("⚠️ Keeping the running CLI instead"));
            return publish();
        }
        if (stage_ == Stage::Idle || stage_ == Stage::GivenUp)
            return publish(); // the failure is shown; nothing starts on it
        if (runner_->isRunnable()) {
            // Never leave the user without a CLI because the network was not there yet.
            log_.warning(QStringLiteral("⚠️ Starting the installed CLI instead"));
            return startNow();
        }
        return retryInstallLater(facts_.failure);
    case Step::Ended:
        return cliEnded();
    case Step::AfterStop:
        return after(data_.then);
    case Step::StartDue:
        return startNow();
    case Step::PassTrial: {
        data_.trial = false;
        rollback_.pass();
        log_.trace(QStringLiteral("✅ The new build ran through its trial and is kept"));
        if (std::exchange(data_.downloadWaits, false))
            handle(data_.waiting);
        return;
    }
    case Step::Notify:
        return Q_EMIT attentionNeeded(
            QStringLiteral("Vantrel CLI not installed"),
            QStringLiteral("The download keeps failing (%1). Halvane keeps trying, and as soon as "
                           "the network is back.")
                .arg(facts_.failure));
    }
}

// Held until the stop, sweep or trial in progress ends: a start becomes what follows it, a
// download waits for it; the same again merges.
void CliLifecycle::hold(Input input) {
    switch (input) {
    case Input::Run:
    case Input::Restart:
        if (data_.then == Then::Start || data_.then == Then::Download)
            return; // already to follow
        // As in the stage the stop leads to: a user's start clears a give-up.
        freshStart();
        data_.then = Then::Start;
        return;
    case Input::Check:
    case Input::Update:
    case Input::Install:
        if (stage_ == Stage::Sweeping && data_.then == Then::Download)
            return; // the set-up downloads next anyway
        // A download that switches outranks a check.
        if (!data_.downloadWaits || data_.waiting == Input::Check)
            data_.waiting = input;
        data_.downloadWaits = true;
        return;
    default: // a new build: one that switches starts once the stop or sweep ends
        if (downloadSwitches_ && data_.then != Then::Download) {
            freshStart();
            data_.then = Then::Start;
        }
        return;
    }
}

void CliLifecycle::enter(Stage stage) {
    enter(stage, StageData());
}

void CliLifecycle::enter(Stage stage, StageData data) {
    data_ = data;
    if (stage != stage_) {
        log_.trace(QStringLiteral("🔧 CLI life cycle: %1 → %2").arg(nameOf(stage_), nameOf(stage)));
        stage_ = stage;
        if (stage != Stage::WaitingToRestart)
            restartTimer_.stop();
        if (stage != Stage::WaitingForInstall)
            installRetryTimer_.stop();
        if (stage != Stage::Running)
            trialTimer_.stop();
        Q_EMIT stageChanged(stage_);
    }
    publish();
}

void CliLifecycle::stopThen(Then then) {
    StageData data;
    data.then = then;
    data.cleanups = then == Then::Quit ? 1 : 0;
    // A download waiting for a trial waits for the stop that ends it too.
    data.downloadWaits = data_.downloadWaits;
    data.waiting = data_.waiting;
    enter(then == Then::Quit ? Stage::ShuttingDown : Stage::Stopping, data);
    runner_->stop();
}

void CliLifecycle::after(Then then) {
    const StageData held = data_;
    switch (then) {
    case Then::Idle:
        enter(Stage::Idle);
        break;
    case Then::GivenUp:
    case Then::GiveUp:
        enter(Stage::GivenUp);
        break;
    case Then::Start:
        startNow();
        break;
    case Then::RestartLater:
        enter(Stage::WaitingToRestart);
        restartTimer_.start(facts_.delayMs);
        break;
    case Then::Download:
        log_.progress(QStringLiteral("📥 Downloading latest CLI version..."));
        enter(Stage::Downloading);
        download(true, false);
        break;
    case Then::Quit:
        return finishCleanup(held.cleanups);
    }
    if (held.downloadWaits)
        handle(held.waiting);
}

void CliLifecycle::startFresh(bool sayRestart) {
    freshStart();
    if (sayRestart)
        log_.progress(QStringLiteral("🔄 Restarting the CLI..."));
    if (runner_->hasSomethingToStop())
        return stopThen(Then::Start);
    startNow();
}

void CliLifecycle::startNow() {
    // A build staged while the last run went on is what this one runs.
    installer_->applyStaged();
    if (!runner_->isRunnable()) {
        runner_->runCLI(); // says why not
        if (stage_ != Stage::WaitingForInstall)
            enter(Stage::Idle);
        return;
    }
    // Decided once per run: a build installed while this run goes on is not what runs.
    StageData run;
    run.trial = rollback_.installedOnTrial();
    facts_.ending.clear();
    facts_.failure.clear();
    // A download under way never replaces the file a running CLI was started from: what it
    // brings waits beside it.
    if (installer_->isInstalling())
        installer_->stageWhenVerified();
    runner_->runCLI();
    if (!runner_->isRunning())
        return enter(Stage::Idle);
    facts_.runningSince = QDateTime::currentDateTime();
    enter(Stage::Running, run);
    if (run.trial)
        trialTimer_.start(options_.rollbackWindowMs);
}

void CliLifecycle::sweep(Then then) {
    StageData data;
    data.then = then;
    enter(Stage::Sweeping, data);
    // The connection and TLS set-up overlap the sweep's wait.
    if (then == Then::Download)
        installer_->prepare();
    sweep_->start();
}

void CliLifecycle::download(bool switches, bool userAsked) {
    if (installer_->isInstalling()) {
        // The same request, pending: a user's Update makes it one that switches.
        downloadSwitches_ = downloadSwitches_ || switches;
        if (userAsked)
            log_.info(QStringLiteral("ℹ️ A CLI download is already in progress"));
        return;
    }
    downloadSwitches_ = switches;
    facts_.received = 0;
    facts_.total = -1;
    facts_.installing = false;
    publish();
    // A check only stages what it finds, CLI running or not: the next start puts it in place.
    installer_->installCLI(userAsked, rollback_.refusedThisSession(),
                           switches ? CliInstaller::Mode::Install : CliInstaller::Mode::Stage);
}

// The download's result as an input of the table.
void CliLifecycle::onInstallFinished(const InstallResult& result) {
    using Outcome = InstallResult::Outcome;
    const std::pair<Outcome, Input> inputs[] = {{Outcome::Installed, Input::Installed},
                                                {Outcome::Staged, Input::Staged},
                                                {Outcome::Unchanged, Input::Unchanged},
                                                {Outcome::Failed, Input::Failed}};
    facts_.received = -1;
    facts_.installing = false;
    // A check's outcome is its result alone; a download that was to bring a CLI is what the
    // state shows.
    if (downloadSwitches_)
        facts_.failure = result.ok() ? QString() : result.reason;
    facts_.lastCheck = QDateTime::currentDateTime();
    facts_.lastCheckResult = result.outcome == InstallResult::Outcome::Failed ? result.reason
                             : result.outcome == InstallResult::Outcome::Installed
                                 ? QStringLiteral("new build installed")
                             : installer_->stagedBuild().isEmpty()
                                 ? QStringLiteral("up to date")
                                 : QStringLiteral("new build ready");
    for (auto [outcome, input] : inputs) {
        if (outcome == result.outcome)
            handle(input);
    }
    if (!installer_->isInstalling())
        downloadSwitches_ = false;
    publish();
    Q_EMIT installFinished(result.ok(), result.reason, result.retryAfter);
}

void CliLifecycle::takeBuild() {
    clearInstallProblem();
    if (notice_.kind == Notice::Kind::RolledBack)
        setNotice({});
    const bool switches = downloadSwitches_;
    if (switches || stage_ == Stage::WaitingToRestart) {
        // A new build is a fresh start: it need not sit out the delay of the old one's crash.
        freshStart();
    }
    switch (stage_) {
    case Stage::Running:
        if (switches) {
            log_.progress(QStringLiteral("🔄 Restarting the CLI on the new build..."));
            return stopThen(Then::Start);
        }
        // The user is already working with the old build; the installer said the new one is
        // ready.
        return publish();
    case Stage::WaitingToRestart:
        return startNow();
    default: // Idle, Downloading, WaitingForInstall, GivenUp
        if (switches)
            return startNow();
        return publish(); // the next start takes it
    }
}

void CliLifecycle::onPartState(const SupervisorState& part) {
    using Phase = SupervisorState::Phase;
    switch (part.phase) {
    case Phase::Downloading:
        facts_.received = part.received;
        facts_.total = part.total;
        break;
    case Phase::Installing:
        facts_.installing = true;
        break;
    case Phase::Exited:
        facts_.ending = part.ending;
        break;
    case Phase::Failed:
        facts_.failure = part.reason;
        break;
    default:
        return;
    }
    publish();
}

void CliLifecycle::onCliEnded(const CliEnding& ending) {
    // Ends we asked for are ours: the stop's own report says what comes next.
    if (ending.requested)
        return;
    lastEnding_ = ending;
    handle(Input::CliEnded);
}

void CliLifecycle::cliEnded() {
    const CliEnding& ending = lastEnding_;
    trialTimer_.stop();
    Then next = Then::Idle;
    if (data_.trial && rollback_.rollBackIfFailed(ending)) {
        data_.trial = false;
        setNotice({Notice::Kind::RolledBack, kRolledBack});
        Q_EMIT attentionNeeded(QStringLiteral("Vantrel CLI rolled back"),
                               QStringLiteral("The new build failed at its first start; the "
                                              "previous build runs again."));
        next = Then::Start;
    } else if (ending.exitCode != 0 || ending.signal != 0) {
        // Status 0 is the CLI choosing to end.
        if (const std::optional<int> delay = restarts_.next(ending.ranMs)) {
            facts_.delayMs = *delay;
            log_.progress(
                QStringLiteral("🔄 Restarting the CLI in %1 s...").arg(humanSeconds(*delay)));
            next = Then::RestartLater;
        } else {
            giveUp(ending);
            next = Then::GiveUp;
        }
    }
    // What the ended run left behind goes before anything new starts.
    if (runner_->hasSomethingToStop()) {
        log_.progress(QStringLiteral("🧹 Stopping what the ended CLI left running..."));
        return stopThen(next);
    }
    after(next);
}

void CliLifecycle::giveUp(const CliEnding& ending) {
    const QString notice =
        QStringLiteral("The CLI keeps failing and was not restarted (it %1)").arg(ending.cause());
    log_.error(QStringLiteral("🛑 ") + notice +
               QStringLiteral(". Use Restart CLI to try again."));
    setNotice({Notice::Kind::GaveUp, notice});
    Q_EMIT attentionNeeded(QStringLiteral("Vantrel CLI stopped"),
                           QStringLiteral("It ended %1 times in a row shortly after starting; "
                                          "last: it %2.")
                               .arg(options_.restartLimit)
                               .arg(ending.cause()));
}

// A start the user or a new build asks for owes nothing to earlier crashes: neither their
// give-up nor their count.
void CliLifecycle::freshStart() {
    restarts_.reset();
    if (notice_.kind == Notice::Kind::GaveUp)
        setNotice({});
}

void CliLifecycle::retryInstallLater(const QString& reason) {
    const int delay = installRetryDelayMs_;
    installRetryDelayMs_ = std::min(installRetryDelayMs_ * 2, options_.installRetryLongestMs);
    // Told once per stretch of failures: the first one arms the word to the user.
    if (notice_.kind != Notice::Kind::NoCli)
        installNotifyTimer_.start(options_.installNotifyMs);
    setNotice({Notice::Kind::NoCli,
               QStringLiteral("No CLI is installed yet: %1. Trying again in %2 s, and as soon as "
                              "the network is back.")
                   .arg(reason, humanSeconds(delay))});
    log_.progress(QStringLiteral("🔄 No CLI to start: trying the download again in %1 s")
                      .arg(humanSeconds(delay)));
    enter(Stage::WaitingForInstall);
    installRetryTimer_.start(delay);
}

void CliLifecycle::clearInstallProblem() {
    installRetryTimer_.stop();
    installNotifyTimer_.stop();
    installRetryDelayMs_ = options_.installRetryFirstMs;
    if (notice_.kind == Notice::Kind::NoCli)
        setNotice({});
}

void CliLifecycle::quit() {
    log_.trace(QStringLiteral("🧹 VantrelManager cleanup called"));
    log_.info(QStringLiteral("🧹 Cleaning up CLI process..."));
    for (QTimer* timer : {&restartTimer_, &trialTimer_, &installRetryTimer_, &installNotifyTimer_})
        timer->stop();
    installer_->cancel();
    facts_.received = -1;
    StageData leaving;
    leaving.then = Then::Quit;
    leaving.cleanups = 1;
    switch (stage_) {
    case Stage::Sweeping:
        // What the sweep signalled still gets its SIGKILL: the stop follows the sweep's end.
        log_.trace(QStringLiteral("🧹 Finishing the stale-process sweep first"));
        return enter(Stage::ShuttingDown, leaving);
    case Stage::Stopping:
        // The stop under way is the one cleanup needs; what was to follow it is dropped.
        log_.trace(QStringLiteral("🧹 Terminating running CLI process"));
        return enter(Stage::ShuttingDown, leaving);
    default:
        return stopForQuit(1);
    }
}

void CliLifecycle::stopForQuit(int cleanups) {
    if (runner_->hasSomethingToStop()) {
        log_.trace(QStringLiteral("🧹 Terminating running CLI process"));
        if (stage_ != Stage::Finished) {
            stopThen(Then::Quit);
            data_.cleanups = cleanups;
            return;
        }
        // The bounded wait on the way out ran out: nothing may outlive the application.
        runner_->killNow();
    } else {
        log_.trace(QStringLiteral("ℹ️ No running CLI process to clean up"));
    }
    enter(Stage::Finished);
    for (int i = 0; i < cleanups; ++i)
        QMetaObject::invokeMethod(this, &CliLifecycle::cleanupFinished, Qt::QueuedConnection);
}

void CliLifecycle::finishCleanup(int cleanups) {
    log_.trace(QStringLiteral("✅ CLI process cleanup completed"));
    enter(Stage::Finished);
    for (int i = 0; i < cleanups; ++i)
        Q_EMIT cleanupFinished();
}

void CliLifecycle::setNotice(Notice notice) {
    notice_ = std::move(notice);
    publish();
}

void CliLifecycle::publish() {
    using Phase = SupervisorState::Phase;
    SupervisorState state;
    switch (stage_) {
    case Stage::Sweeping:
        state.phase = Phase::Sweeping;
        break;
    case Stage::Stopping:
    case Stage::ShuttingDown:
        state.phase = Phase::Stopping;
        break;
    case Stage::WaitingToRestart:
        state.phase = Phase::Restarting;
        state.ending = facts_.ending;
        state.delayMs = facts_.delayMs;
        break;
    case Stage::Running:
        state.phase = Phase::Running;
        state.runningSince = facts_.runningSince;
        break;
    case Stage::Finished:
        break;
    default: // Idle, Downloading, WaitingForInstall, GivenUp: how the last attempt ended
        if (!facts_.failure.isEmpty()) {
            state.phase = Phase::Failed;
            state.reason = facts_.failure;
        } else if (!facts_.ending.isEmpty()) {
            state.phase = Phase::Exited;
            state.ending = facts_.ending;
        }
        break;
    }
    // A download that brings the CLI shows where nothing is being stopped; a check stays quiet
    // behind what the CLI is doing.
    if (facts_.received >= 0 && downloadSwitches_ && state.phase != Phase::Sweeping &&
        state.phase != Phase::Stopping && state.phase != Phase::Restarting) {
        state.phase = facts_.installing ? Phase::Installing : Phase::Downloading;
        state.received = facts_.installing ? 0 : facts_.received;
        state.total = facts_.installing ? -1 : facts_.total;
        state.reason.clear();
        state.ending.clear();
    }
    // The record's build, once its file is there: a record that outlived its file names
    // nothing that runs.
    if (QFileInfo::exists(options_.cliPath()))
        state.build = installer_->record().get().installed.describe();
    state.stagedBuild = installer_->stagedBuild().describe();
    state.lastCheck = facts_.lastCheck;
    state.lastCheckResult = facts_.lastCheckResult;
    state.notice = notice_.text;
    state.problem = notice_.kind != Notice::Kind::None;
    if (state == state_)
        return;
    state_ = std::move(state);
    Q_EMIT stateChanged(state_);
}
