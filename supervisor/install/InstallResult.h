#pragma once

#include <QMetaType>
#include <QString>

// How one check for a newer CLI build ended; reported once.
struct InstallResult {
    enum class Outcome {
        Installed, // a new build is at the CLI path, on trial
        Staged,    // a new build waits beside the running CLI for its next start
        Unchanged, // nothing newer: the installed (and any staged) build stays
        Failed,    // reason says why; what was installed stays
    };
    Outcome outcome = Outcome::Failed;
    QString reason;
    int retryAfter = -1; // seconds the server asked to wait before the next check; -1 none

    bool ok() const { return outcome != Outcome::Failed; }
};
Q_DECLARE_METATYPE(InstallResult)
