#include "CliRunner.h"
#include "ChildReaper.h"
#include "Console.h"
#include "ProcessGroup.h"
#include "ProcessWaiter.h"

#include <QFileInfo>
#include <QProcessEnvironment>

#include <csignal>

namespace {
QProcessEnvironment colourEnvironment(QProcessEnvironment environment, const QByteArray& lineage) {
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    environment.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR_FORCE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("TERM_PROGRAM"), QStringLiteral("Vantrel Mac"));
    environment.remove(QStringLiteral("NO_COLOR"));
    environment.remove(QStringLiteral("ANSI_COLORS_DISABLED"));
    const qsizetype equals = lineage.indexOf('=');
    environment.insert(QString::fromLatin1(lineage.left(equals)),
                       QString::fromLatin1(lineage.mid(equals + 1)));
    return environment;
}

} // namespace

CliRunner::CliRunner(const SupervisorOptions& options, OutputLog* log, QObject* parent)
    : QObject(parent), options_(options), log_(log), say_(log->writer()),
      waiter_(new ProcessWaiter(this)) {
    static int runners = 0;
    lineage_ =
        "HALVANE_RUNNER=" + QByteArray::number(::getpid()) + '.' + QByteArray::number(++runners);
    new ChildReaper(&CliProcess::liveShells, this);
    connect(waiter_, &ProcessWaiter::finished, this, &CliRunner::onWaitOver);
}

// Reader threads end with their processes, before the log they write into.
CliRunner::~CliRunner() {
    qDeleteAll(findChildren<CliProcess*>(Qt::FindDirectChildrenOnly));
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
        say_(QStringLiteral("❌ CLI not found or not executable at ") + path + QLatin1Char('\n'));
        return;
    }
    if (isRunning() || stopping_) {
        Console::log(
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
    process->setProcessEnvironment(colourEnvironment(options_.cliEnvironment, lineage_));
    say_(QStringLiteral("▶️ Starting vantrel CLI in ") + shell +
         QStringLiteral(" with color support...\n"));
    connect(process, &QProcess::finished, waiter_, &ProcessWaiter::check);
    connect(process, &QProcess::finished, this, [this, process] {
        // The exit step follows the last output the shell wrote, on a later turn of the
        // event loop, so a cleanup that is waiting for this process always finishes first.
        process->drainOutputThen([this, guarded = QPointer<CliProcess>(process)] {
            QMetaObject::invokeMethod(
                this, [this, guarded] { onProcessFinished(guarded); }, Qt::QueuedConnection);
        });
    });

    OutputLog* log = log_;
    const bool started =
        process->launch([log](const QByteArray& utf8, const std::atomic<bool>& cancelled) {
            log->appendFromReader(utf8, cancelled);
        });
    if (!started) {
        const QString error = process->errorString();
        delete process;
        if (zsh) {
            say_(QStringLiteral("⚠️ Failed to start in zsh, trying bash: ") + error +
                 QLatin1Char('\n'));
            runCLIInShell(QStringLiteral("bash"));
        } else {
            say_(QStringLiteral("❌ Failed to run CLI in bash: ") + error + QLatin1Char('\n'));
            SupervisorState failed = SupervisorState::of(SupervisorState::Phase::Failed);
            failed.reason = QStringLiteral("CLI failed to start: ") + error;
            Q_EMIT stateChanged(failed);
        }
        return;
    }
    ownedGroups_.append(process->groupId());
    currentProcess_ = process;
    say_(QStringLiteral("✅ CLI started successfully in ") + shell + QLatin1Char('\n'));
    Q_EMIT stateChanged(SupervisorState::of(SupervisorState::Phase::Running));
}

void CliRunner::onProcessFinished(CliProcess* process) {
    if (!process)
        return;
    process->deleteLater();
    const int status = process->exitCode();
    const bool crashed = process->exitStatus() == QProcess::CrashExit;
    // 126 and 127 are the shell saying it could not execute the command; any other end is the
    // CLI's own, and running it again would repeat whatever it did.
    if (process->shell() == QLatin1String("zsh") && !process->stopRequested() && !crashed &&
        (status == 126 || status == 127)) {
        say_(QStringLiteral("⚠️ zsh could not run the CLI (status %1), trying bash...\n")
                 .arg(status));
        runCLIInShell(QStringLiteral("bash"));
        return;
    }
    CliEnding ending;
    ending.exitCode = crashed ? -1 : status;
    ending.signal = crashed ? status : 0;
    ending.requested = process->stopRequested();
    ending.ranMs = runStarted_.isValid() ? runStarted_.elapsed() : process->runningMs();
    say_(QLatin1Char('\n') + ending.describe() + QLatin1Char('\n'));
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
    ownedGroups_.removeIf([](pid_t group) { return !ProcessGroup::hasLiveMembers(group); });
}

QList<pid_t> CliRunner::detachedDescendants() const {
    QList<pid_t> found = ProcessGroup::descendants(::getpid());
    found.removeIf([this](pid_t pid) {
        return !ProcessGroup::environmentHas(pid, lineage_) || !ProcessGroup::isAlive(pid);
    });
    return found;
}

bool CliRunner::hasSomethingToStop() {
    forgetDeadGroups();
    return isRunning() || !ownedGroups_.isEmpty() || !detachedDescendants().isEmpty();
}

void CliRunner::stop() {
    if (stopping_)
        return;
    stopping_ = true;
    forced_ = false;
    waitOver_ = false;
    // Also a shell that has ended but whose end is not reported yet: that report must come
    // before the stop's, and say the end was ours.
    stopTarget_ = currentProcess_;
    if (stopTarget_)
        stopTarget_->requestStop();
    // What the CLI started and detached from its group is found by its mark, before the group
    // ends and while it still is a descendant. The shell alone exiting is not enough: the CLI
    // or its children may still be alive in the group, and those must not be orphaned.
    forgetDeadGroups();
    const QList<pid_t> strays = detachedDescendants();
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, SIGTERM);
    for (pid_t pid : strays)
        ::kill(pid, SIGTERM);
    waiter_->start(ownedGroups_, strays, options_.stopTimeoutMs);
}

void CliRunner::onWaitOver(bool allGone) {
    if (!allGone && !forced_) {
        Console::log(
            QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"));
        forced_ = true;
        const QList<pid_t> groups = waiter_->remainingGroups();
        const QList<pid_t> pids = waiter_->remainingPids();
        for (pid_t group : groups)
            ProcessGroup::signal(group, SIGKILL);
        for (pid_t pid : pids)
            ::kill(pid, SIGKILL);
        // SIGKILL is not instant; this short wait lets the stop report an empty table.
        waiter_->start(groups, pids, killWaitMs);
        return;
    }
    if (!allGone)
        Console::log(QStringLiteral("⚠️ CLI processes survived SIGKILL: groups %1")
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
    stopping_ = false;
    if (currentProcess_ && currentProcess_->state() == QProcess::NotRunning)
        currentProcess_ = nullptr;
    Q_EMIT stopped(forced_);
}

void CliRunner::killNow() {
    waiter_->cancel();
    for (pid_t pid : detachedDescendants())
        ::kill(pid, SIGKILL);
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, SIGKILL);
}
