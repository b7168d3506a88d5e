#include "process/CliEnding.h"

#include <QList>

#include <csignal>
#include <utility>

QString CliEnding::signalName(int signal) {
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

int CliEnding::effectiveSignal() const {
    if (signal != 0)
        return signal;
    // Only the signals with a name: a CLI may well choose a status like 130 for itself too.
    if (exitCode > 128 && exitCode < 128 + 32 &&
        !signalName(exitCode - 128).startsWith(QLatin1String("signal")))
        return exitCode - 128;
    return 0;
}

bool CliEnding::crashed() const {
    switch (effectiveSignal()) {
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGABRT:
    case SIGSYS:
        return true;
    default:
        return false;
    }
}

QString CliEnding::cause() const {
    if (signal != 0)
        return QStringLiteral("was ended by %1 (signal %2)").arg(signalName(signal)).arg(signal);
    QString text = QStringLiteral("exited with code %1").arg(exitCode);
    if (const int reported = effectiveSignal())
        text += QStringLiteral(" (%1)").arg(signalName(reported));
    return text;
}
