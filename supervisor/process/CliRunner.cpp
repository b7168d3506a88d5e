#include "process/CliRunner.h"
#include "process/ChildReaper.h"
#include "process/EmergencyStop.h"
#include "process/ProcessGroup.h"
#include "process/ProcessWaiter.h"

#include <QFileInfo>
#include <QProcessEnvironment>

#include <csignal>

namespace {
QProcessEnvironment colourEnvironment(QProcessEnvironment environment) {
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    environment.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR_FORCE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("TERM_PROGRAM"), QStringLiteral("Vantrel Mac"));
    environment.remove(QStringLiteral("NO_COLOR"));
    environment.remove(QStringLiteral("ANSI_COLORS_DISABLED"));
    environment.remove(QString::fromLatin1(ProcessGroup::kNotCliName));
    return environment;
}

} // namespace

CliRunner::CliRunner(const SupervisorOptions& options, OutputLog* log, QObject* parent)
    : QObject(parent), options_(options), output_(log), log_(log->writer()),
      waiter_(new ProcessWaiter(options.kernelProcessEnds, this)) {
    new ChildReaper(&CliProcess::liveShells, log_, this);
    connect(waiter_, &ProcessWaiter::finished, this, &CliRunner::onWaitOver);
}

// Reader threads end with their processes, before the log they write into.
CliRunner::~CliRunner() {
    qDeleteAll(findChildren<CliProcess*>(Qt::FindDirectChildrenOnly));
    for (pid_t group : std::as_const(ownedGroups_))
        EmergencyStop::untrack(-group);
}

bool CliRunner::isRunning() const {
    return currentProcess_ && currentProcess_->state() != QProcess::NotRunning;
}

bool CliRunner::isRunnable() const {
    const QFileInfo file(options_.cliPath());
    return file.isFile() && file.isExecutable();
}

void CliRunner::runCLI() {
    const QString path = options_.cliPath();
    if (!isRunnable()) {
        log_.error(QStringLiteral("❌ CLI not found or not executable at ") + path);
        return;
    }
    if (isRunning() || stopping_) {
        log_.trace(
            QStringLiteral("⚠️ A CLI is still running or stopping; not starting another"));
        return;
    }
    runStarted_.start();
    runCLIInShell(QStringLiteral("zsh"));
}

void CliRunner::runCLIInShell(const QString& shell) {
    const bool zsh = shell == QLatin1String("zsh");
    auto* process = new CliProcess(shell, this);
    process->setProgram(zsh ? options_.zshPath : options_.bashPath);
    process->setArguments(CliProcess::loginShellArguments(options_.cliPath()));
    process->setProcessEnvironment(colourEnvironment(options_.cliEnvironment));
    log_.progress(QStringLiteral("▶️ Starting vantrel CLI in ") + shell +
                  QStringLiteral(" with color support..."));
    connect(process, &QProcess::finished, this, [this, process] {
        // The exit step follows the last output the shell wrote, on a later turn of the
        // event loop; a stop waiting for this process ends only from that step.
        process->drainOutputThen([this, guarded = QPointer<CliProcess>(process)] {
            QMetaObject::invokeMethod(
                this, [this, guarded] { onProcessFinished(guarded); }, Qt::QueuedConnection);
        });
    });

    OutputLog* log = output_;
    const bool started =
        process->launch([log](const QByteArray& utf8, const std::atomic<bool>& cancelled) {
            log->appendFromReader(utf8, cancelled);
        });
    if (!started) {
        const QString error = process->errorString();
        delete process;
        if (zsh) {
            log_.warning(QStringLiteral("⚠️ Failed to start in zsh, trying bash: ") + error);
            runCLIInShell(QStringLiteral("bash"));
        } else {
            log_.error(QStringLiteral("❌ Failed to run CLI in bash: ") + error);
            SupervisorState failed = SupervisorState::of(SupervisorState::Phase::Failed);
            failed.reason = QStringLiteral("CLI failed to start: ") + error;
            Q_EMIT stateChanged(failed);
        }
        return;
    }
    ownedGroups_.append(process->groupId());
    EmergencyStop::track(-process->groupId());
    currentProcess_ = process;
    log_.info(QStringLiteral("✅ CLI started successfully in ") + shell);
    Q_EMIT stateChanged(SupervisorState::of(SupervisorState::Phase::Running));
}

void CliRunner::onProcessFinished(CliProcess* process) {
    if (!process)
        return;
    process->deleteLater();
    const int status = process->exitCode();
    const bool crashed = process->exitStatus() == QProcess::CrashExit;
    // A zsh that ended before it ran the CLI (its start-up files failed, or it could not
    // execute the file) gets bash as the one other try. Once the CLI ran, its end is its own,
    // and running it again would repeat whatever it did.
    if (process->shell() == QLatin1String("zsh") && !process->stopRequested() &&
        !process->ranCli()) {
        log_.warning(QStringLiteral("⚠️ zsh failed, trying bash..."));
        runCLIInShell(QStringLiteral("bash"));
        return;
    }
    CliEnding ending;
    ending.exitCode = crashed ? -1 : status;
    ending.signal = crashed ? status : 0;
    ending.requested = process->stopRequested();
    ending.ranMs = runStarted_.isValid() ? runStarted_.elapsed() : process->runningMs();
    log_.info(QLatin1Char('\n') + ending.describe());
    if (currentProcess_ == process) {
        currentProcess_ = nullptr;
        SupervisorState exited = SupervisorState::of(SupervisorState::Phase::Exited);
        exited.ending = ending.cause();
        Q_EMIT stateChanged(exited);
    }
    Q_EMIT ended(ending);
    if (process == stopTarget_) {
        stopTarget_ = nullptr;
        finishStopIfDone();
    }
}

