#include "CliRunner.h"
#include "Console.h"
#include "ProcessGroup.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>

namespace {
// The shell gets the path as its whole command string, so it must be one quoted word:
// a home folder with a space or a quote must neither break the start nor run anything else.
QString shellQuoted(const QString& path) {
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QProcessEnvironment colourEnvironment() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm-256color"));
    environment.insert(QStringLiteral("COLORTERM"), QStringLiteral("truecolor"));
    environment.insert(QStringLiteral("FORCE_COLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR"), QStringLiteral("1"));
    environment.insert(QStringLiteral("CLICOLOR_FORCE"), QStringLiteral("1"));
    environment.insert(QStringLiteral("TERM_PROGRAM"), QStringLiteral("Vantrel Mac"));
    environment.remove(QStringLiteral("NO_COLOR"));
    environment.remove(QStringLiteral("ANSI_COLORS_DISABLED"));
    return environment;
}

SupervisorState stateOf(SupervisorState::Phase phase) {
    SupervisorState state;
    state.phase = phase;
    return state;
}
} // namespace

CliRunner::CliRunner(const SupervisorOptions& options, OutputLog* log, QObject* parent)
    : QObject(parent), options_(options), log_(log), say_(log->writer()) {}

// Reader threads end with their processes, before the log they write into.
CliRunner::~CliRunner() {
    qDeleteAll(findChildren<CliProcess*>(Qt::FindDirectChildrenOnly));
}

bool CliRunner::isRunning() const {
    return currentProcess_ && currentProcess_->state() != QProcess::NotRunning;
}

void CliRunner::runCLI() {
    const QString path = options_.cliPath();
    const QFileInfo file(path);
    if (!file.isFile() || !file.isExecutable()) {
        say_(QStringLiteral("❌ CLI not found or not executable at ") + path + QLatin1Char('\n'));
        return;
    }
    if (CliProcess* previous = currentProcess_) {
        previous->requestStop();
        // The new CLI does not wait for the old one, but the old one must not linger.
        const pid_t group = previous->groupId();
        QTimer::singleShot(options_.stopTimeoutMs, this, [group] {
            if (ProcessGroup::hasLiveMembers(group))
                ProcessGroup::signal(group, SIGKILL);
        });
    }
    runStarted_.start();
    runCLIInShell(QStringLiteral("zsh"));
}

void CliRunner::runCLIInShell(const QString& shell) {
    const bool zsh = shell == QLatin1String("zsh");
    auto* process = new CliProcess(shell, this);
    process->setProgram(zsh ? options_.zshPath : options_.bashPath);
    process->setArguments({QStringLiteral("-l"), QStringLiteral("-i"), QStringLiteral("-c"),
                           shellQuoted(options_.cliPath())});
    process->setProcessEnvironment(colourEnvironment());
    say_(QStringLiteral("▶️ Starting vantrel CLI in ") + shell +
         QStringLiteral(" with color support...\n"));
    connect(process, &QProcess::finished, this, [this, process] {
        // The exit step follows the last output the shell wrote, on a later turn of the
        // event loop, so a cleanup that is waiting for this process always finishes first.
        process->drainOutputThen([this, guarded = QPointer<CliProcess>(process)] {
            QMetaObject::invokeMethod(
                this, [this, guarded] { onProcessFinished(guarded); }, Qt::QueuedConnection);
        });
    });

    OutputLog* log = log_;
    const bool started = process->launch(
        [log](const QString& text, const QByteArray& utf8, const std::atomic<bool>& cancelled) {
            log->appendFromReader(text, utf8, cancelled);
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
            SupervisorState failed = stateOf(SupervisorState::Phase::Failed);
            failed.reason = QStringLiteral("CLI failed to start: ") + error;
            Q_EMIT stateChanged(failed);
        }
        return;
    }
    ownedGroups_.append(process->groupId());
    currentProcess_ = process;
    say_(QStringLiteral("✅ CLI started successfully in ") + shell + QLatin1Char('\n'));
    Q_EMIT stateChanged(stateOf(SupervisorState::Phase::Running));
}

void CliRunner::onProcessFinished(CliProcess* process) {
    if (!process)
        return;
    process->deleteLater();
    const int status = process->exitCode();
    if (status != 0 && process->shell() == QLatin1String("zsh") && !process->stopRequested()) {
        say_(QStringLiteral("⚠️ zsh failed, trying bash...\n"));
        runCLIInShell(QStringLiteral("bash"));
        return;
    }
    say_(QStringLiteral("\n⚡️ CLI exited with code ") + QString::number(status) +
         QLatin1Char('\n'));
    CliEnding ending;
    ending.exitCode = process->exitStatus() == QProcess::NormalExit ? status : -1;
    ending.signal = process->exitStatus() == QProcess::CrashExit ? status : 0;
    ending.requested = process->stopRequested();
    ending.ranMs = runStarted_.isValid() ? runStarted_.elapsed() : process->runningMs();
    Q_EMIT ended(ending);
    if (currentProcess_ == process) {
        currentProcess_ = nullptr;
        SupervisorState exited = stateOf(SupervisorState::Phase::Exited);
        exited.exitCode = status;
        Q_EMIT stateChanged(exited);
    }
}

void CliRunner::forgetDeadGroups() {
    ownedGroups_.removeIf([](pid_t group) { return !ProcessGroup::hasLiveMembers(group); });
}

bool CliRunner::hasSomethingToStop() {
    forgetDeadGroups();
    return isRunning() || !ownedGroups_.isEmpty();
}

bool CliRunner::allGone(const CliProcess* process) {
    forgetDeadGroups();
    const bool shellRunning = process && process->state() != QProcess::NotRunning;
    return !shellRunning && ownedGroups_.isEmpty();
}

bool CliRunner::waitUntilGone(const QPointer<CliProcess>& process, int timeoutMs) {
    if (allGone(process))
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    // The shell's end is an event; the end of the rest of its group is only seen by looking.
    QTimer look;
    const auto check = [&] {
        if (allGone(process))
            loop.quit();
    };
    connect(&look, &QTimer::timeout, &loop, check);
    if (process)
        connect(process, &QProcess::finished, &loop, check);
    deadline.start(timeoutMs);
    look.start(10);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return allGone(process);
}

void CliRunner::stop() {
    const QPointer<CliProcess> process = currentProcess_;
    if (process)
        process->requestStop();
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, SIGTERM);
    // The shell alone exiting is not enough: the CLI or its children may still be alive in
    // the group, and those are what must not be orphaned.
    if (!waitUntilGone(process, options_.stopTimeoutMs)) {
        Console::log(QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"));
        for (pid_t group : std::as_const(ownedGroups_))
            ProcessGroup::signal(group, SIGKILL);
        // SIGKILL is not instant; a moment lets a second cleanup see the group gone.
        waitUntilGone(process, 200);
    }
    currentProcess_ = nullptr;
}
