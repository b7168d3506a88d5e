#include "install/CliDownload.h"
#include "install/ExecutableCheck.h"
#include "output/Console.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace {
// Read ahead of the file at most this much, so a fast server waits on the connection rather
// than filling memory.
constexpr qint64 kReadBufferBytes = 1024 * 1024;
constexpr int kMaxRedirects = 10;

// Qt reports a failed buffered write as "Unknown error"; the system's reason says what to do
// about it ("No space left on device").
QString writeError(const QFileDevice& file, int code) {
    return code != 0 ? QString::fromLocal8Bit(std::strerror(code)) : file.errorString();
}
} // namespace

CliDownload::CliDownload(QNetworkAccessManager* network, const SupervisorOptions& options,
                         const QUrl& url, const QSslConfiguration& tls, OutputLog::Writer say,
                         QObject* parent)
    : QObject(parent), network_(network), options_(options), url_(url), tls_(tls),
      say_(std::move(say)) {}

void CliDownload::setRefusedBuilds(bool offerAgain, const QStringList& refused) {
    offerRefused_ = offerAgain;
    refusedThisSession_ = refused;
}

void CliDownload::cancel() {
    stopTimers();
    if (reply_) {
        disconnect(reply_, nullptr, this, nullptr);
        reply_->abort();
    }
    file_.remove();
}

bool CliDownload::isRefused(const QString& etag, const QString& lastModified, qint64 size) const {
    return !offerRefused_ && record_.isRefused(etag, lastModified, size);
}

QString CliDownload::start() {
    const SupervisorOptions& options = options_;
    QNetworkRequest request(url_);
    // Redirects are checked one by one: never from https to anything else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    // The bytes as sent, so the announced length and the hash are about the file itself.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setSslConfiguration(tls_);
    // HTTP/1.1, as the connection opened ahead of the request speaks: a request that allows
    // HTTP/2 is kept apart from it and opens another. One large body gains nothing from HTTP/2.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    // Only an installed, runnable CLI makes a "not modified" answer useful.
    record_ = CliMetadata::load(options);
    if (QFileInfo(options_.cliPath()).isExecutable()) {
        if (record_.url == url_.toString()) {
            const QString etag = record_.installed.etag;
            const QString modified = record_.installed.lastModified;
            // Either tag answered "not modified" keeps what is installed: the refused build
            // is not downloaded again only to be thrown away.
            QStringList tags;
            if (!etag.isEmpty())
                tags.append(etag);
            const QString refused = record_.refused.etag;
            if (!offerRefused_ && !refused.isEmpty() && refused != etag)
                tags.append(refused);
            if (!tags.isEmpty())
                request.setRawHeader("If-None-Match", tags.join(QStringLiteral(", ")).toUtf8());
            if (!modified.isEmpty())
                request.setRawHeader("If-Modified-Since", modified.toUtf8());
        }
    }

    file_.setFileTemplate(options.installDir + QLatin1Char('/') + tempPrefix +
                          QStringLiteral("XXXXXX"));
    errno = 0;
    if (!file_.open())
        return QStringLiteral("cannot create a file in %1: %2")
            .arg(options.installDir, writeError(file_, errno));

    SupervisorState downloading;
    downloading.phase = SupervisorState::Phase::Downloading;
    Q_EMIT stateChanged(downloading);
    started_.start();
    reply_ = network_->get(request);
    reply_->setParent(this);
    reply_->setReadBufferSize(kReadBufferBytes);
    connect(reply_, &QNetworkReply::metaDataChanged, this, &CliDownload::onMetaData);
    connect(reply_, &QNetworkReply::readyRead, this, &CliDownload::onReadyRead);
    connect(reply_, &QNetworkReply::downloadProgress, this, &CliDownload::onProgress);
    connect(reply_, &QNetworkReply::finished, this, &CliDownload::onFinished);
    connect(reply_, &QNetworkReply::sslErrors, this, [this](const QList<QSslError>& errors) {
        QStringList texts;
        for (const QSslError& error : errors)
            texts.append(error.errorString());
        tlsErrors_ = texts.join(QStringLiteral("; "));
    });
    connect(reply_, &QNetworkReply::redirected, this, [this](const QUrl& target) {
        // Counted here: Qt 6.4 ends a redirect loop after a few hops without an error.
        if (++redirects_ > kMaxRedirects)
            abortWith(QStringLiteral("too many redirects (more than %1)").arg(kMaxRedirects));
        else if (target.scheme() == QLatin1String("https"))
            Q_EMIT reply_->redirectAllowed();
        else
            abortWith(QStringLiteral("refused a redirect to a non-https address: ") +
                      target.toString());
    });
    stall_.setSingleShot(true);
    stall_.setInterval(options.stallTimeoutMs);
    connect(&stall_, &QTimer::timeout, this, &CliDownload::onStallTimer);
    stall_.start();
    early_.setSingleShot(true);
    early_.setInterval(options.earlyStartMs);
    connect(&early_, &QTimer::timeout, this, &CliDownload::slow);
    early_.start();
    limit_.setSingleShot(true);
    limit_.setInterval(options.downloadLimitMs);
    connect(&limit_, &QTimer::timeout, this, [this] {
        abortWith(QStringLiteral("it did not finish within %1 s").arg(limit_.interval() / 1000.0));
    });
    limit_.start();
    return {};
}

