#include "install/CliInstaller.h"

#include <QDir>
#include <QFile>
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

CliInstaller::CliInstaller(const SupervisorOptions& options, Logger log, QObject* parent)
    : QObject(parent), options_(options), log_(std::move(log)), record_(options_, log_) {}

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
    log_.error(QStringLiteral("❌ Install error: ") + error);
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
    log_.info(QStringLiteral("📥 Download cancelled"));
}

DownloadRequest CliInstaller::request(bool offerRefused) {
    DownloadRequest request;
    request.url = downloadUrl();
    request.tls = tls();
    request.saveIn = options_.installDir;
    request.maxBytes = options_.maxDownloadBytes;
    request.stallTimeoutMs = options_.stallTimeoutMs;
    request.totalTimeoutMs = options_.downloadLimitMs;
    request.slowAfterMs = options_.earlyStartMs;
    const CliMetadata& record = record_.get();
    if (!offerRefused)
        request.refused = record.refused;
    // Only an installed, runnable CLI makes a "not modified" answer useful.
    if (!QFileInfo(options_.cliPath()).isExecutable() || record.url != request.url.toString())
        return request;
    // Any of these tags answered "not modified" keeps what is at hand: neither the staged nor
    // the refused build is downloaded again only to be thrown away.
    const bool staged = !record.staged.isEmpty() && record.stagedUrl == record.url;
    for (const QString& tag :
         {record.installed.etag, staged ? record.staged.etag : QString(), request.refused.etag})
        if (!tag.isEmpty() && !request.ifNoneMatch.contains(tag))
            request.ifNoneMatch.append(tag);
    request.ifModifiedSince = staged && !record.staged.lastModified.isEmpty()
                                  ? record.staged.lastModified
                                  : record.installed.lastModified;
    return request;
}

void CliInstaller::installCLI(bool offerRefused, const QStringList& refusedThisSession, Mode mode) {
    log_.trace(QStringLiteral("📥 installCLI() called"));
    if (download_) {
        log_.trace(QStringLiteral("ℹ️ A CLI download is already in progress"));
        return;
    }
    const QUrl url = downloadUrl();
    isUpdate_ = QFileInfo::exists(options_.cliPath());
    log_.trace(QStringLiteral("📥 Binary name: ") + assetName());
    log_.trace(QStringLiteral("📥 Download URL: ") + url.toString());
    log_.trace(QStringLiteral("📥 Update mode: ") +
               (isUpdate_ ? QStringLiteral("true") : QStringLiteral("false")));
    const QString what = (isUpdate_ ? QStringLiteral("🔄 Updating CLI to latest version from ")
                                    : QStringLiteral("📥 Installing CLI from ")) +
                         url.toString();
    // A check in the background says only what came of it.
    if (isUpdate_ && mode == Mode::Stage)
        log_.trace(what);
    else
        log_.info(what);

    // Otherwise the download would fail later, naming a file rather than the folder's problem.
    if (!QFileInfo::exists(options_.installDir)) {
        const QString error = createInstallDirectory();
        if (!error.isEmpty())
            return finish(InstallResult::Outcome::Failed, failedText(error));
    }
    // Settled first: an install cut short is finished or undone by what is on disk.
    record_.reconcile();
    // What an earlier run left behind when it was killed mid-download.
    QDir installDir(options_.installDir);
    for (const QString& stale : installDir.entryList({CliDownload::tempPrefix + QLatin1Char('*')},
                                                     QDir::Files | QDir::Hidden))
        installDir.remove(stale);

    tls();
    if (extraCaUnreadable_)
        log_.warning(QStringLiteral("⚠️ Could not read the certificates in ") +
                     options_.caCertificates);
    mode_ = mode;
    offerRefused_ = offerRefused;
    refusedThisSession_ = refusedThisSession;
    auto* download = new CliDownload(network(), request(offerRefused), log_, this);
    download_ = download;
    connect(download, &CliDownload::stateChanged, this, &CliInstaller::stateChanged);
    connect(download, &CliDownload::finished, this, &CliInstaller::onDownloadFinished);
    connect(download, &CliDownload::slow, this, &CliInstaller::slow);
    if (const QString error = download->start(); !error.isEmpty()) {
        download_ = nullptr;
        download->deleteLater();
        finish(InstallResult::Outcome::Failed, installError(error));
    }
}

void CliInstaller::stageWhenVerified() {
    if (download_)
        mode_ = Mode::Stage;
}

void CliInstaller::finish(InstallResult::Outcome outcome, const QString& reason, int retryAfter) {
    InstallResult result;
    result.outcome = outcome;
    result.reason = reason;
    result.retryAfter = retryAfter;
    Q_EMIT finished(result);
}

