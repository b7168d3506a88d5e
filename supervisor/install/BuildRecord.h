#pragma once

#include "SupervisorOptions.h"
#include "install/CliMetadata.h"
#include "output/Logger.h"

#include <functional>
#include <optional>

// The one owner of the download record in memory. It reads the record once, on first use,
// settling what a crash left half done, and writes it (atomically) whenever one of its users
// changes it; everyone else asks it rather than the file.
class BuildRecord final {
public:
    BuildRecord(const SupervisorOptions& options, Logger log);

    // The record, read and settled on first use.
    const CliMetadata& get();
    // Before a download: what is on disk may have changed behind the application's back (a CLI
    // put there by hand); the record is made to describe it.
    void reconcile();
    // Applies edit and writes the record. Returns why it could not be written, or empty; the
    // change holds in memory for this session either way.
    QString change(const std::function<void(CliMetadata&)>& edit);
    // The same, saying in the output log when it could not be written.
    void changeOrWarn(const std::function<void(CliMetadata&)>& edit);
    // The same, but a change that could not be written is undone: for an intent, which must be
    // on disk before the step it announces.
    QString changeOrUndo(const std::function<void(CliMetadata&)>& edit);

private:
    SupervisorOptions options_;
    Logger log_;
    std::optional<CliMetadata> record_;
};