void CliRunner::forgetDeadGroups() {
    ownedGroups_.removeIf([](pid_t group) {
        if (ProcessGroup::hasLiveMembers(group))
            return false;
        EmergencyStop::untrack(-group);
        return true;
    });
}

QList<pid_t> CliRunner::strays() const {
    // Another runner's shells and groups, and all below them, are that runner's.
    QList<pid_t> others = CliProcess::liveShells();
    for (const CliProcess* own : findChildren<CliProcess*>(Qt::FindDirectChildrenOnly))
        others.removeAll(own->groupId());
    QList<pid_t> found;
    for (const ProcessGroup::ProcessInfo& process : ProcessGroup::descendantsOutsideSession(others))
        if (!ownedGroups_.contains(process.group) && !others.contains(process.group))
            found.append(process.pid);
    return found;
}

bool CliRunner::hasSomethingToStop() {
    forgetDeadGroups();
    return isRunning() || !ownedGroups_.isEmpty() || !strays().isEmpty();
}

void CliRunner::stop() {
    if (stopping_)
        return;
    stopping_ = true;
    forced_ = false;
    waitOver_ = false;
    lookedAgain_ = false;
    graceEnds_.setRemainingTime(options_.stopTimeoutMs);
    // Also a shell that has ended but whose end is not reported yet: that report must come
    // before the stop's, and say the end was ours.
    stopTarget_ = currentProcess_;
    if (stopTarget_)
        stopTarget_->markStopRequested();
    // Found before anything is signalled, while what detached is still below the CLI; a process
    // in one of the groups gets its SIGTERM from the group alone.
    forgetDeadGroups();
    stopStrays_ = strays();
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, SIGTERM);
    for (pid_t pid : std::as_const(stopStrays_)) {
        EmergencyStop::track(pid);
        ::kill(pid, SIGTERM);
    }
    waiter_->start(ownedGroups_, stopStrays_, options_.stopTimeoutMs);
}

void CliRunner::onWaitOver(bool allGone) {
    // What left the groups between the stop's look and its SIGTERM (a daemon detaching as the
    // stop began) escaped that signal: once the groups are gone, one more look finds it.
    if (allGone && !forced_ && !lookedAgain_) {
        lookedAgain_ = true;
        QList<pid_t> late = strays();
        late.removeIf([this](pid_t pid) { return stopStrays_.contains(pid); });
        if (!late.isEmpty()) {
            for (pid_t pid : std::as_const(late)) {
                stopStrays_.append(pid);
                EmergencyStop::track(pid);
                ::kill(pid, SIGTERM);
            }
            waiter_->start({}, late, int(graceEnds_.remainingTime()));
            return;
        }
    }
    if (!allGone && !forced_) {
        log_.trace(
            QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"));
        forced_ = true;
        const QList<pid_t> groups = waiter_->remainingGroups();
        QList<pid_t> pids = waiter_->remainingPids();
        // Also what detached during the grace period.
        for (pid_t pid : strays()) {
            if (!stopStrays_.contains(pid)) {
                stopStrays_.append(pid);
                EmergencyStop::track(pid);
            }
            if (!pids.contains(pid))
                pids.append(pid);
        }
        for (pid_t group : groups)
            ProcessGroup::signal(group, SIGKILL);
        for (pid_t pid : pids)
            ::kill(pid, SIGKILL);
        // SIGKILL is not instant; this short wait lets the stop report an empty table.
        waiter_->start(groups, pids, killWaitMs);
        return;
    }
    if (!allGone)
        log_.trace(QStringLiteral("⚠️ CLI processes survived SIGKILL: groups %1")
                       .arg(QString::number(waiter_->remainingGroups().size())));
    waitOver_ = true;
    // A shell stuck past SIGKILL may never report its end; the stop does not wait for it then.
    if (!allGone)
        stopTarget_ = nullptr;
    finishStopIfDone();
}

void CliRunner::finishStopIfDone() {
    if (!stopping_ || !waitOver_ || stopTarget_)
        return;
    ProcessGroup::reapAdoptedZombies(CliProcess::liveShells());
    forgetDeadGroups();
    for (pid_t pid : std::as_const(stopStrays_))
        EmergencyStop::untrack(pid);
    stopStrays_.clear();
    stopping_ = false;
    if (currentProcess_ && currentProcess_->state() == QProcess::NotRunning)
        currentProcess_ = nullptr;
    Q_EMIT stopped(forced_);
}

void CliRunner::killNow() {
    waiter_->cancel();
    for (pid_t pid : strays())
        ::kill(pid, SIGKILL);
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, SIGKILL);
}