QString CliDownload::statusRefused() const {
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString reason = reply_->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    return QStringLiteral("the server answered HTTP %1 %2").arg(status).arg(reason).trimmed();
}

// A TLS failure names the address, which after a redirect is not the one asked for.
QString CliDownload::transportError() const {
    if (tlsErrors_.isEmpty() && reply_->error() != QNetworkReply::SslHandshakeFailedError)
        return reply_->errorString();
    const QUrl at = reply_->url();
    return QStringLiteral("the secure connection to %1:%2 failed: %3")
        .arg(at.host())
        .arg(at.port(443))
        .arg(tlsErrors_.isEmpty() ? reply_->errorString() : tlsErrors_);
}

QString CliDownload::tooLarge() const {
    const qint64 limit = options_.maxDownloadBytes;
    return QStringLiteral("the download is larger than the limit of %1")
        .arg(limit % (1024 * 1024) == 0 ? QStringLiteral("%1 MiB").arg(limit / 1024 / 1024)
                                        : QStringLiteral("%1 bytes").arg(limit));
}

void CliDownload::onMetaData() {
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    // Any other success, a part of the file above all, would install something incomplete.
    if (status > 200 && status < 300)
        abortWith(statusRefused());
    else if (status == 200 && length.isValid() && length.toLongLong() > options_.maxDownloadBytes)
        abortWith(tooLarge() + QStringLiteral(" (%1 announced)").arg(length.toLongLong()));
    else if (status >= 200 && status < 300 &&
             isRefused(QString::fromUtf8(reply_->rawHeader("ETag")),
                       QString::fromUtf8(reply_->rawHeader("Last-Modified")),
                       length.isValid() ? length.toLongLong() : -1)) {
        refusedOnOffer_ = true;
        abortWith(QStringLiteral("the server offers the build that was rolled back"));
    }
}

// A body that just stops when the connection closes looks the same as one cut off.
bool CliDownload::bodyEndIsKnown() const {
    return reply_->header(QNetworkRequest::ContentLengthHeader).isValid() ||
           reply_->rawHeader("Transfer-Encoding").toLower().contains("chunked");
}

void CliDownload::abortWith(const QString& reason) {
    if (abortReason_.isEmpty())
        abortReason_ = reason;
    reply_->abort();
}

// Data only notes the time: restarting the timer for each of a download's thousand pieces
// cost the main thread more than the check does.
void CliDownload::onStallTimer() {
    const qint64 quiet = started_.elapsed() - lastDataMs_;
    if (quiet < options_.stallTimeoutMs) {
        stall_.start(int(options_.stallTimeoutMs - quiet));
        return;
    }
    abortWith(QStringLiteral("no data received for %1 s").arg(options_.stallTimeoutMs / 1000.0));
}

// Asks the disk to start writing what has come so far, so the sync before the install waits
// only for the last few megabytes.
void CliDownload::writeBack() {
#ifdef Q_OS_LINUX
    constexpr qint64 kWriteBackBytes = 1024 * 1024;
    if (written_ - writtenBack_ < kWriteBackBytes || !file_.flush())
        return;
    ::sync_file_range(file_.handle(), writtenBack_, written_ - writtenBack_, SYNC_FILE_RANGE_WRITE);
    writtenBack_ = written_;
#endif
}

void CliDownload::onReadyRead() {
    if (!abortReason_.isEmpty())
        return;
    lastDataMs_ = started_.elapsed();
    const QByteArray chunk = reply_->readAll();
    if (written_ + chunk.size() > options_.maxDownloadBytes)
        return abortWith(tooLarge());
    sha256_.addData(chunk);
    if (head_.size() < ExecutableCheck::headBytes)
        head_ += chunk.left(ExecutableCheck::headBytes - head_.size());
    errno = 0;
    if (file_.write(chunk) != chunk.size())
        return abortWith(QStringLiteral("writing the download failed: ") +
                         writeError(file_, errno));
    written_ += chunk.size();
    writeBack();
}

