#pragma once

#include "SupervisorOptions.h"
#include "output/Logger.h"

#include <QStringList>

class BuildRecord;
struct CliEnding;

// The trial of a newly installed build. It fails only by ending on its own within the window,
// with a non-zero status or a crash; it passes by running through the window. A failed build is
// replaced by the last build that passed, kept beside it, and remembered so that it is not
// installed again. Stops, ours or from outside, decide nothing: the trial goes on.
class BuildRollback final {
public:
    BuildRollback(const SupervisorOptions& options, BuildRecord& record, Logger log);

    // Whether the installed build has yet to pass its trial.
    bool installedOnTrial() const;
    // The installed build ran through the window.
    void pass();
    // Judges the end of a run of the build on trial. True when it failed and the previous build
    // is back in place, to be started.
    bool rollBackIfFailed(const CliEnding& ending);
    // Refused builds (SHA-256) whose refusal could not be saved: they hold for this session.
    const QStringList& refusedThisSession() const { return refusedThisSession_; }

private:
    SupervisorOptions options_;
    BuildRecord& record_;
    Logger log_;
    QStringList refusedThisSession_;
};
