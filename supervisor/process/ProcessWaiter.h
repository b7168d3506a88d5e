#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

#include <sys/types.h>

// Waits, without blocking the thread, until every given process group and process has ended or
// the time is up, and says so by a signal. A group's end is only seen by looking, so it looks
// every few milliseconds; an empty group costs one kill(2), not a scan of the process table.
class ProcessWaiter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessWaiter)

public:
    explicit ProcessWaiter(QObject* parent = nullptr);

    // Replaces any wait in progress. finished() always comes from the event loop, never from
    // within this call.
    void start(const QList<pid_t>& groups, const QList<pid_t>& pids, int timeoutMs);
    void cancel();
    bool isWaiting() const { return deadline_.isActive(); }
    // Looks now (a shell just ended, say) instead of at the next tick.
    void check();
    // What is still alive of what was given.
    QList<pid_t> remainingGroups() const { return groups_; }
    QList<pid_t> remainingPids() const { return pids_; }

    static constexpr int pollMs = 10;

Q_SIGNALS:
    void finished(bool allGone);

private:
    // Drops what has ended; true when nothing is left.
    bool forgetEnded();
    void finish(bool allGone);

    QList<pid_t> groups_;
    QList<pid_t> pids_;
    QTimer poll_;
    QTimer deadline_;
};
