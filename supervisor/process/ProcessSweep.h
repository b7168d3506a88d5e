#pragma once

#include "SupervisorOptions.h"
#include "output/Logger.h"

#include <QList>
#include <QObject>
#include <QString>

#include <sys/types.h>

class ProcessWaiter;

// Ends the user's stale CLI processes before a fresh one starts: SIGTERM to each, one shared
// grace period, SIGKILL to whatever is left. A CLI is a process whose program or command name is
// exactly `vantrel`, or a login shell this application started for one; a command line that
// merely mentions the word is someone else's. Never the application itself or what started it.
class ProcessSweep final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessSweep)

public:
    ProcessSweep(const SupervisorOptions& options, const Logger& log, QObject* parent = nullptr);

    // Searches the process table and signals at once; the waits run on timers, and finished()
    // reports the end, always from the event loop, after the SIGKILL that any target needed
    // (bounded: the grace period and 0.5 s).
    void start();

    // The process identifiers in pgrep's output, in order; lines that are not one strict
    // decimal number are skipped.
    static QList<pid_t> parsePgrepOutput(const QString& text);

Q_SIGNALS:
    void finished();

private:
    QList<pid_t> findCandidates(bool* searched) const;
    bool isCli(pid_t pid) const;
    void onGraceOver(bool allGone);
    // After the grace period (all gone) or the wait after SIGKILL: says how it ended.
    void reportEnd(bool allGone);
    void finish();

    SupervisorOptions options_;
    Logger log_;
    ProcessWaiter* waiter_;
    bool killing_ = false;
};
