#pragma once

#include "SupervisorState.h"
#include "install/DownloadRequest.h"
#include "install/DownloadResult.h"
#include "install/Sha256.h"
#include "output/Logger.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTemporaryFile>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;

// One download of the CLI into a temporary file beside the installed one, checked to be the whole
// of a program this machine can run. A request value in, one result value out; its receiver
// installs the file by a rename on the same file system.
class CliDownload final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliDownload)

public:
    static inline const QString tempPrefix = QStringLiteral(".halvane-download-");

    CliDownload(QNetworkAccessManager* network, DownloadRequest request, Logger log,
                QObject* parent = nullptr);

    // Reports its end through finished(), possibly before it returns; or returns why it could
    // not begin (no file can be made in the folder).
    QString start();
    // Ends it at once, without finished(), and removes what it wrote.
    void cancel();

    const DownloadRequest& request() const { return request_; }

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    void finished(const DownloadResult& result);
    // Still going slowAfterMs after it began.
    void slow();

private:
    void onReadyRead();
    void onMetaData();
    bool bodyEndIsKnown() const;
    void onProgress(qint64 received, qint64 total);
    void onStallTimer();
    void writeBack();
    void onFinished();
    void fail(const QString& why);
    void end(DownloadResult::Outcome outcome);
    void abortWith(const QString& reason);
    void stopTimers();
    QString tooLarge() const;
    bool isRefused(const QString& etag, const QString& lastModified, qint64 size) const;
    QString statusRefused() const;
    QString transportError() const;
    int retryAfter() const;

    QNetworkAccessManager* network_;
    DownloadRequest request_;
    Logger log_;
    QNetworkReply* reply_ = nullptr;
    QTemporaryFile file_;
    QByteArray head_;
    qint64 written_ = 0;
    QString abortReason_;
    QString tlsErrors_; // the certificate's faults, when that is why the connection failed
    Sha256 sha256_;
    QTimer stall_;
    QTimer early_;
    QTimer limit_;
    QElapsedTimer started_;
    qint64 lastDataMs_ = 0;   // when data last came, for the stall check
    qint64 lastStateMs_ = -1; // when the progress was last passed on
    qint64 writtenBack_ = 0;  // how much of the file the disk has been asked to write
    qint64 lastReportMs_ = 0;
    int lastReportDecile_ = 0;
    bool refusedOnOffer_ = false; // the server answered with the refused build
    int redirects_ = 0;
};
