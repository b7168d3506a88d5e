#include "CliRunner.h"
#include "ChildReaper.h"
#include "Console.h"
#include "ProcessGroup.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QTimer>

#include <csignal>

namespace {
QProcessEnvironment colourEnvironment(const QByteArray& lineage) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
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
    : QObject(parent), options_(options), log_(log), say_(log->writer()) {
    static int runners = 0;
    lineage_ =
        "HALVANE_RUNNER=" + QByteArray::number(::getpid()) + '.' + QByteArray::number(++runners);
    // A CLI that detaches (setsid, a double fork) leaves its group; as a subreaper this process
    // still adopts what it leaves behind, so cleanup can find it and zombies get reaped.
    ProcessGroup::becomeSubreaper();
    new ChildReaper(&CliProcess::liveShells, this);
}

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
    process->setArguments(CliProcess::loginShellArguments(options_.cliPath()));
    process->setProcessEnvironment(colourEnvironment(lineage_));
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
    say_(QLatin1Char('\n') + describe(ending) + QLatin1Char('\n'));
    Q_EMIT ended(ending);
    if (currentProcess_ == process) {
        currentProcess_ = nullptr;
        SupervisorState exited = SupervisorState::of(SupervisorState::Phase::Exited);
        exited.exitCode = status;
        Q_EMIT stateChanged(exited);
    }
}

QString CliRunner::describe(const CliEnding& ending) {
    if (ending.signal != 0)
        return QStringLiteral("⚡️ CLI was ended by %1 (signal %2)")
            .arg(signalName(ending.signal))
            .arg(ending.signal);
    QString text = QStringLiteral("⚡️ CLI exited with code %1").arg(ending.exitCode);
    // A shell that did not exec the CLI reports its death by signal n as 128 + n.
    const QString name = ending.exitCode > 128 ? signalName(ending.exitCode - 128) : QString();
    if (!name.isEmpty() && !name.startsWith(QLatin1String("signal")))
        text += QStringLiteral(" (%1)").arg(name);
    return text;
}

QString CliRunner::signalName(int signal) {
    static const QList<std::pair<int, const char*>> names{
        {SIGHUP, "SIGHUP"},   {SIGINT, "SIGINT"},   {SIGQUIT, "SIGQUIT"}, {SIGILL, "SIGILL"},
        {SIGTRAP, "SIGTRAP"}, {SIGABRT, "SIGABRT"}, {SIGBUS, "SIGBUS"},   {SIGFPE, "SIGFPE"},
        {SIGKILL, "SIGKILL"}, {SIGUSR1, "SIGUSR1"}, {SIGSEGV, "SIGSEGV"}, {SIGUSR2, "SIGUSR2"},
        {SIGPIPE, "SIGPIPE"}, {SIGALRM, "SIGALRM"}, {SIGTERM, "SIGTERM"}, {SIGXCPU, "SIGXCPU"},
        {SIGSYS, "SIGSYS"}};
    for (const auto& [number, name] : names)
        if (number == signal)
            return QLatin1String(name);
    return QStringLiteral("signal %1").arg(signal);
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

bool CliRunner::allGone(const CliProcess* process) {
    forgetDeadGroups();
    strays_.removeIf([](pid_t pid) { return !ProcessGroup::isAlive(pid); });
    const bool shellRunning = process && process->state() != QProcess::NotRunning;
    return !shellRunning && ownedGroups_.isEmpty() && strays_.isEmpty();
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

void CliRunner::signalAll(int sig) {
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, sig);
    for (pid_t pid : std::as_const(strays_))
        ::kill(pid, sig);
}

void CliRunner::stop() {
    const QPointer<CliProcess> process = currentProcess_;
    if (process)
        process->requestStop();
    // What the CLI started and detached from its group is found by its mark, before the group
    // ends and while it still is a descendant.
    strays_ = detachedDescendants();
    signalAll(SIGTERM);
    // The shell alone exiting is not enough: the CLI or its children may still be alive in
    // the group, and those are what must not be orphaned.
    if (!waitUntilGone(process, options_.stopTimeoutMs)) {
        Console::log(
            QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"));
        signalAll(SIGKILL);
        // SIGKILL is not instant; a moment lets a second cleanup see the group gone.
        waitUntilGone(process, 200);
    }
    ProcessGroup::reapAdoptedZombies(CliProcess::liveShells());
    currentProcess_ = nullptr;
}
