#pragma once

#include "OutputLog.h"
#include "SupervisorOptions.h"

#include <QJsonObject>

#include <functional>

// What is known about the installed build, the one kept before it and a build that was rolled
// back, with the server's tags for a conditional download. Kept in the state folder, not beside
// the CLI, so the install folder holds only what runs.
struct CliMetadata {
    // Fields that describe one build, copied as a whole when builds move.
    static const QStringList buildKeys;
    // Fields that describe the build refused after a failed trial, dropped together.
    static const QStringList refusalKeys;
    // Every field the application keeps; anything else found in the record is not written back.
    static const QStringList knownKeys;
    // Far more than a record the application writes ever needs; a larger one is not read.
    static constexpr qint64 maxRecordBytes = 16 * 1024;

    // Empty when there is no record or it cannot be used; never waits (a FIFO in its place
    // reads as no record).
    static QJsonObject load(const SupervisorOptions& options);
    // The same, with why a record that is there cannot be used, or empty.
    static QJsonObject read(const SupervisorOptions& options, QString* problem);
    // Writes the known fields only, for the file installed now: call it only with a record that
    // describes that file. Returns why it could not be saved, or an empty string.
    static QString save(const SupervisorOptions& options, const QJsonObject& metadata);
    // "20.0 MB, SHA-256 0123456789ab, 2026-01-01", or empty for a build nothing is known about.
    static QString describe(const QJsonObject& build);
    static QJsonObject buildOf(const QJsonObject& metadata);

    // Before a download: a record that cannot be used is moved aside and started afresh, and a
    // record that does not describe the installed file (a crash between the file's rename and
    // the record's) is made to describe it, without the server's tags of another build. Says
    // in the output log what it changed.
    static void reconcile(const SupervisorOptions& options, const OutputLog::Writer& say);

    // Tests only: asked before each save; false drops the save, as a crash just before it would.
    static inline std::function<bool()> beforeSave;
};