void CliInstaller::onDownloadFinished(const DownloadResult& result) {
    using Outcome = InstallResult::Outcome;
    CliDownload* download = std::exchange(download_, nullptr);
    download->deleteLater();
    switch (result.outcome) {
    case DownloadResult::Outcome::Failed:
        log_.error(QStringLiteral("❌ Download error: ") + result.reason);
        return finish(Outcome::Failed, QStringLiteral("Download failed: ") + result.reason,
                      result.retryAfter);
    case DownloadResult::Outcome::OffersRefused:
        log_.info(QStringLiteral("ℹ️ The server still offers the build that was rolled back "
                                 "(SHA-256 %1): keeping the installed one. Update CLI offers it "
                                 "once more.")
                      .arg(record_.get().refused.sha256.left(12)));
        return finish(Outcome::Unchanged);
    case DownloadResult::Outcome::NotModified:
        return onNothingNew(result.build.etag);
    case DownloadResult::Outcome::Verified:
        break;
    }

    const CliMetadata& record = record_.get();
    const CliMetadata::Build& build = result.build;
    const QString url = download->request().url.toString();
    const QString path = options_.cliPath();
    // Asked now: a trial that failed while this download ran may have refused this very build.
    const bool refusedBuild = record.refuses(build.sha256, refusedThisSession_);
    if (refusedBuild && !offerRefused_) {
        QFile::remove(result.file);
        const QString why = QStringLiteral("this build (SHA-256 %1) failed at its first start "
                                           "before and was rolled back")
                                .arg(build.sha256.left(12));
        log_.error(QStringLiteral("❌ Download error: ") + why);
        return finish(Outcome::Failed, QStringLiteral("Download failed: ") + why);
    }
    // A server that ignores the conditional request sends the installed build again: nothing
    // is replaced, tried or restarted, and its tags are kept for the next request.
    if (!record.installed.sha256.isEmpty() && build.sha256 == record.installed.sha256 &&
        QFileInfo(path).isFile()) {
        QFile::remove(result.file);
        record_.changeOrWarn([&](CliMetadata& r) {
            r.installed = build;
            r.url = url;
        });
        if (!record.staged.isEmpty())
            dropStaged(QStringLiteral("ℹ️ The server offers the running build again"));
        else
            log_.info(QStringLiteral("ℹ️ CLI is already up to date: the server sent the "
                                     "installed build again (SHA-256 %1)")
                          .arg(build.sha256.left(12)));
        return finish(Outcome::Unchanged);
    }
    if (!record.staged.isEmpty() && build.sha256 == record.staged.sha256) {
        QFile::remove(result.file);
        record_.changeOrWarn([&](CliMetadata& r) { r.staged = build; });
        return onNothingNew(build.etag);
    }
    if (mode_ == Mode::Stage && QFileInfo(path).isFile())
        return stage(result);

    SupervisorState installing;
    installing.phase = SupervisorState::Phase::Installing;
    Q_EMIT stateChanged(installing);
    QString error = makeDurable(result.file);
    bool halted = false;
    const bool done =
        error.isEmpty() && put(result.file, url, build, refusedBuild, &error, &halted);
    if (halted)
        return;
    if (!done) {
        QFile::remove(result.file);
        return finish(Outcome::Failed, installError(error));
    }
    // The staged build is older than the one just installed.
    if (!record.staged.isEmpty())
        dropStaged(QStringLiteral("ℹ️ A newer build is installed"));
    if (isUpdate_) {
        log_.info(QStringLiteral("✅ CLI updated to latest version at ") + path);
        log_.trace(QStringLiteral("✅ CLI updated successfully"));
    } else {
        log_.info(QStringLiteral("✅ CLI installed at ") + path);
        log_.trace(QStringLiteral("✅ CLI installed successfully"));
    }
    log_.info(QStringLiteral("ℹ️ Build: ") + record.installed.describe());
    finish(Outcome::Installed);
}

void CliInstaller::onNothingNew(const QString& etag) {
    const CliMetadata& record = record_.get();
    if (record.staged.isEmpty()) {
        log_.info(QStringLiteral("ℹ️ CLI is already up to date"));
        return finish(InstallResult::Outcome::Unchanged);
    }
    // The tag the server answered with says which build it offers.
    if (!etag.isEmpty() && etag == record.installed.etag && etag != record.staged.etag) {
        dropStaged(QStringLiteral("ℹ️ The server offers the running build again"));
        return finish(InstallResult::Outcome::Unchanged);
    }
    if (mode_ == Mode::Install) {
        if (applyStaged())
            return finish(InstallResult::Outcome::Installed);
        if (halted_)
            return;
    }
    if (!record.staged.isEmpty())
        log_.info(
            QStringLiteral("ℹ️ The staged build (%1) is still the latest: it runs from the "
                           "next start of the CLI")
                .arg(record.staged.describe()));
    finish(InstallResult::Outcome::Unchanged);
}

void CliInstaller::stage(const DownloadResult& result) {
    const QString path = options_.stagedCliPath();
    QString error = makeDurable(result.file);
    // Replaces an older staged build in one step; the record follows, and a start after a crash
    // between the two finds a file the record does not describe and drops it.
    if (error.isEmpty() && std::rename(QFile::encodeName(result.file).constData(),
                                       QFile::encodeName(path).constData()) != 0)
        error = QString::fromLocal8Bit(std::strerror(errno));
    if (!error.isEmpty()) {
        QFile::remove(result.file);
        return finish(InstallResult::Outcome::Failed, installError(error));
    }
    const QString url = downloadUrl().toString();
    record_.changeOrWarn([&](CliMetadata& r) {
        r.staged = result.build;
        r.stagedUrl = url;
    });
    log_.info(QStringLiteral("✅ A new build is ready (%1): it runs from the next start of the CLI")
                  .arg(result.build.describe()));
    finish(InstallResult::Outcome::Staged);
}

