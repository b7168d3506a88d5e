#include "install/CliInstaller.h"
#include "install/CliMetadata.h"
#include "output/Console.h"

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
    // Settled first: an install cut short is finished or undone by what is on disk.
    CliMetadata::reconcile(options_, say_);
    // What an earlier run left behind when it was killed mid-download.
    QDir installDir(options_.installDir);
    for (const QString& stale : installDir.entryList({CliDownload::tempPrefix + QLatin1Char('*')},
                                                     QDir::Files | QDir::Hidden))
        installDir.remove(stale);

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
    const CliMetadata::Build& build = download->build();
    const QString path = options_.cliPath();
    // A server that ignores the conditional request sends the installed build again: nothing
    // is replaced, tried or restarted, and its tags are kept for the next request.
    if (!record.installed.sha256.isEmpty() && build.sha256 == record.installed.sha256 &&
        QFileInfo(path).isFile()) {
        download->file().remove();
        record.installed = build;
        record.url = download->url().toString();
        record.saveOrWarn(options_, say_);
        say_(QStringLiteral("ℹ️ CLI is already up to date: the server sent the installed build "
                            "again (SHA-256 %1)\n")
                 .arg(build.sha256.left(12)));
        return Q_EMIT finished(true, {}, false);
    }

    QString error = makeDurable(download->file());
    // The build kept beside the new one is the last that passed its trial: one still on trial
    // leaves the older, proven one in place.
    const bool keepInstalled = QFileInfo(path).isFile() && !record.trial;
    const CliMetadata before = record;
    if (download->isRefusedBuild())
        record.clearRefusal();
    record.beginInstall(download->url().toString(), build, keepInstalled);
    // The intent goes first, so a start after a crash at any later step knows both builds.
    if (error.isEmpty()) {
        if (const QString saveError = record.save(options_); !saveError.isEmpty())
            error = QStringLiteral("cannot record the install: ") + saveError;
    }
    if (!error.isEmpty()) {
        download->file().remove();
        return Q_EMIT finished(false, installError(error), false);
    }
    if (CliMetadata::haltsAfter(CliMetadata::Step::IntentSaved))
        return;
    bool keptPrevious = false;
    switch (install(download->file(), keepInstalled, &keptPrevious, &error)) {
    case Result::Halted:
        return;
    case Result::Failed:
        download->file().remove();
        before.saveOrWarn(options_, say_);
        return Q_EMIT finished(false, installError(error), false);
    case Result::Done:
        break;
    }

    record.finishInstall(options_, keptPrevious);
    record.saveOrWarn(options_, say_);
    if (CliMetadata::haltsAfter(CliMetadata::Step::Recorded))
        return;
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

QString CliInstaller::makeDurable(QTemporaryFile& file) {
    errno = 0;
    if (!file.flush() || ::fsync(file.handle()) != 0) {
        // Qt reports a failed buffered write as "Unknown error"; the system's reason says what
        // to do about it.
        return QStringLiteral("could not write the download to disk: ") +
               (errno != 0 ? QString::fromLocal8Bit(std::strerror(errno)) : file.errorString());
    }
    if (!file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                             QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                             QFile::ExeOther))
        return file.errorString();
    return {};
}

CliInstaller::Result CliInstaller::install(QTemporaryFile& file, bool keepInstalled,
                                           bool* keptPrevious, QString* error) {
    using Step = CliMetadata::Step;
    const QString path = options_.cliPath();
    const bool replacing = QFileInfo::exists(path);
    const QString previous = options_.previousCliPath();
    if (replacing)
        Console::log(QStringLiteral("🗑️ Removing existing binary at ") + path);
    // The proven build is staged beside the old one and takes the previous one's place only
    // once the new build is in: a failed install loses neither.
    const QString staged = options_.stagedPreviousPath();
    bool staging = false;
    if (keepInstalled) {
        // A hard link costs nothing and leaves the running file alone.
        QFile::remove(staged);
        staging = ::link(QFile::encodeName(path).constData(),
                         QFile::encodeName(staged).constData()) == 0 ||
                  QFile::copy(path, staged);
    }
    if (CliMetadata::haltsAfter(Step::PreviousStaged))
        return Result::Halted;
    // rename() replaces the old file in one step, also while the old CLI is running.
    if (std::rename(QFile::encodeName(file.fileName()).constData(),
                    QFile::encodeName(path).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (staging)
            QFile::remove(staged);
        return Result::Failed;
    }
    file.setAutoRemove(false);
    if (CliMetadata::haltsAfter(Step::Renamed))
        return Result::Halted;
    *keptPrevious = staging && std::rename(QFile::encodeName(staged).constData(),
                                           QFile::encodeName(previous).constData()) == 0;
    if (staging && !*keptPrevious) {
        say_(QStringLiteral("⚠️ Could not keep the previous build at %1: %2; the new build "
                            "cannot be rolled back\n")
                 .arg(previous, QString::fromLocal8Bit(std::strerror(errno))));
        QFile::remove(staged);
    }
    file.close();
    if (CliMetadata::haltsAfter(Step::PreviousKept))
        return Result::Halted;
    if (replacing)
        say_(QStringLiteral("🗑️ Removed existing CLI binary\n"));
    return Result::Done;
}
