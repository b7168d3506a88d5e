#pragma once

#include "OutputLog.h"
#include "Sha256.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QObject>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// One download of the CLI into a temporary file beside the installed one. The installed CLI
// is replaced only by a rename, so it stays whole and runnable until the new one is complete.
class CliDownload final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliDownload)

public:
    static inline const QString tempPrefix = QStringLiteral(".halvane-download-");

    CliDownload(QNetworkAccessManager* network, const SupervisorOptions& options, const QUrl& url,
                const QSslConfiguration& tls, bool isUpdate, OutputLog::Writer say,
                QObject* parent = nullptr);

    // A build refused after a failed trial is downloaded and installed only when the user
    // asked for it (offered once more); otherwise its tags are sent so the server can say it
    // has nothing else. refused: builds (SHA-256) refused in this session only.
    void setRefusedBuilds(bool offerAgain, const QStringList& refused);
    // Reports its end through finished(), possibly before it returns.
    void start();
    // Ends it at once, without finished(), and removes what it wrote.
    void cancel();
    // Whether this download has put a new file at the CLI path.
    bool replaced() const { return replaced_; }

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    void finished(bool ok, const QString& reason);
    // Still going earlyStartMs after it began.
    void slow();

private:
    void onReadyRead();
    void onMetaData();
    bool bodyEndIsKnown() const;
    void onProgress(qint64 received, qint64 total);
    void onFinished();
    void fail(const QString& message, const QString& reason);
    bool install(QString* error);
    void abortWith(const QString& reason);
    void stopTimers();
    QString tooLarge() const;
    bool isRefused(const QString& etag, const QString& lastModified, qint64 size) const;
    QString statusRefused() const;
    QString transportError() const;

    QNetworkAccessManager* network_;
    SupervisorOptions options_;
    QUrl url_;
    QSslConfiguration tls_;
    QJsonObject record_; // the download record as the request was made
    bool isUpdate_;
    OutputLog::Writer say_;
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
    qint64 lastReportMs_ = 0;
    int lastReportDecile_ = 0;
    bool replaced_ = false;
    bool keptPrevious_ = false;
    bool offerRefused_ = false;
    bool refusedOnOffer_ = false; // the server answered with the refused build
    QStringList refusedThisSession_;
    int redirects_ = 0;
};
