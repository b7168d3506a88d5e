#include "Console.h"
#include "VantrelManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSaveFile>
#include <QSslConfiguration>
#include <QTemporaryFile>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
#if defined(Q_OS_MACOS) && defined(Q_PROCESSOR_ARM)
constexpr const char* kAssetName = "vantrel-darwin-arm64";
#elif defined(Q_OS_MACOS)
constexpr const char* kAssetName = "vantrel-darwin-amd64";
#elif defined(Q_PROCESSOR_ARM)
constexpr const char* kAssetName = "vantrel-linux-arm64";
#else
constexpr const char* kAssetName = "vantrel-linux-amd64";
#endif

const QString kTempPrefix = QStringLiteral(".halvane-download-");

QString metadataPath(const SupervisorOptions& options) {
    return options.stateDir + QStringLiteral("/cli-download.json");
}

// ELF, Mach-O (thin and fat, both byte orders) or a script: what this platform can execute.
bool looksExecutable(const QByteArray& head) {
    if (head.startsWith("#!"))
        return true;
#ifdef Q_OS_MACOS
    static const QByteArray magics[] = {
        QByteArray("\xcf\xfa\xed\xfe", 4), QByteArray("\xfe\xed\xfa\xcf", 4),
        QByteArray("\xce\xfa\xed\xfe", 4), QByteArray("\xca\xfe\xba\xbe", 4)};
    for (const QByteArray& magic : magics)
        if (head.startsWith(magic))
            return true;
    return false;
#else
    return head.startsWith("\x7f"
                           "ELF");
#endif
}

// Qt reports a failed buffered write as "Unknown error"; the system's reason says what to do
// about it ("No space left on device").
QString writeError(const QFileDevice& file, int code) {
    return code != 0 ? QString::fromLocal8Bit(std::strerror(code)) : file.errorString();
}
} // namespace

// One download of the CLI into a temporary file beside the installed one. The installed CLI
// is replaced only by a rename, so it stays whole and runnable until the new one is complete.
class CliDownload : public QObject {
public:
    CliDownload(VantrelManager* manager, const QUrl& url, bool isUpdate)
        : QObject(manager), manager_(manager), url_(url), isUpdate_(isUpdate) {}

    void start();
    // Whether this download has put a new file at the CLI path.
    bool replaced() const { return replaced_; }

private:
    void onReadyRead();
    void onProgress(qint64 received, qint64 total);
    void onFinished();
    void fail(const QString& message, const QString& reason);
    bool install(QString* error);
    void abortWith(const QString& reason);

    VantrelManager* manager_;
    QUrl url_;
    bool isUpdate_;
    QNetworkReply* reply_ = nullptr;
    QTemporaryFile file_;
    QByteArray head_;
    qint64 written_ = 0;
    QString abortReason_;
    QTimer stall_;
    QElapsedTimer started_;
    qint64 lastReportMs_ = 0;
    int lastReportDecile_ = 0;
    bool replaced_ = false;
};

QString VantrelManager::assetName() {
    return QLatin1String(kAssetName);
}

void VantrelManager::createInstallDirectory() {
    QDir().mkpath(options_.installDir);
}

void VantrelManager::downloadAndRunCLI() {
    Console::log(QStringLiteral("🚀 downloadAndRunCLI() called"));
    say(QStringLiteral("🚀 Starting Vantrel CLI setup...\n"));
    killExistingProcesses();
    Console::log(QStringLiteral("📥 Downloading latest CLI version..."));
    say(QStringLiteral("📥 Downloading latest CLI version...\n"));
    installCLI();
}

void VantrelManager::installCLI() {
    Console::log(QStringLiteral("📥 installCLI() called"));
    if (download_) {
        Console::log(QStringLiteral("ℹ️ A CLI download is already in progress"));
        return;
    }
    QUrl url = options_.baseURL;
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + assetName());
    const bool isUpdate = QFileInfo::exists(cliPath());
    Console::log(QStringLiteral("📥 Binary name: ") + assetName());
    Console::log(QStringLiteral("📥 Download URL: ") + url.toString());
    Console::log(QStringLiteral("📥 Update mode: ") +
                 (isUpdate ? QStringLiteral("true") : QStringLiteral("false")));
    say((isUpdate ? QStringLiteral("🔄 Updating CLI to latest version from ")
                  : QStringLiteral("📥 Installing CLI from ")) +
        url.toString() + QLatin1Char('\n'));

    // What an earlier run left behind when it was killed mid-download.
    QDir installDir(options_.installDir);
    for (const QString& stale :
         installDir.entryList({kTempPrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden))
        installDir.remove(stale);

    if (!network_)
        network_ = new QNetworkAccessManager(this);
    auto* download = new CliDownload(this, url, isUpdate);
    download_ = download;
    download->start();
}

