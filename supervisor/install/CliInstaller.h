#pragma once

#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "install/BuildRecord.h"
#include "install/CliDownload.h"
#include "install/InstallResult.h"
#include "output/Logger.h"

#include <QObject>
#include <QPointer>
#include <QSslConfiguration>

#include <optional>

class QNetworkAccessManager;

// Puts the latest CLI build into the install folder: one download at a time, over https only,
// replacing the installed CLI only with a complete, executable file, by a rename, so it stays
// whole and runnable until then. While the CLI runs, a newer build is staged beside it instead
// and put in place at its next start. Keeps the last build that passed its trial beside the
// installed one, and owns the record of all of them.
class CliInstaller final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliInstaller)

public:
    enum class Mode {
        Install, // a new build replaces the installed one
        Stage,   // a check, or the CLI runs: a new build waits beside it for its next start
    };

    CliInstaller(const SupervisorOptions& options, Logger log, QObject* parent = nullptr);
    ~CliInstaller() override;

    // This build's CLI asset on the server, e.g. "vantrel-linux-amd64".
    static QString assetName();
    bool isInstalling() const;
    // The download record's one owner.
    BuildRecord& record() { return record_; }

    // Says in the output log what failed and where; returns that, or empty.
    QString createInstallDirectory();
    // Checks for a newer build; finished() reports the result. offerRefused: the user asked, so
    // a build refused after a failed trial is offered once more; refusedThisSession: refusals
    // that could not be saved. Install mode with a build staged and nothing newer on the
    // server puts the staged build in place.
    void installCLI(bool offerRefused = false, const QStringList& refusedThisSession = {},
                    Mode mode = Mode::Install);
    // The CLI started while the download in progress runs: a new build it brings is staged.
    void stageWhenVerified();
    // Puts the staged build in place, the installed one kept as the previous build, and on
    // trial: synchronous, files only, finished after a crash at any step by the next start.
    // False when there is none or it could not be (the output log says why).
    bool applyStaged();
    // The staged build's facts (size, SHA-256, date), or an empty build.
    CliMetadata::Build stagedBuild() { return record_.get().staged; }
    // Ends the download in progress at once, leaving no temporary file; finished() does not come.
    void cancel();
    // Opens the connection to the download server ahead of the download (TLS included), so
    // the download can start on a warm connection.
    void prepare();

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    void finished(const InstallResult& result);
    // The download is still going earlyStartMs after it began.
    void slow();

private:
    enum class Result { Done, Failed, Halted };

    void onDownloadFinished(const DownloadResult& result);
    // Reports the end of a check.
    void finish(InstallResult::Outcome outcome, const QString& reason = {}, int retryAfter = -1);
    // The server has nothing newer than what is at hand.
    void onNothingNew(const QString& etag);
    // A verified build that is neither the installed nor the staged one.
    void stage(const DownloadResult& result);
    void dropStaged(const QString& why);
    // Says what failed; returns the reason for finished().
    QString installError(const QString& error);
    // Makes the file durable and executable; returns why not, or empty.
    static QString makeDurable(const QString& path);
    // Puts the file at `from` in place as `build`, the intent saved first; false when it did
    // not (the output log says why) or the test hook stopped it.
    bool put(const QString& from, const QString& url, const CliMetadata::Build& build,
             bool clearRefusal, QString* error, bool* halted);
    // The renames, after the intent was saved; keepInstalled: the build it replaces is to
    // become the previous one, and keptPrevious says whether it did. Halted: the test hook
    // stopped it, as a kill would.
    Result install(const QString& from, bool keepInstalled, bool* keptPrevious, QString* error);
    DownloadRequest request(bool offerRefused);
    QUrl downloadUrl() const;
    QNetworkAccessManager* network();
    // The system's authorities and the development override's, read once for the warm-up
    // and every download alike.
    const QSslConfiguration& tls();

    SupervisorOptions options_;
    Logger log_;
    BuildRecord record_;
    QNetworkAccessManager* network_ = nullptr;
    std::optional<QSslConfiguration> tls_;
    bool extraCaUnreadable_ = false;
    bool isUpdate_ = false; // a CLI was installed when the download began
    Mode mode_ = Mode::Install;
    bool offerRefused_ = false;
    bool halted_ = false; // the test hook stopped an install, as a kill would
    QStringList refusedThisSession_;
    QPointer<CliDownload> download_; // the one download in progress
};
