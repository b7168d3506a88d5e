#include "CliInstaller.h"
#include "CliDownload.h"
#include "CliMetadata.h"
#include "Console.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSslConfiguration>

#include <cerrno>
#include <cstring>

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
} // namespace

CliInstaller::CliInstaller(const SupervisorOptions& options, OutputLog::Writer say, QObject* parent)
    : QObject(parent), options_(options), say_(std::move(say)) {}

CliInstaller::~CliInstaller() = default;

QString CliInstaller::assetName() {
    return QLatin1String(kAssetName);
}

bool CliInstaller::isInstalling() const {
    return download_ != nullptr;
}

QString CliInstaller::createInstallDirectory() {
    errno = 0;
    if (!QDir().mkpath(options_.installDir)) {
        const QString error =
            QStringLiteral("cannot create the folder %1: %2")
                .arg(options_.installDir,
                     QString::fromLocal8Bit(std::strerror(errno ? errno : EACCES)));
        say_(QStringLiteral("❌ Install error: ") + error + QLatin1Char('\n'));
        Console::log(QStringLiteral("❌ Install error: ") + error);
        return error;
    }
    return {};
}

QUrl CliInstaller::downloadUrl() const {
    QUrl url = options_.baseURL;
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + assetName());
    return url;
}

QNetworkAccessManager* CliInstaller::network() {
    if (!network_)
        network_ = new QNetworkAccessManager(this);
    return network_;
}

const QSslConfiguration& CliInstaller::tls() {
    if (!tls_) {
        tls_ = QSslConfiguration::defaultConfiguration();
        extraCaUnreadable_ =
            !options_.caCertificates.isEmpty() && !tls_->addCaCertificates(options_.caCertificates);
    }
    return *tls_;
}

void CliInstaller::prepare() {
    const QUrl url = downloadUrl();
    network()->connectToHostEncrypted(url.host(), quint16(url.port(443)), tls());
}

void CliInstaller::cancel() {
    if (!download_)
        return;
    CliDownload* download = download_;
    download_ = nullptr;
    download->cancel();
    download->deleteLater();
    say_(QStringLiteral("📥 Download cancelled\n"));
}

void CliInstaller::installCLI(bool offerRefused, const QStringList& refusedThisSession) {
    Console::log(QStringLiteral("📥 installCLI() called"));
    if (download_) {
        Console::log(QStringLiteral("ℹ️ A CLI download is already in progress"));
        return;
    }
    const QUrl url = downloadUrl();
    const bool isUpdate = QFileInfo::exists(options_.cliPath());
    Console::log(QStringLiteral("📥 Binary name: ") + assetName());
    Console::log(QStringLiteral("📥 Download URL: ") + url.toString());
    Console::log(QStringLiteral("📥 Update mode: ") +
                 (isUpdate ? QStringLiteral("true") : QStringLiteral("false")));
    say_((isUpdate ? QStringLiteral("🔄 Updating CLI to latest version from ")
                   : QStringLiteral("📥 Installing CLI from ")) +
         url.toString() + QLatin1Char('\n'));

    // Otherwise the download would fail later, naming a file rather than the folder's problem.
    if (!QFileInfo::exists(options_.installDir)) {
        const QString error = createInstallDirectory();
        if (!error.isEmpty())
            return Q_EMIT finished(false, QStringLiteral("Install failed: ") + error, false);
    }
    // What an earlier run left behind when it was killed mid-download.
    QDir installDir(options_.installDir);
    for (const QString& stale : installDir.entryList({CliDownload::tempPrefix + QLatin1Char('*')},
                                                     QDir::Files | QDir::Hidden))
        installDir.remove(stale);
    CliMetadata::reconcile(options_, say_);

    const QSslConfiguration& ssl = tls();
    if (extraCaUnreadable_)
        say_(QStringLiteral("⚠️ Could not read the certificates in ") +
             options_.caCertificates + QLatin1Char('\n'));
    auto* download = new CliDownload(network(), options_, url, ssl, isUpdate, say_, this);
    download->setRefusedBuilds(offerRefused, refusedThisSession);
    download_ = download;
    connect(download, &CliDownload::stateChanged, this, &CliInstaller::stateChanged);
    connect(download, &CliDownload::finished, this, &CliInstaller::onDownloadFinished);
    connect(download, &CliDownload::slow, this, &CliInstaller::slow);
    download->start();
}

void CliInstaller::onDownloadFinished(bool ok, const QString& reason) {
    CliDownload* download = download_;
    download_ = nullptr;
    const bool replaced = download && download->replaced();
    if (download)
        download->deleteLater();
    Q_EMIT finished(ok, reason, replaced);
}