void VantrelManager::finishInstall(bool ok, const QString& reason) {
    bool replaced = false;
    if (download_) {
        replaced = static_cast<CliDownload*>(download_)->replaced();
        download_->deleteLater();
        download_ = nullptr;
    }
    // A check that brought nothing new must not restart the CLI the user is working with.
    const bool running = currentProcess_ && currentProcess_->state() != QProcess::NotRunning;
    if (!ok) {
        SupervisorState failed;
        failed.phase = SupervisorState::Phase::Failed;
        failed.reason = reason;
        setState(failed);
        if (running) {
            say(QStringLiteral("⚠️ Keeping the running CLI instead\n"));
            SupervisorState stillRunning;
            stillRunning.phase = SupervisorState::Phase::Running;
            setState(stillRunning);
        } else if (QFileInfo(cliPath()).isExecutable() && QFileInfo(cliPath()).isFile()) {
            // Never leave the user without a CLI because the network was not there yet.
            say(QStringLiteral("⚠️ Starting the installed CLI instead\n"));
            QMetaObject::invokeMethod(this, &VantrelManager::runCLI, Qt::QueuedConnection);
        }
    } else if (replaced || !running) {
        QMetaObject::invokeMethod(this, &VantrelManager::runCLI, Qt::QueuedConnection);
    } else {
        SupervisorState stillRunning;
        stillRunning.phase = SupervisorState::Phase::Running;
        setState(stillRunning);
    }
    Q_EMIT installFinished(ok, reason);
}

