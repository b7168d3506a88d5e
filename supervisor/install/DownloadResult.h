#pragma once

#include "install/CliMetadata.h"

#include <QString>

// How one download ended; reported once.
struct DownloadResult {
    enum class Outcome {
        Verified,      // file holds the whole of a program this machine can run
        NotModified,   // the server offers a build the request named (build.etag says which)
        OffersRefused, // the server offers the build refused after a failed trial
        Failed,        // reason says why; nothing is left on disk
    };
    Outcome outcome = Outcome::Failed;
    QString reason;
    // Verified: the temporary file, beside the installed CLI; its receiver renames or removes it.
    QString file;
    // Verified: size, SHA-256, the server's tags and date; NotModified: the tag it answered with.
    CliMetadata::Build build;
    int retryAfter = -1; // seconds a 429 or 503 asked to wait before asking again; -1 none
};
