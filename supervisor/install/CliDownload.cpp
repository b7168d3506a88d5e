#include "install/CliDownload.h"
#include "install/ExecutableCheck.h"

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

CliDownload::CliDownload(QNetworkAccessManager* network, DownloadRequest request, Logger log,
                         QObject* parent)
    : QObject(parent), network_(network), request_(std::move(request)), log_(std::move(log)) {}

void CliDownload::cancel() {
    stopTimers();
    if (reply_) {
        disconnect(reply_, nullptr, this, nullptr);
        reply_->abort();
    }
    file_.remove();
}

// Whether the server's tags describe the refused build.
bool CliDownload::isRefused(const QString& etag, const QString& lastModified, qint64 size) const {
    const CliMetadata::Build& refused = request_.refused;
    if (!refused.etag.isEmpty())
        return etag == refused.etag;
    return !refused.lastModified.isEmpty() && lastModified == refused.lastModified &&
           size == refused.size;
}

QString CliDownload::start() {
    QNetworkRequest request(request_.url);
    // Redirects are checked one by one: never from https to anything else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    // The bytes as sent, so the announced length and the hash are about the file itself.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setSslConfiguration(request_.tls);
    // HTTP/1.1, as the connection opened ahead of the request speaks: a request that allows
    // HTTP/2 is kept apart from it and opens another. One large body gains nothing from HTTP/2.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    if (!request_.ifNoneMatch.isEmpty())
        request.setRawHeader("If-None-Match",
                             request_.ifNoneMatch.join(QStringLiteral(", ")).toUtf8());
    if (!request_.ifModifiedSince.isEmpty())
        request.setRawHeader("If-Modified-Since", request_.ifModifiedSince.toUtf8());

    file_.setFileTemplate(request_.saveIn + QLatin1Char('/') + tempPrefix +
                          QStringLiteral("XXXXXX"));
    errno = 0;
    if (!file_.open())
        return QStringLiteral("cannot create a file in %1: %2")
            .arg(request_.saveIn, writeError(file_, errno));

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
    stall_.setInterval(request_.stallTimeoutMs);
    connect(&stall_, &QTimer::timeout, this, &CliDownload::onStallTimer);
    stall_.start();
    early_.setSingleShot(true);
    early_.setInterval(request_.slowAfterMs);
    connect(&early_, &QTimer::timeout, this, &CliDownload::slow);
    early_.start();
    limit_.setSingleShot(true);
    limit_.setInterval(request_.totalTimeoutMs);
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
    const qint64 limit = request_.maxBytes;
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
    else if (status == 200 && length.isValid() && length.toLongLong() > request_.maxBytes)
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
    if (quiet < request_.stallTimeoutMs) {
        stall_.start(int(request_.stallTimeoutMs - quiet));
        return;
    }
    abortWith(QStringLiteral("no data received for %1 s").arg(request_.stallTimeoutMs / 1000.0));
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
    if (written_ + chunk.size() > request_.maxBytes)
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
        log_.progress(total > 0 ? QStringLiteral("📥 Downloaded %1 of %2 (%3 %)")
                                      .arg(humanSize(received), humanSize(total))
                                      .arg(received * 100 / total)
                                : QStringLiteral("📥 Downloaded %1").arg(humanSize(received)));
    }
}

void CliDownload::stopTimers() {
    stall_.stop();
    early_.stop();
    limit_.stop();
}

void CliDownload::fail(const QString& why) {
    abortReason_ = why;
    end(DownloadResult::Outcome::Failed);
}

void CliDownload::end(DownloadResult::Outcome outcome) {
    stopTimers();
    DownloadResult result;
    result.outcome = outcome;
    if (outcome == DownloadResult::Outcome::Failed) {
        result.reason = abortReason_;
        result.retryAfter = retryAfter();
    }
    if (outcome == DownloadResult::Outcome::NotModified)
        result.build.etag = QString::fromUtf8(reply_->rawHeader("ETag"));
    if (outcome == DownloadResult::Outcome::Verified) {
        // Handed over closed: what was written is in the file, and the receiver owns it.
        result.file = file_.fileName();
        file_.setAutoRemove(false);
        file_.close();
        CliMetadata::Build& build = result.build;
        build.sha256 = sha256_.hexResult();
        build.size = written_;
        build.etag = QString::fromUtf8(reply_->rawHeader("ETag"));
        build.lastModified = QString::fromUtf8(reply_->rawHeader("Last-Modified"));
        const QDateTime date = reply_->header(QNetworkRequest::LastModifiedHeader).toDateTime();
        if (date.isValid())
            build.date = date.toUTC().toString(Qt::ISODate);
    } else {
        file_.remove();
    }
    Q_EMIT finished(result);
}

// A 429 or 503 may say how long to wait, in seconds or as a date.
int CliDownload::retryAfter() const {
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray value = reply_->rawHeader("Retry-After").trimmed();
    if ((status != 429 && status != 503) || value.isEmpty())
        return -1;
    bool number = false;
    const int seconds = value.toInt(&number);
    if (number)
        return seconds >= 0 ? seconds : -1;
    const QDateTime at = QDateTime::fromString(QString::fromLatin1(value), Qt::RFC2822Date);
    if (!at.isValid())
        return -1;
    return int(std::clamp<qint64>(QDateTime::currentDateTimeUtc().secsTo(at), 0, INT_MAX));
}

void CliDownload::onFinished() {
    stopTimers();
    onReadyRead();
    stopTimers();
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();

    // A "not modified" may answer the refused build's tag rather than the installed one's.
    if (refusedOnOffer_ ||
        (status == 304 && isRefused(QString::fromUtf8(reply_->rawHeader("ETag")), {}, -1)))
        return end(DownloadResult::Outcome::OffersRefused);
    if (!abortReason_.isEmpty())
        return fail(abortReason_);
    if (status == 304)
        return end(DownloadResult::Outcome::NotModified);
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
                        .arg(request_.url.fileName(), why));
    end(DownloadResult::Outcome::Verified);
}
