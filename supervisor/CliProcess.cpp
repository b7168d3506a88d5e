#include "CliProcess.h"
#include "ProcessGroup.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

CliProcess::CliProcess(const QString& shell, QObject* parent) : QProcess(parent), shell_(shell) {
    // The child's streams are set up below, not by QProcess.
    setProcessChannelMode(QProcess::ForwardedChannels);
    // An interactive shell must never take over the application's terminal.
    setStandardInputFile(QProcess::nullDevice());
}

CliProcess::~CliProcess() = default;

bool CliProcess::launch(OutputPump::Sink sink) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        setErrorString(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const int writeEnd = fds[1];
    setChildProcessModifier([writeEnd] {
        ::setsid();
        ::dup2(writeEnd, STDOUT_FILENO);
        ::dup2(writeEnd, STDERR_FILENO);
        // The application ignores SIGPIPE for itself; the CLI gets the usual behaviour.
        ::signal(SIGPIPE, SIG_DFL);
    });
    start();
    const bool started = waitForStarted(-1);
    // Only the child may hold the write end, or the end of the stream would never come.
    ::close(writeEnd);
    if (!started) {
        ::close(fds[0]);
        return false;
    }
    groupId_ = pid_t(processId());
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

void CliProcess::requestStop() {
    stopRequested_ = true;
    ProcessGroup::signal(groupId_, SIGTERM);
}
