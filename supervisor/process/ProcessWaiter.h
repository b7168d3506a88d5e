#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

#include <sys/types.h>

class QSocketNotifier;

// Waits, without blocking the thread, until every given process group and process has ended or
// the time is up, and says so by a signal. Where the kernel tells of an end (a pidfd per
// process, watched by the event loop), nothing polls: a group's processes are listed when the
// wait begins and again only once all of those have ended, for what they started meanwhile.
// Elsewhere, or when asked, it looks every few milliseconds instead.
class ProcessWaiter final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessWaiter)

public:
    // kernelNotices false: always look, as where the kernel cannot tell.
    explicit ProcessWaiter(bool kernelNotices = true, QObject* parent = nullptr);
    ~ProcessWaiter() override;

    // Replaces any wait in progress. finished() always comes from the event loop, never from
    // within this call.
    void start(const QList<pid_t>& groups, const QList<pid_t>& pids, int timeoutMs);
    void cancel();
    bool isWaiting() const { return deadline_.isActive(); }
    // What is still alive of what was given.
    QList<pid_t> remainingGroups() const { return groups_; }
    QList<pid_t> remainingPids() const { return pids_; }

    static constexpr int pollMs = 10;

Q_SIGNALS:
    void finished(bool allGone);

private:
    struct Watch {
        pid_t pid = 0;
        pid_t group = 0; // 0: a process given by itself
        int fd = -1;
        QSocketNotifier* notifier = nullptr;
    };

    // Watches each given process and the members of each group; false when the kernel could
    // not watch one that lives.
    bool watchAll();
    bool watchGroup(pid_t group);
    // False when the kernel could not watch it; a process that is gone needs no watch.
    bool watch(pid_t pid, pid_t group);
    // pid 0: any of the group's members.
    bool isWatched(pid_t pid, pid_t group) const;
    void onEnded(pid_t pid, pid_t group);
    void unwatchAll();
    // The portable way: drops what has ended; true when nothing is left.
    bool forgetEnded();
    void look();
    void finishIfAllGone();
    void finish(bool allGone);

    const bool kernelNotices_;
    QList<pid_t> groups_;
    QList<pid_t> pids_;
    QList<Watch> watches_;
    QTimer poll_;
    QTimer deadline_;
};
