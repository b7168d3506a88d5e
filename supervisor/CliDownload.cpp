#include "CliDownload.h"
#include "CliMetadata.h"
#include "Console.h"
#include "ExecutableCheck.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

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
                         const QUrl& url, const QSslConfiguration& tls, bool isUpdate,
                         OutputLog::Writer say, QObject* parent)
    : QObject(parent), network_(network), options_(options), url_(url), tls_(tls),
      isUpdate_(isUpdate), say_(std::move(say)) {}

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
    if (offerRefused_)
        return false;
    const QString refusedEtag = record_.value(QStringLiteral("rejectedEtag")).toString();
    const QString refusedDate = record_.value(QStringLiteral("rejectedLastModified")).toString();
    if (!refusedEtag.isEmpty())
        return etag == refusedEtag;
    return !refusedDate.isEmpty() && lastModified == refusedDate &&
           size == qint64(record_.value(QStringLiteral("rejectedSize")).toDouble());
}

void CliDownload::start() {
    const SupervisorOptions& options = options_;
    QNetworkRequest request(url_);
    // Redirects are checked one by one: never from https to anything else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    // The bytes as sent, so the announced length and the hash are about the file itself.
    request.setRawHeader("Accept-Encoding", "identity");
    request.setSslConfiguration(tls_);

    // Only an installed, runnable CLI makes a "not modified" answer useful.
    record_ = CliMetadata::load(options);
    if (QFileInfo(options_.cliPath()).isExecutable()) {
        const QJsonObject& stored = record_;
        if (stored.value(QStringLiteral("url")).toString() == url_.toString()) {
            const QString etag = stored.value(QStringLiteral("etag")).toString();
            const QString modified = stored.value(QStringLiteral("lastModified")).toString();
            // Either tag answered "not modified" keeps what is installed: the refused build
            // is not downloaded again only to be thrown away.
            QStringList tags;
            if (!etag.isEmpty())
                tags.append(etag);
            const QString refused = stored.value(QStringLiteral("rejectedEtag")).toString();
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
    if (!file_.open()) {
        const QString error = QStringLiteral("cannot create a file in %1: %2")
                                  .arg(options.installDir, writeError(file_, errno));
        say_(QStringLiteral("❌ Install error: ") + error + QLatin1Char('\n'));
        Console::log(QStringLiteral("❌ Install error: ") + error);
        Q_EMIT finished(false, QStringLiteral("Install failed: ") + error);
        return;
    }

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
    connect(&stall_, &QTimer::timeout, this, [this] {
        abortWith(QStringLiteral("no data received for %1 s").arg(stall_.interval() / 1000.0));
    });
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
           reply_->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool() ||
           reply_->rawHeader("Transfer-Encoding").toLower().contains("chunked");
}

void CliDownload::abortWith(const QString& reason) {
    if (abortReason_.isEmpty())
        abortReason_ = reason;
    reply_->abort();
}

void CliDownload::onReadyRead() {
    if (!abortReason_.isEmpty())
        return;
    stall_.start();
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
}

void CliDownload::onProgress(qint64 received, qint64 total) {
    stall_.start();
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status >= 300)
        return;
    SupervisorState downloading;
    downloading.phase = SupervisorState::Phase::Downloading;
    downloading.received = received;
    downloading.total = total;
    Q_EMIT stateChanged(downloading);

    // Quick downloads stay quiet; long ones report every tenth or every two seconds.
    const qint64 now = started_.elapsed();
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

void CliDownload::fail(const QString& message, const QString& reason) {
    stopTimers();
    file_.remove();
    say_(message);
    Q_EMIT finished(false, reason);
}

void CliDownload::onFinished() {
    stopTimers();
    onReadyRead();
    stopTimers();
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    auto downloadError = [this](const QString& why) {
        fail(QStringLiteral("❌ Download error: ") + why + QLatin1Char('\n'),
             QStringLiteral("Download failed: ") + why);
    };

    // A "not modified" may answer the refused build's tag rather than the installed one's.
    if (refusedOnOffer_ ||
        (status == 304 && isRefused(QString::fromUtf8(reply_->rawHeader("ETag")), {}, -1))) {
        file_.remove();
        say_(QStringLiteral("ℹ️ The server still offers the build that was rolled back "
                            "(SHA-256 %1): keeping the installed one. Update CLI offers it once "
                            "more.\n")
                 .arg(record_.value(QStringLiteral("rejectedSha256")).toString().left(12)));
        return void(Q_EMIT finished(true, {}));
    }
    if (!abortReason_.isEmpty())
        return downloadError(abortReason_);
    if (status == 304) {
        file_.remove();
        say_(QStringLiteral("ℹ️ CLI is already up to date\n"));
        return void(Q_EMIT finished(true, {}));
    }
    // No final answer after redirects: the loop Qt gave up on.
    if (redirects_ > 0 && (status < 200 || (status >= 300 && status < 400)) &&
        reply_->error() == QNetworkReply::NoError)
        return downloadError(QStringLiteral("too many redirects"));
    // A failure at a redirect's target leaves the redirect's status on the reply.
    const bool redirectStatus = redirects_ > 0 && status >= 300 && status < 400;
    if (reply_->error() != QNetworkReply::NoError && (status == 0 || redirectStatus))
        return downloadError(transportError());
    if (status != 200)
        return downloadError(statusRefused());
    // Checked before the transport's error, which for a cut-off body says only that the
    // connection closed.
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && written_ != length.toLongLong())
        return downloadError(QStringLiteral("the download ended after %1 of %2 bytes")
                                 .arg(written_)
                                 .arg(length.toLongLong()));
    if (reply_->error() != QNetworkReply::NoError)
        return downloadError(transportError());
    if (!bodyEndIsKnown())
        return downloadError(
            QStringLiteral("the server sent no length and no end marker, so the download "
                           "cannot be told apart from a cut-off one"));
    if (const QString why = ExecutableCheck::whyNotRunnable(head_); !why.isEmpty())
        return downloadError(QStringLiteral("the server did not send a program this machine can "
                                            "run for %1: it sent %2")
                                 .arg(url_.fileName(), why));
    const QString sha = sha256_.hexResult();
    QJsonObject stored = CliMetadata::load(options_);
    const bool wasRefused = stored.value(QStringLiteral("rejectedSha256")).toString() == sha ||
                            refusedThisSession_.contains(sha);
    if (wasRefused && !offerRefused_)
        return downloadError(QStringLiteral("this build (SHA-256 %1) failed at its first start "
                                            "before and was rolled back")
                                 .arg(sha.left(12)));

    SupervisorState installing;
    installing.phase = SupervisorState::Phase::Installing;
    Q_EMIT stateChanged(installing);
    QString error;
    if (!install(&error)) {
        file_.remove();
        say_(QStringLiteral("❌ Install error: ") + error + QLatin1Char('\n'));
        Console::log(QStringLiteral("❌ Install error: ") + error);
        return void(Q_EMIT finished(false, QStringLiteral("Install failed: ") + error));
    }

    // Remembered only now, so a failed install never makes the next launch skip the download.
    // The build kept beside the new one is the last that passed its trial: one still on trial
    // leaves the older, proven one in place.
    const QJsonObject previous = CliMetadata::buildOf(stored);
    const QJsonObject proven = stored.value(QStringLiteral("previous")).toObject();
    for (const QString& key : CliMetadata::buildKeys)
        stored.remove(key);
    stored.remove(QStringLiteral("previous"));
    if (wasRefused)
        for (const QString& key : CliMetadata::refusalKeys)
            stored.remove(key);
    stored.insert(QStringLiteral("url"), url_.toString());
    stored.insert(QStringLiteral("etag"), QString::fromUtf8(reply_->rawHeader("ETag")));
    stored.insert(QStringLiteral("lastModified"),
                  QString::fromUtf8(reply_->rawHeader("Last-Modified")));
    stored.insert(QStringLiteral("size"), double(written_));
    stored.insert(QStringLiteral("sha256"), sha);
    const QDateTime date = reply_->header(QNetworkRequest::LastModifiedHeader).toDateTime();
    if (date.isValid())
        stored.insert(QStringLiteral("date"), date.toUTC().toString(Qt::ISODate));
    stored.insert(QStringLiteral("installedAt"), double(QDateTime::currentMSecsSinceEpoch()));
    stored.insert(QStringLiteral("trial"), true);
    if (keptPrevious_)
        stored.insert(QStringLiteral("previous"), previous);
    else if (!proven.isEmpty() && QFileInfo(options_.previousCliPath()).isFile())
        stored.insert(QStringLiteral("previous"), proven);
    const QString saveError = CliMetadata::save(options_, stored);
    if (!saveError.isEmpty())
        say_(QStringLiteral("⚠️ Could not save the download's details: ") + saveError +
             QLatin1Char('\n'));

    const QString path = options_.cliPath();
    if (isUpdate_) {
        say_(QStringLiteral("✅ CLI updated to latest version at ") + path + QLatin1Char('\n'));
        Console::log(QStringLiteral("✅ CLI updated successfully"));
    } else {
        say_(QStringLiteral("✅ CLI installed at ") + path + QLatin1Char('\n'));
        Console::log(QStringLiteral("✅ CLI installed successfully"));
    }
    say_(QStringLiteral("ℹ️ Build: ") + CliMetadata::describe(stored) + QLatin1Char('\n'));
    Q_EMIT finished(true, {});
}

bool CliDownload::install(QString* error) {
    errno = 0;
    if (!file_.flush() || ::fsync(file_.handle()) != 0) {
        *error =
            QStringLiteral("could not write the download to disk: ") + writeError(file_, errno);
        return false;
    }
    if (!file_.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                              QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                              QFile::ExeOther)) {
        *error = file_.errorString();
        return false;
    }
    const QString path = options_.cliPath();
    const bool replacing = QFileInfo::exists(path);
    const QString previous = options_.previousCliPath();
    const bool installedProven =
        !CliMetadata::load(options_).value(QStringLiteral("trial")).toBool();
    if (replacing)
        Console::log(QStringLiteral("🗑️ Removing existing binary at ") + path);
    // The proven build is staged beside the old one and takes the previous one's place only
    // once the new build is in: a failed install loses neither.
    const QString staged =
        options_.installDir + QLatin1Char('/') + tempPrefix + QStringLiteral("previous");
    bool staging = false;
    if (replacing && installedProven) {
        // A hard link costs nothing and leaves the running file alone.
        QFile::remove(staged);
        staging = ::link(QFile::encodeName(path).constData(),
                         QFile::encodeName(staged).constData()) == 0 ||
                  QFile::copy(path, staged);
    }
    // rename() replaces the old file in one step, also while the old CLI is running.
    if (std::rename(QFile::encodeName(file_.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (staging)
            QFile::remove(staged);
        return false;
    }
    keptPrevious_ = staging && std::rename(QFile::encodeName(staged).constData(),
                                           QFile::encodeName(previous).constData()) == 0;
    if (staging && !keptPrevious_) {
        say_(QStringLiteral("⚠️ Could not keep the previous build at %1: %2; the new build "
                            "cannot be rolled back\n")
                 .arg(previous, QString::fromLocal8Bit(std::strerror(errno))));
        QFile::remove(staged);
    }
    replaced_ = true;
    file_.setAutoRemove(false);
    file_.close();
    if (replacing)
        say_(QStringLiteral("🗑️ Removed existing CLI binary\n"));
    return true;
}
