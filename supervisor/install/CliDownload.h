#pragma once

#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "install/CliMetadata.h"
#include "install/Sha256.h"
#include "output/OutputLog.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

// One download of the CLI into a temporary file beside the installed one, checked to be the whole
// of a program this machine can run; its owner installs it by a rename on the same file system.
class CliDownload final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliDownload)

public:
    enum class Outcome {
        Verified, // file() holds the whole build, build() says what it is
        Kept,     // the installed build stays: the server has nothing else to offer
        Failed,   // the reason says why; nothing is left on disk
    };

    static inline const QString tempPrefix = QStringLiteral(".halvane-download-");

    CliDownload(QNetworkAccessManager* network, const SupervisorOptions& options, const QUrl& url,
                const QSslConfiguration& tls, OutputLog::Writer say, QObject* parent = nullptr);

    // A build refused after a failed trial is downloaded and installed only when the user
    // asked for it (offered once more); otherwise its tags are sent so the server can say it
    // has nothing else. refused: builds (SHA-256) refused in this session only.
    void setRefusedBuilds(bool offerAgain, const QStringList& refused);
    // Reports its end through finished(), possibly before it returns; or returns why it could
    // not begin (no file can be made in the install folder).
    QString start();
    // Ends it at once, without finished(), and removes what it wrote.
    void cancel();

    QUrl url() const { return url_; }
    // After Verified: the build, still open; it is removed with this object unless its owner
    // renamed it away and turned that off.
    QTemporaryFile& file() { return file_; }
    const CliMetadata::Build& build() const { return build_; }
    // The verified build is one refused after a failed trial, offered once more.
    bool isRefusedBuild() const { return refusedBuild_; }

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    void finished(CliDownload::Outcome outcome, const QString& reason);
    // Still going earlyStartMs after it began.
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
    void keep(const QString& message);
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
    CliMetadata record_; // the download record as the request was made
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
    qint64 lastDataMs_ = 0;   // when data last came, for the stall check
    qint64 lastStateMs_ = -1; // when the progress was last passed on
    qint64 writtenBack_ = 0;  // how much of the file the disk has been asked to write
    qint64 lastReportMs_ = 0;
    int lastReportDecile_ = 0;
    CliMetadata::Build build_;
    bool refusedBuild_ = false;
    bool offerRefused_ = false;
    bool refusedOnOffer_ = false; // the server answered with the refused build
    QStringList refusedThisSession_;
    int redirects_ = 0;
};
