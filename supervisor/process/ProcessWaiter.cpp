#include "process/ProcessWaiter.h"
#include "process/PidFd.h"
#include "process/ProcessGroup.h"

#include <QSocketNotifier>

#include <cerrno>
#include <unistd.h>

ProcessWaiter::ProcessWaiter(bool kernelNotices, QObject* parent)
    : QObject(parent), kernelNotices_(kernelNotices && PidFd::supported()) {
    poll_.setInterval(pollMs);
    deadline_.setSingleShot(true);
    connect(&poll_, &QTimer::timeout, this, &ProcessWaiter::look);
    connect(&deadline_, &QTimer::timeout, this, [this] { finish(forgetEnded()); });
}

ProcessWaiter::~ProcessWaiter() {
    unwatchAll();
}

void ProcessWaiter::start(const QList<pid_t>& groups, const QList<pid_t>& pids, int timeoutMs) {
    cancel();
    groups_ = groups;
    pids_ = pids;
    deadline_.start(timeoutMs);
    if (!kernelNotices_ || !watchAll()) {
        // The first look is a tick away even when all is gone already, so the caller has
        // returned.
        unwatchAll();
        poll_.start();
        return;
    }
    // Also when nothing was left to watch: the end is told once the caller has returned.
    QMetaObject::invokeMethod(this, &ProcessWaiter::finishIfAllGone, Qt::QueuedConnection);
}

void ProcessWaiter::cancel() {
    poll_.stop();
    deadline_.stop();
    unwatchAll();
}

bool ProcessWaiter::watchAll() {
    for (pid_t pid : std::as_const(pids_))
        if (!watch(pid, 0))
            return false;
    pids_.removeIf([this](pid_t pid) { return !isWatched(pid, 0); });
    for (pid_t group : QList<pid_t>(groups_))
        if (!watchGroup(group))
            return false;
    return true;
}

bool ProcessWaiter::watchGroup(pid_t group) {
    for (pid_t pid : ProcessGroup::liveMembers(group))
        if (!watch(pid, group))
            return false;
    if (!isWatched(0, group))
        groups_.removeAll(group);
    return true;
}

bool ProcessWaiter::isWatched(pid_t pid, pid_t group) const {
    return std::any_of(watches_.cbegin(), watches_.cend(), [pid, group](const Watch& watch) {
        return watch.group == group && (pid == 0 || watch.pid == pid);
    });
}

bool ProcessWaiter::watch(pid_t pid, pid_t group) {
    if (isWatched(pid, group))
        return true;
    const int fd = PidFd::open(pid);
    if (fd < 0)
        return errno == ESRCH;
    // A listed member may have ended, and its number passed to another process, before this.
    if (const ProcessGroup::ProcessInfo now = ProcessGroup::info(pid);
        group != 0 && (now.group != group || now.zombie)) {
        ::close(fd);
        return true;
    }
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this, pid, group] {
        onEnded(pid, group);
        finishIfAllGone();
    });
    watches_.append({pid, group, fd, notifier});
    return true;
}

namespace {
// Off before the descriptor closes, and deleted later: this may run inside its own signal.
template <typename Watch> void release(const Watch& watch) {
    watch.notifier->setEnabled(false);
    watch.notifier->deleteLater();
    ::close(watch.fd);
}
} // namespace

void ProcessWaiter::onEnded(pid_t pid, pid_t group) {
    const auto it = std::find_if(watches_.cbegin(), watches_.cend(), [pid, group](const Watch& w) {
        return w.pid == pid && w.group == group;
    });
    if (it == watches_.cend())
        return;
    release(*it);
    watches_.erase(it);
    if (group == 0) {
        pids_.removeAll(pid);
        return;
    }
    // Its last known member has ended: what they started meanwhile is in the listing now.
    if (!isWatched(0, group) && !watchGroup(group)) {
        unwatchAll();
        poll_.start();
    }
}

void ProcessWaiter::unwatchAll() {
    for (const Watch& watch : std::as_const(watches_))
        release(watch);
    watches_.clear();
}

bool ProcessWaiter::forgetEnded() {
    groups_.removeIf([](pid_t group) { return !ProcessGroup::hasLiveMembers(group); });
    pids_.removeIf([](pid_t pid) { return !ProcessGroup::isAlive(pid); });
    return groups_.isEmpty() && pids_.isEmpty();
}

void ProcessWaiter::look() {
    if (isWaiting() && forgetEnded())
        finish(true);
}

void ProcessWaiter::finishIfAllGone() {
    if (isWaiting() && !poll_.isActive() && groups_.isEmpty() && pids_.isEmpty())
        finish(true);
}

void ProcessWaiter::finish(bool allGone) {
    cancel();
    Q_EMIT finished(allGone);
}