void CliInstaller::dropStaged(const QString& why) {
    const QString staged = record_.get().staged.describe();
    QFile::remove(options_.stagedCliPath());
    record_.changeOrWarn([](CliMetadata& r) {
        r.staged = {};
        r.stagedUrl.clear();
    });
    log_.info(QStringLiteral("%1: dropped the staged build (%2)").arg(why, staged));
}

bool CliInstaller::applyStaged() {
    const CliMetadata& record = record_.get();
    if (record.staged.isEmpty())
        return false;
    const CliMetadata::Build staged = record.staged;
    const QString from = options_.stagedCliPath();
    const QFileInfo file(from);
    if (!file.isFile() || file.size() != staged.size) {
        log_.warning(QStringLiteral("⚠️ The staged build is not at %1 as it was verified: "
                                    "dropped it, the next check downloads it again")
                         .arg(from));
        QFile::remove(from);
        record_.changeOrWarn([](CliMetadata& r) {
            r.staged = {};
            r.stagedUrl.clear();
        });
        return false;
    }
    const QString url = record.stagedUrl;
    QString error;
    bool halted = false;
    if (!put(from, url, staged, false, &error, &halted)) {
        if (!halted)
            log_.error(QStringLiteral("❌ Could not put the staged build in place, the installed "
                                      "one stays: ") +
                       error);
        return false;
    }
    log_.info(QStringLiteral("✅ CLI updated to the staged build at ") + options_.cliPath());
    log_.info(QStringLiteral("ℹ️ Build: ") + record.installed.describe());
    return true;
}

bool CliInstaller::put(const QString& from, const QString& url, const CliMetadata::Build& build,
                       bool clearRefusal, QString* error, bool* halted) {
    using Step = CliMetadata::Step;
    // The build kept beside the new one is the last that passed its trial: one still on trial
    // leaves the older, proven one in place.
    const bool keepInstalled = QFileInfo(options_.cliPath()).isFile() && !record_.get().trial;
    const CliMetadata before = record_.get();
    // The intent goes first, so a start after a crash at any later step knows both builds.
    if (const QString saveError = record_.changeOrUndo([&](CliMetadata& r) {
            if (clearRefusal)
                r.clearRefusal();
            r.beginInstall(url, build, keepInstalled);
        });
        !saveError.isEmpty()) {
        *error = QStringLiteral("cannot record the install: ") + saveError;
        return false;
    }
    halted_ = *halted = CliMetadata::haltsAfter(Step::IntentSaved);
    if (*halted)
        return false;
    bool keptPrevious = false;
    switch (install(from, keepInstalled, &keptPrevious, error)) {
    case Result::Halted:
        halted_ = *halted = true;
        return false;
    case Result::Failed:
        record_.changeOrWarn([&before](CliMetadata& r) { r = before; });
        return false;
    case Result::Done:
        break;
    }
    record_.changeOrWarn([&](CliMetadata& r) { r.finishInstall(options_, keptPrevious); });
    halted_ = *halted = CliMetadata::haltsAfter(Step::Recorded);
    return !*halted;
}

QString CliInstaller::makeDurable(const QString& path) {
    QFile file(path);
    errno = 0;
    if (!file.open(QIODevice::ReadOnly) || ::fsync(file.handle()) != 0) {
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

CliInstaller::Result CliInstaller::install(const QString& from, bool keepInstalled,
                                           bool* keptPrevious, QString* error) {
    using Step = CliMetadata::Step;
    const QString path = options_.cliPath();
    const bool replacing = QFileInfo::exists(path);
    const QString previous = options_.previousCliPath();
    if (replacing)
        log_.trace(QStringLiteral("🗑️ Removing existing binary at ") + path);
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
    if (std::rename(QFile::encodeName(from).constData(), QFile::encodeName(path).constData()) !=
        0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        if (staging)
            QFile::remove(staged);
        return Result::Failed;
    }
    if (CliMetadata::haltsAfter(Step::Renamed))
        return Result::Halted;
    *keptPrevious = staging && std::rename(QFile::encodeName(staged).constData(),
                                           QFile::encodeName(previous).constData()) == 0;
    if (staging && !*keptPrevious) {
        log_.warning(QStringLiteral("⚠️ Could not keep the previous build at %1: %2; the new "
                                    "build cannot be rolled back")
                         .arg(previous, QString::fromLocal8Bit(std::strerror(errno))));
        QFile::remove(staged);
    }
    if (CliMetadata::haltsAfter(Step::PreviousKept))
        return Result::Halted;
    if (replacing)
        log_.info(QStringLiteral("🗑️ Removed existing CLI binary"));
    return Result::Done;
}
