#include "process/ProcessWaiter.h"
#include "process/ProcessGroup.h"

ProcessWaiter::ProcessWaiter(QObject* parent) : QObject(parent) {
    poll_.setInterval(pollMs);
    deadline_.setSingleShot(true);
    connect(&poll_, &QTimer::timeout, this, &ProcessWaiter::check);
    connect(&deadline_, &QTimer::timeout, this, [this] { finish(forgetEnded()); });
}

void ProcessWaiter::start(const QList<pid_t>& groups, const QList<pid_t>& pids, int timeoutMs) {
    groups_ = groups;
    pids_ = pids;
    deadline_.start(timeoutMs);
    poll_.start();
    // The first look is a tick away even when all is gone already, so the caller has returned.
}

void ProcessWaiter::cancel() {
    poll_.stop();
    deadline_.stop();
}

void ProcessWaiter::check() {
    if (!isWaiting())
        return;
    if (forgetEnded())
        finish(true);
}

bool ProcessWaiter::forgetEnded() {
    groups_.removeIf([](pid_t group) { return !ProcessGroup::hasLiveMembers(group); });
    pids_.removeIf([](pid_t pid) { return !ProcessGroup::isAlive(pid); });
    return groups_.isEmpty() && pids_.isEmpty();
}

void ProcessWaiter::finish(bool allGone) {
    cancel();
    Q_EMIT finished(allGone);
}
