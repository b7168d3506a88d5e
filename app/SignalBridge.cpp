#include "SignalBridge.h"
#include "Console.h"
#include "SystemPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};

// Only async-signal-safe calls, errno as it was, and never a wait: a full pipe already holds
// a request to quit.
void onSignal(int signal) {
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}
} // namespace

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
    if (!SystemPipe::open(signalPipe, true)) {
        Console::log(QStringLiteral("⚠️ SIGTERM, SIGINT and SIGHUP will end the application "
                                    "without stopping the CLI: no pipe for them (%1)")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            Q_EMIT quitRequested(int(byte));
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