void CliDownload::start() {
    const SupervisorOptions& options = manager_->options();
    QNetworkRequest request(url_);
    // Redirects are checked one by one: never from https to anything else.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
    if (!options.caCertificates.isEmpty()) {
        if (!ssl.addCaCertificates(options.caCertificates))
            manager_->say(QStringLiteral("⚠️ Could not read the certificates in ") +
                          options.caCertificates + QLatin1Char('\n'));
    }
    request.setSslConfiguration(ssl);

    // Only an installed, runnable CLI makes a "not modified" answer useful.
    QFile metadata(metadataPath(options));
    if (QFileInfo(manager_->cliPath()).isExecutable() && metadata.open(QIODevice::ReadOnly)) {
        const QJsonObject stored = QJsonDocument::fromJson(metadata.readAll()).object();
        if (stored.value(QStringLiteral("url")).toString() == url_.toString()) {
            const QString etag = stored.value(QStringLiteral("etag")).toString();
            const QString modified = stored.value(QStringLiteral("lastModified")).toString();
            if (!etag.isEmpty())
                request.setRawHeader("If-None-Match", etag.toUtf8());
            if (!modified.isEmpty())
                request.setRawHeader("If-Modified-Since", modified.toUtf8());
        }
    }

    file_.setFileTemplate(options.installDir + QLatin1Char('/') + kTempPrefix +
                          QStringLiteral("XXXXXX"));
    if (!file_.open()) {
        const QString error = file_.errorString();
        manager_->say(QStringLiteral("❌ Install error: ") + error + QLatin1Char('\n'));
        Console::log(QStringLiteral("❌ Install error: ") + error);
        QMetaObject::invokeMethod(
            manager_,
            [m = manager_, error] {
                m->finishInstall(false, QStringLiteral("Install failed: ") + error);
            },
            Qt::QueuedConnection);
        return;
    }

    SupervisorState downloading;
    downloading.phase = SupervisorState::Phase::Downloading;
    manager_->setState(downloading);
    started_.start();
    reply_ = manager_->network_->get(request);
    reply_->setParent(this);
    connect(reply_, &QNetworkReply::readyRead, this, &CliDownload::onReadyRead);
    connect(reply_, &QNetworkReply::downloadProgress, this, &CliDownload::onProgress);
    connect(reply_, &QNetworkReply::finished, this, &CliDownload::onFinished);
    connect(reply_, &QNetworkReply::redirected, this, [this](const QUrl& target) {
        if (target.scheme() == QLatin1String("https"))
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
}

void CliDownload::abortWith(const QString& reason) {
    if (abortReason_.isEmpty())
        abortReason_ = reason;
    reply_->abort();
}

void CliDownload::onReadyRead() {
    stall_.start();
    const QByteArray chunk = reply_->readAll();
    if (head_.size() < 4)
        head_ += chunk.left(4 - head_.size());
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
    manager_->setState(downloading);

    // Quick downloads stay quiet; long ones report every tenth or every two seconds.
    const qint64 now = started_.elapsed();
    if (now < 1000 || received == total)
        return;
    const int decile = total > 0 ? int(received * 10 / total) : 0;
    if (decile > lastReportDecile_ || now - lastReportMs_ >= 2000) {
        lastReportDecile_ = decile;
        lastReportMs_ = now;
        manager_->say(total > 0 ? QStringLiteral("📥 Downloaded %1 of %2 (%3 %)\n")
                                      .arg(humanSize(received), humanSize(total))
                                      .arg(received * 100 / total)
                                : QStringLiteral("📥 Downloaded %1\n").arg(humanSize(received)));
    }
}

void CliDownload::fail(const QString& message, const QString& reason) {
    stall_.stop();
    file_.remove();
    manager_->say(message);
    manager_->finishInstall(false, reason);
}

void CliDownload::onFinished() {
    stall_.stop();
    onReadyRead();
    stall_.stop();
    const int status = reply_->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString statusText =
        reply_->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
    auto downloadError = [this](const QString& why) {
        fail(QStringLiteral("❌ Download error: ") + why + QLatin1Char('\n'),
             QStringLiteral("Download failed: ") + why);
    };

    if (!abortReason_.isEmpty())
        return downloadError(abortReason_);
    if (status == 304) {
        file_.remove();
        manager_->say(QStringLiteral("ℹ️ CLI is already up to date\n"));
        return manager_->finishInstall(true, {});
    }
    if (reply_->error() != QNetworkReply::NoError && status == 0)
        return downloadError(reply_->errorString());
    if (status < 200 || status >= 300)
        return downloadError(
            QStringLiteral("the server answered HTTP %1 %2").arg(status).arg(statusText).trimmed());
    // Checked before the transport's error, which for a cut-off body says only that the
    // connection closed.
    const QVariant length = reply_->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && written_ < length.toLongLong())
        return downloadError(QStringLiteral("the download was cut off after %1 of %2 bytes")
                                 .arg(written_)
                                 .arg(length.toLongLong()));
    if (reply_->error() != QNetworkReply::NoError)
        return downloadError(reply_->errorString());
    if (written_ == 0 || !looksExecutable(head_))
        return downloadError(QStringLiteral("the server did not send an executable for ") +
                             VantrelManager::assetName());

    SupervisorState installing;
    installing.phase = SupervisorState::Phase::Installing;
    manager_->setState(installing);
    QString error;
    if (!install(&error)) {
        file_.remove();
        manager_->say(QStringLiteral("❌ Install error: ") + error + QLatin1Char('\n'));
        Console::log(QStringLiteral("❌ Install error: ") + error);
        return manager_->finishInstall(false, QStringLiteral("Install failed: ") + error);
    }

    // Remembered only now, so a failed install never makes the next launch skip the download.
    QJsonObject stored{
        {QStringLiteral("url"), url_.toString()},
        {QStringLiteral("etag"), QString::fromUtf8(reply_->rawHeader("ETag"))},
        {QStringLiteral("lastModified"), QString::fromUtf8(reply_->rawHeader("Last-Modified"))}};
    QDir().mkpath(manager_->options().stateDir);
    QSaveFile metadata(metadataPath(manager_->options()));
    if (metadata.open(QIODevice::WriteOnly)) {
        metadata.write(QJsonDocument(stored).toJson(QJsonDocument::Compact));
        metadata.commit();
    }

    const QString path = manager_->cliPath();
    if (isUpdate_) {
        manager_->say(QStringLiteral("✅ CLI updated to latest version at ") + path +
                      QLatin1Char('\n'));
        Console::log(QStringLiteral("✅ CLI updated successfully"));
    } else {
        manager_->say(QStringLiteral("✅ CLI installed at ") + path + QLatin1Char('\n'));
        Console::log(QStringLiteral("✅ CLI installed successfully"));
    }
    manager_->finishInstall(true, {});
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
    const QString path = manager_->cliPath();
    const bool replacing = QFileInfo::exists(path);
    if (replacing)
        Console::log(QStringLiteral("🗑️ Removing existing binary at ") + path);
    // rename() replaces the old file in one step, also while the old CLI is running.
    if (std::rename(QFile::encodeName(file_.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    replaced_ = true;
    file_.setAutoRemove(false);
    file_.close();
    if (replacing)
        manager_->say(QStringLiteral("🗑️ Removed existing CLI binary\n"));
    return true;
}
