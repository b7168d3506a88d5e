#include "CliInstaller.h"
#include "CliMetadata.h"
#include "Console.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSslConfiguration>

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

// What the caller is told; the output log and the console have said the details already.
QString failedText(const QString& error) {
    return QStringLiteral("Install failed: ") + error;
}
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
        installError(error);
        return error;
    }
    return {};
}

QString CliInstaller::installError(const QString& error) {
    say_(QStringLiteral("❌ Install error: ") + error + QLatin1Char('\n'));
    Console::log(QStringLiteral("❌ Install error: ") + error);
    return failedText(error);
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
    isUpdate_ = QFileInfo::exists(options_.cliPath());
    Console::log(QStringLiteral("📥 Binary name: ") + assetName());
    Console::log(QStringLiteral("📥 Download URL: ") + url.toString());
    Console::log(QStringLiteral("📥 Update mode: ") +
                 (isUpdate_ ? QStringLiteral("true") : QStringLiteral("false")));
    say_((isUpdate_ ? QStringLiteral("🔄 Updating CLI to latest version from ")
                    : QStringLiteral("📥 Installing CLI from ")) +
         url.toString() + QLatin1Char('\n'));

    // Otherwise the download would fail later, naming a file rather than the folder's problem.
    if (!QFileInfo::exists(options_.installDir)) {
        const QString error = createInstallDirectory();
        if (!error.isEmpty())
            return Q_EMIT finished(false, failedText(error), false);
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
    auto* download = new CliDownload(network(), options_, url, ssl, say_, this);
    download->setRefusedBuilds(offerRefused, refusedThisSession);
    download_ = download;
    connect(download, &CliDownload::stateChanged, this, &CliInstaller::stateChanged);
    connect(download, &CliDownload::finished, this, &CliInstaller::onDownloadFinished);
    connect(download, &CliDownload::slow, this, &CliInstaller::slow);
    if (const QString error = download->start(); !error.isEmpty()) {
        download_ = nullptr;
        download->deleteLater();
        Q_EMIT finished(false, installError(error), false);
    }
}

void CliInstaller::onDownloadFinished(CliDownload::Outcome outcome, const QString& reason) {
    CliDownload* download = std::exchange(download_, nullptr);
    download->deleteLater();
    if (outcome != CliDownload::Outcome::Verified)
        return Q_EMIT finished(outcome == CliDownload::Outcome::Kept, reason, false);

    SupervisorState installing;
    installing.phase = SupervisorState::Phase::Installing;
    Q_EMIT stateChanged(installing);
    CliMetadata record = CliMetadata::load(options_);
    bool keptPrevious = false;
    QString error;
    if (!install(download->file(), !record.trial, &keptPrevious, &error)) {
        download->file().remove();
        return Q_EMIT finished(false, installError(error), false);
    }

    // Remembered only now, so a failed install never makes the next launch skip the download.
    // The build kept beside the new one is the last that passed its trial: one still on trial
    // leaves the older, proven one in place.
    if (keptPrevious)
        record.keepPrevious();
    else if (!QFileInfo(options_.previousCliPath()).isFile())
        record.previous = {};
    if (download->isRefusedBuild())
        record.clearRefusal();
    record.recordInstall(download->url().toString(), download->build());
    record.saveOrWarn(options_, say_);

    const QString path = options_.cliPath();
    if (isUpdate_) {
        say_(QStringLiteral("✅ CLI updated to latest version at ") + path + QLatin1Char('\n'));
        Console::log(QStringLiteral("✅ CLI updated successfully"));
    } else {
        say_(QStringLiteral("✅ CLI installed at ") + path + QLatin1Char('\n'));
        Console::log(QStringLiteral("✅ CLI installed successfully"));
    }
    say_(QStringLiteral("ℹ️ Build: ") + record.installed.describe() + QLatin1Char('\n'));
    Q_EMIT finished(true, {}, true);
}

bool CliInstaller::install(QTemporaryFile& file, bool installedProven, bool* keptPrevious,
                           QString* error) {
    errno = 0;
    if (!file.flush() || ::fsync(file.handle()) != 0) {
        // Qt reports a failed buffered write as "Unknown error"; the system's reason says what
        // to do about it.
        *error = QStringLiteral("could not write the download to disk: ") +
                 (errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString());
        return false;
    }
    if (!file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                             QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                             QFile::ExeOther)) {
        *error = file.errorString();
        return false;
    }
    const QString path = options_.cliPath();
    const bool replacing = QFileInfo::exists(path);
    const QString previous = options_.previousCliPath();
    if (replacing)
        Console::log(QStringLiteral("🗑️ Removing existing binary at ") + path);
    // The proven build is staged beside the old one and takes the previous one's place only
    // once the new build is in: a failed install loses neither.
    const QString staged = options_.installDir + QLatin1Char('/') + CliDownload::tempPrefix +
                           QStringLiteral("previous");
    bool staging = false;
    if (replacing && installedProven) {
        // A hard link costs nothing and leaves the running file alone.
        QFile::remove(staged);
        staging = ::link(QFile::encodeName(path).constData(),
                         QFile::encodeName(staged).constData()) == 0 ||
                  QFile::copy(path, staged);
    }
    // rename() replaces the old file in one step, also while the old CLI is running.
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (staging)
            QFile::remove(staged);
        return false;
    }
    *keptPrevious = staging && std::rename(QFile::encodeName(staged).constData(),
                                           QFile::encodeName(previous).constData()) == 0;
    if (staging && !*keptPrevious) {
        say_(QStringLiteral("⚠️ Could not keep the previous build at %1: %2; the new build "
                            "cannot be rolled back\n")
                 .arg(previous, QString::fromLocal8Bit(std::strerror(errno))));
        QFile::remove(staged);
    }
    file.setAutoRemove(false);
    file.close();
    if (replacing)
        say_(QStringLiteral("🗑️ Removed existing CLI binary\n"));
    return true;
}
