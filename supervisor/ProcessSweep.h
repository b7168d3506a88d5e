#pragma once

#include "OutputLog.h"
#include "SupervisorOptions.h"

#include <QList>
#include <QString>

#include <sys/types.h>

// Ends the user's stale CLI processes before a fresh one starts: SIGTERM to each, one shared
// grace period, SIGKILL to whatever is left. A CLI is a process whose program or command name is
// exactly `vantrel`, or a login shell this application started for one; a command line that
// merely mentions the word is someone else's. Never the application itself or what started it.
class ProcessSweep final {
public:
    ProcessSweep(const SupervisorOptions& options, OutputLog::Writer say);

    // Blocks while the process table is searched and for at most the grace period.
    void run() const;

    // The process identifiers in pgrep's output, in order; lines that are not one strict
    // decimal number are skipped.
    static QList<pid_t> parsePgrepOutput(const QString& text);

private:
    QList<pid_t> findCandidates(bool* searched) const;
    bool isCli(pid_t pid) const;

    SupervisorOptions options_;
    OutputLog::Writer say_;
};
