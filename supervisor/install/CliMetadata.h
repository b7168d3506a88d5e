#pragma once

#include "SupervisorOptions.h"
#include "output/Logger.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <utility>

// What is known about the installed build, the one kept before it and a build that was rolled
// back, with the server's tags for a conditional download. Kept in the state folder, not beside
// the CLI, so the install folder holds only what runs.
struct CliMetadata {
    // One build, as the server described it and as it was found to be.
    struct Build {
        QString sha256;
        qint64 size = 0;
        QString etag;
        QString lastModified; // the server's Last-Modified, as sent
        QString date;         // the same date in ISO 8601, for people
        bool operator==(const Build&) const = default;
        bool isEmpty() const { return *this == Build(); }
        // "20.0 MB, SHA-256 0123456789ab, 2026-01-01", or empty for a build nothing is known
        // about.
        QString describe() const;
    };

    QString url; // where the installed build came from
    Build installed;
    qint64 installedAt = 0; // ms since the epoch
    bool trial = false;     // the installed build has yet to pass its first start
    Build previous;         // the last build that passed, kept beside the installed one
    Build refused;          // the build that failed its trial (no date)
    // An install under way, saved before any file is moved: the build being put in place, where
    // it came from, and whether the installed build is to become the previous one. A start
    // after a crash tells by the hashes how far it got.
    Build candidate;
    QString candidateUrl;
    bool candidateKeepsInstalled = false;
    // A newer build found while the CLI ran, verified and kept beside it until its next start.
    Build staged;
    QString stagedUrl;
    QString checkedFile; // which file the record was last found to describe
    // The record on disk holds fields this version does not know, or in another form.
    bool needsRewrite = false;

    bool operator==(const CliMetadata&) const = default;

    // Far more than a record the application writes ever needs; a larger one is not read.
    static constexpr qint64 maxRecordBytes = 16 * 1024;

    // Empty when there is no record or it cannot be used; never waits (a FIFO in its place
    // reads as no record).
    static CliMetadata load(const SupervisorOptions& options);
    // The same, with why a record that is there cannot be used, or empty.
    static CliMetadata read(const SupervisorOptions& options, QString* problem);
    // For the file installed now: call it only with a record that describes that file. Returns
    // why it could not be saved, or an empty string. Notes which file it describes.
    QString save(const SupervisorOptions& options);
    // The same, saying in the output log when it could not be saved.
    void saveOrWarn(const SupervisorOptions& options, const Logger& log);

    // Before the first file is moved: the build from `from` is about to replace the installed
    // one, which becomes the previous one when keepsInstalled.
    void beginInstall(const QString& from, const Build& build, bool keepsInstalled);
    // The candidate is in place and on trial; keptInstalled: the build it replaced is now the
    // previous one, else the previous one stays if its file is still there.
    void finishInstall(const SupervisorOptions& options, bool keptInstalled);
    // Whether the build was on trial; it has passed now.
    bool pass() { return std::exchange(trial, false); }
    // The installed build failed its trial and the previous one is back in its place: the
    // failed one is remembered so the server can be asked for anything else. Returns it.
    Build refuseInstalledAndRestorePrevious();
    void clearRefusal() { refused = {}; }
    // Whether a build of this SHA-256 was refused, here or in refusedThisSession.
    bool refuses(const QString& sha256, const QStringList& refusedThisSession) const;

    // At start (fromDisk: read first) and before a download: a record that cannot be used is
    // moved aside and started afresh; an install or a rollback cut short is finished or undone
    // by what the files' hashes show; a staged build whose file is not the one recorded is
    // dropped; and a record that still does not describe the installed file (one put there by
    // hand) is made to describe it, without the server's tags of another build. Says in the
    // output log what it changed, and saves the record when it did.
    void reconcile(const SupervisorOptions& options, const Logger& log, bool fromDisk);

    // The SHA-256 of a regular file of at most limit bytes, or empty.
    static QString sha256Of(const QString& path, qint64 limit);

    // The steps of an install and of a rollback that change what is on disk, in order.
    enum class Step { IntentSaved, PreviousStaged, Renamed, PreviousKept, Recorded, RolledBack };
    // Tests only: asked after each step; false stops the work there, as a kill would.
    static inline std::function<bool(Step)> continueAfter;
    // Whether the test hook stops the work after this step.
    static bool haltsAfter(Step step) { return continueAfter && !continueAfter(step); }
};
