#include "SignalBridge.h"
#include "output/Console.h"
#include "process/EmergencyStop.h"
#include "process/SystemPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
int signalPipe[2] = {-1, -1};
pid_t ownPid = 0;

// Restores the default action and delivers the signal again, as if nobody had handled it.
void dieOf(int signal) {
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// Only async-signal-safe calls, errno as it was, and never a wait: a full pipe already holds
// a request to quit.
void onQuitSignal(int signal) {
    // A child between fork and exec still runs this handler: it must not ask its parent to quit.
    if (::getpid() != ownPid)
        return dieOf(signal);
    const int saved = errno;
    const char byte = char(signal);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

void onCrashSignal(int signal) {
    if (::getpid() == ownPid)
        EmergencyStop::signalAll(SIGTERM);
    dieOf(signal);
}

// exit() from below the event loop (Qt's X11 connection lost) or any other end that skips the
// stop: whatever is still tracked gets its SIGTERM. After a completed stop nothing is.
void onExit() {
    if (::getpid() == ownPid) // not a forked child that calls exit()
        EmergencyStop::signalAll(SIGTERM);
}

void handle(int signal, void (*handler)(int), int flags) {
    struct sigaction action {};
    // One that someone else set up or chose to ignore is theirs.
    if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler != SIG_DFL)
        return;
    action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = flags;
    ::sigaction(signal, &action, nullptr);
}
} // namespace

QList<int> SignalBridge::quitSignals() {
    QList<int> list{SIGTERM, SIGINT,    SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                    SIGALRM, SIGVTALRM, SIGPROF, SIGIO,   SIGXCPU, SIGXFSZ};
#ifdef SIGPWR
    list << SIGPWR;
#endif
#ifdef SIGSTKFLT
    list << SIGSTKFLT;
#endif
#ifdef SIGRTMIN
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        list << signal;
#endif
    return list;
}

QList<int> SignalBridge::crashSignals() {
    return {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};
}

SignalBridge::SignalBridge(QObject* parent) : QObject(parent) {
    ownPid = ::getpid();
    // A crash from a stack overflow needs a stack of its own to run the handler on.
    static char crashStack[64 * 1024];
    stack_t stack{};
    stack.ss_sp = crashStack;
    stack.ss_size = sizeof crashStack;
    ::sigaltstack(&stack, nullptr);
    for (int signal : crashSignals())
        handle(signal, onCrashSignal, SA_ONSTACK | SA_NODEFER | SA_RESETHAND);
    std::atexit(onExit);
    if (!SystemPipe::open(signalPipe, true)) {
        Console::log(QStringLiteral("⚠️ SIGTERM, SIGINT, SIGHUP and the like will end the "
                                    "application without stopping the CLI: no pipe for them (%1)")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            Q_EMIT quitRequested(int(byte));
    });
    for (int signal : quitSignals())
        handle(signal, onQuitSignal, SA_RESTART);
}
