#pragma once

#include "SupervisorOptions.h"

#include <QJsonObject>

// What is known about the installed build, the one kept before it and a build that was rolled
// back, with the server's tags for a conditional download. Kept in the state folder, not beside
// the CLI, so the install folder holds only what runs.
struct CliMetadata {
    // Fields that describe one build, copied as a whole when builds move.
    static const QStringList buildKeys;

    static QJsonObject load(const SupervisorOptions& options);
    // Returns why it could not be saved, or an empty string.
    static QString save(const SupervisorOptions& options, const QJsonObject& metadata);
    // "20.0 MB, SHA-256 0123456789ab, 2026-01-01", or empty for a build nothing is known about.
    static QString describe(const QJsonObject& build);
    static QJsonObject buildOf(const QJsonObject& metadata);
};