void CliDownload::onProgress(qint64 received, qint64 total) {
    const qint64 now = started_.elapsed();
    lastDataMs_ = now;
    // A progress bar needs no more than this; each piece would be a thousand a second.
    constexpr qint64 kStateEveryMs = 50;
    if (lastStateMs_ >= 0 && now - lastStateMs_ < kStateEveryMs && received != total)
        return;
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300)
        return;
    lastStateMs_ = now;
    SupervisorState downloading;
    downloading.phase = SupervisorState::Phase::Downloading;
    downloading.received = received;
    downloading.total = total;
    Q_EMIT stateChanged(downloading);

    // Quick downloads stay quiet; long ones report every tenth or every two seconds.
    if (now < 1000 || received == total)
        return;
    const int decile = total > 0 ? int(received * 10 / total) : 0;
    if (decile > lastReportDecile_ || now - lastReportMs_ >= 2000) {
        lastReportDecile_ = decile;
        lastReportMs_ = now;
        say_(total > 0 ? QStringLiteral("📥 Downloaded %1 of %2 (%3 %)\n")
                             .arg(humanSize(received), humanSize(total))
                             .arg(received * 100 / total)
                       : QStringLiteral("📥 Downloaded %1\n").arg(humanSize(received)));
    }
}

void CliDownload::stopTimers() {
    stall_.stop();
    early_.stop();
    limit_.stop();
}

void CliDownload::fail(const QString& why) {
    stopTimers();
    file_.remove();
    say_(QStringLiteral("❌ Download error: ") + why + QLatin1Char('\n'));
    Q_EMIT finished(Outcome::Failed, QStringLiteral("Download failed: ") + why);
}

void CliDownload::keep(const QString& message) {
    file_.remove();
    say_(message);
    Q_EMIT finished(Outcome::Kept, {});
}

void CliDownload::onFinished() {
    stopTimers();
    onReadyRead();
    stopTimers();
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    // A "not modified" may answer the refused build's tag rather than the installed one's.
    if (refusedOnOffer_ ||
        (status == 304 && isRefused(QString::fromUtf8(reply_->rawHeader("ETag")), {}, -1)))
        return keep(QStringLiteral("ℹ️ The server still offers the build that was rolled back "
                                   "(SHA-256 %1): keeping the installed one. Update CLI offers "
                                   "it once more.\n")
                        .arg(record_.refused.sha256.left(12)));
    if (!abortReason_.isEmpty())
        return fail(abortReason_);
    if (status == 304)
        return keep(QStringLiteral("ℹ️ CLI is already up to date\n"));
    // No final answer after redirects: the loop Qt gave up on.
    if (redirects_ > 0 && (status < 200 || (status >= 300 && status < 400)) &&
        reply_->error() == QNetworkReply::NoError)
        return fail(QStringLiteral("too many redirects"));
    // A failure at a redirect's target leaves the redirect's status on the reply.
    const bool redirectStatus = redirects_ > 0 && status >= 300 && status < 400;
    if (reply_->error() != QNetworkReply::NoError && (status == 0 || redirectStatus))
        return fail(transportError());
    if (status != 200)
        return fail(statusRefused());
    // Checked before the transport's error, which for a cut-off body says only that the
    // connection closed.
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && written_ != length.toLongLong())
        return fail(QStringLiteral("the download ended after %1 of %2 bytes")
                        .arg(written_)
                        .arg(length.toLongLong()));
    if (reply_->error() != QNetworkReply::NoError)
        return fail(transportError());
    if (!bodyEndIsKnown())
        return fail(QStringLiteral("the server sent no length and no end marker, so the download "
                                   "cannot be told apart from a cut-off one"));
    if (const QString why = ExecutableCheck::whyNotRunnable(head_); !why.isEmpty())
        return fail(QStringLiteral("the server did not send a program this machine can run for "
                                   "%1: it sent %2")
                        .arg(url_.fileName(), why));
    const QString sha = sha256_.hexResult();
    // Read afresh: a trial that failed while this download ran may have refused this very build.
    refusedBuild_ = CliMetadata::load(options_).refuses(sha, refusedThisSession_);
    if (refusedBuild_ && !offerRefused_)
        return fail(QStringLiteral("this build (SHA-256 %1) failed at its first start "
                                   "before and was rolled back")
                        .arg(sha.left(12)));
    build_.sha256 = sha;
    build_.size = written_;
    build_.etag = QString::fromUtf8(reply_->rawHeader("ETag"));
    build_.lastModified = QString::fromUtf8(reply_->rawHeader("Last-Modified"));
    const QDateTime date = reply_->header(QNetworkRequest::LastModifiedHeader).toDateTime();
    if (date.isValid())
        build_.date = date.toUTC().toString(Qt::ISODate);
    Q_EMIT finished(Outcome::Verified, {});
}
