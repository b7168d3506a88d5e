#include "CliProcess.h"
#include "ProcessGroup.h"

#include <csignal>
#include <unistd.h>

CliProcess::CliProcess(const QString& shell, QObject* parent) : QProcess(parent), shell_(shell) {
    setProcessChannelMode(QProcess::MergedChannels);
    // An interactive shell must never take over the application's terminal.
    setStandardInputFile(QProcess::nullDevice());
    setChildProcessModifier([] { ::setsid(); });
}

void CliProcess::requestStop() {
    stopRequested_ = true;
    ProcessGroup::signal(groupId_, SIGTERM);
}
