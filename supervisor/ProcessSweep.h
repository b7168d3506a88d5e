#pragma once

#include "OutputLog.h"
#include "SupervisorOptions.h"

#include <QList>
#include <QString>

#include <sys/types.h>

// Ends the user's stale CLI processes before a fresh one starts: SIGTERM to each, one shared
// grace period, SIGKILL to whatever is left. Never the application itself or what started it.
class ProcessSweep final {
public:
    ProcessSweep(const SupervisorOptions& options, OutputLog::Writer say);

    // Blocks while pgrep runs and for at most the grace period.
    void run() const;

    // The process identifiers in pgrep's output, in order; lines that are not one strict
    // decimal number are skipped.
    static QList<pid_t> parsePgrepOutput(const QString& text);

private:
    QList<pid_t> findCandidates(bool* searched) const;

    SupervisorOptions options_;
    OutputLog::Writer say_;
};
