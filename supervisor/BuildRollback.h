#pragma once

#include "OutputLog.h"
#include "SupervisorOptions.h"

struct CliEnding;

// Judges the first run of a newly installed build. One that fails at once is replaced by the
// build kept beside it, and its hash is remembered so the same build is not installed again.
class BuildRollback final {
public:
    BuildRollback(const SupervisorOptions& options, OutputLog::Writer say);

    // True when the previous build is back in place and should be started.
    bool rollBackIfFailed(const CliEnding& ending);

private:
    SupervisorOptions options_;
    OutputLog::Writer say_;
};
