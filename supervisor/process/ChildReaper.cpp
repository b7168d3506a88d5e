#include "process/ChildReaper.h"
#include "process/ProcessGroup.h"
#include "process/SystemPipe.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {
int wakeFds[2] = {-1, -1};
struct sigaction previousAction {};

// Whatever handled SIGCHLD before (QProcess's own machinery, on some systems) still runs.
void onChild(int signal, siginfo_t* info, void* context) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakeFds[1], &byte, 1);
    errno = saved;
    if (previousAction.sa_flags & SA_SIGINFO) {
        if (previousAction.sa_sigaction)
            previousAction.sa_sigaction(signal, info, context);
    } else if (previousAction.sa_handler != SIG_DFL && previousAction.sa_handler != SIG_IGN) {
        previousAction.sa_handler(signal);
    }
}

bool installOnce() {
    static const bool installed = [] {
        if (!SystemPipe::open(wakeFds, true))
            return false;
        struct sigaction action {};
        action.sa_sigaction = onChild;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NOCLDSTOP;
        return ::sigaction(SIGCHLD, &action, &previousAction) == 0;
    }();
    return installed;
}
} // namespace

ChildReaper::ChildReaper(std::function<QList<pid_t>()> keep, const Logger& log, QObject* parent)
    : QObject(parent), keep_(std::move(keep)) {
    if (!installOnce()) {
        log.trace(QStringLiteral("⚠️ Detached CLI processes that end are reaped only when the "
                                 "CLI is stopped: SIGCHLD could not be watched (%1)")
                      .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return;
    }
    notifier_ = new QSocketNotifier(wakeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char drain[64];
        while (::read(wakeFds[0], drain, sizeof drain) > 0) {
        }
        ProcessGroup::reapAdoptedZombies(keep_());
    });
}

ChildReaper::~ChildReaper() = default;
