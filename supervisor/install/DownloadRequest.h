#pragma once

#include "install/CliMetadata.h"

#include <QSslConfiguration>
#include <QString>
#include <QStringList>
#include <QUrl>

// What one download of a CLI build is to fetch, and within which limits.
struct DownloadRequest {
    QUrl url;
    QSslConfiguration tls;
    // Tags of builds not worth downloading again (the installed, the staged, the refused one):
    // the server answers "not modified" when it offers one of them.
    QStringList ifNoneMatch;
    QString ifModifiedSince; // the server's Last-Modified of the newest build at hand, as sent
    // A build refused after a failed trial: its offer ends the download before its body.
    CliMetadata::Build refused;
    QString saveIn; // the folder of the temporary file: the install folder, for a rename
    qint64 maxBytes = 0;
    int stallTimeoutMs = 0; // no data for this long ends it
    int totalTimeoutMs = 0; // still going after this ends it
    int slowAfterMs = 0;    // still going after this, slow() says so
};
