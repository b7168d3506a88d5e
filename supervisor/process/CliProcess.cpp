#include "process/CliProcess.h"
#include "process/SystemPipe.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

namespace {
constexpr int kStartTimeoutMs = 5000;
QList<pid_t> shells; // main thread only
} // namespace

CliProcess::CliProcess(const QString& shell, QObject* parent) : QProcess(parent), shell_(shell) {
    connect(this, &QProcess::stateChanged, this, [this](QProcess::ProcessState state) {
        if (state == QProcess::NotRunning)
            shells.removeAll(groupId_);
    });
    // The child's streams are set up below, not by QProcess.
    setProcessChannelMode(QProcess::ForwardedChannels);
    // An interactive shell must never take over the application's terminal.
    setStandardInputFile(QProcess::nullDevice());
}

CliProcess::~CliProcess() {
    shells.removeAll(groupId_);
}

bool CliProcess::launch(OutputPump::Sink sink) {
    int fds[2];
    if (!SystemPipe::open(fds, false)) {
        setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const int writeEnd = fds[1];
    const pid_t parent = ::getpid();
    setChildProcessModifier([writeEnd, parent] {
        ::setsid();
#ifdef Q_OS_LINUX
        // When this process dies without a stop (kill -9, a crash), the kernel sends the shell
        // SIGTERM, and so the CLI that the shell runs in its place: shells exec a lone command.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(127);
#endif
        ::dup2(writeEnd, STDOUT_FILENO);
        ::dup2(writeEnd, STDERR_FILENO);
        // The application ignores SIGPIPE for itself; the CLI gets the usual behaviour.
        ::signal(SIGPIPE, SIG_DFL);
    });
    if (const auto cli = cliPathOf(arguments()))
        cliOpened_ = std::make_unique<FileOpenWatch>(*cli);
    start();
    // Normally at once (fork and exec report back); bounded for a system too loaded to say.
    const bool started = waitForStarted(kStartTimeoutMs);
    // Only the child may hold the write end, or the end of the stream would never come.
    ::close(writeEnd);
    if (!started) {
        ::close(fds[0]);
        return false;
    }
    groupId_ = pid_t(processId());
    shells.append(groupId_);
    started_.start();
    pump_ = std::make_unique<OutputPump>(fds[0], std::move(sink));
    return true;
}

void CliProcess::drainOutputThen(std::function<void()> done) {
    if (pump_)
        pump_->drainThen(std::move(done));
    else
        done();
}

bool CliProcess::ranCli() {
    if (const std::optional<bool> opened = cliOpened_ ? cliOpened_->opened() : std::nullopt)
        return *opened;
    // Without the watch: 126 and 127 are the shell saying it could not execute the command.
    return exitStatus() == QProcess::CrashExit || (exitCode() != 126 && exitCode() != 127);
}

QStringList CliProcess::loginShellArguments(const QString& cliPath) {
    // The shell gets the path as its whole command string, so it must be one quoted word:
    // a home folder with a space or a quote must neither break the start nor run anything else.
    QString quoted = cliPath;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return {QStringLiteral("-l"), QStringLiteral("-i"), QStringLiteral("-c"),
            QLatin1Char('\'') + quoted + QLatin1Char('\'')};
}

std::optional<QString> CliProcess::cliPathOf(const QStringList& shellArguments) {
    const QString command = shellArguments.value(3);
    if (shellArguments.size() != 4 || command.size() < 2 || !command.startsWith(u'\'') ||
        !command.endsWith(u'\''))
        return std::nullopt;
    QString path = command.mid(1, command.size() - 2);
    path.replace(QStringLiteral("'\\''"), QStringLiteral("'"));
    if (loginShellArguments(path) != shellArguments)
        return std::nullopt;
    return path;
}

QList<pid_t> CliProcess::liveShells() {
    return shells;
}
