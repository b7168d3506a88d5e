#pragma once

#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "install/CliDownload.h"
#include "output/OutputLog.h"

#include <QObject>
#include <QPointer>
#include <QSslConfiguration>

#include <optional>

class QNetworkAccessManager;

// Puts the latest CLI build into the install folder: one download at a time, over https only,
// replacing the installed CLI only with a complete, executable file, by a rename, so it stays
// whole and runnable until then. Keeps the last build that passed its trial beside it, and the
// record of both.
class CliInstaller final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliInstaller)

public:
    CliInstaller(const SupervisorOptions& options, OutputLog::Writer say,
                 QObject* parent = nullptr);
    ~CliInstaller() override;

    // This build's CLI asset on the server, e.g. "vantrel-linux-amd64".
    static QString assetName();
    bool isInstalling() const;

    // Says in the output log what failed and where; returns that, or empty.
    QString createInstallDirectory();
    // offerRefused: the user asked, so a build refused after a failed trial is offered once
    // more; refusedThisSession: refusals that could not be saved.
    void installCLI(bool offerRefused = false, const QStringList& refusedThisSession = {});
    // Ends the download in progress at once, leaving no temporary file; finished() does not come.
    void cancel();
    // Opens the connection to the download server ahead of the download (TLS included), so
    // the download can start on a warm connection.
    void prepare();

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    // ok, or failed with reason; replaced when a new file was put at the CLI path.
    void finished(bool ok, const QString& reason, bool replaced);
    // The download is still going earlyStartMs after it began.
    void slow();

private:
    void onDownloadFinished(CliDownload::Outcome outcome, const QString& reason);
    enum class Result { Done, Failed, Halted };

    // Says what failed; returns the reason for finished().
    QString installError(const QString& error);
    // Makes the download durable and executable; returns why not, or empty.
    static QString makeDurable(QTemporaryFile& file);
    // Puts the verified file in place, after its intent was saved; keepInstalled: the build it
    // replaces is to become the previous one, and keptPrevious says whether it did. Halted:
    // the test hook stopped it, as a kill would.
    Result install(QTemporaryFile& file, bool keepInstalled, bool* keptPrevious, QString* error);
    QUrl downloadUrl() const;
    QNetworkAccessManager* network();
    // The system's authorities and the development override's, read once for the warm-up
    // and every download alike.
    const QSslConfiguration& tls();

    SupervisorOptions options_;
    OutputLog::Writer say_;
    QNetworkAccessManager* network_ = nullptr;
    std::optional<QSslConfiguration> tls_;
    bool extraCaUnreadable_ = false;
    bool isUpdate_ = false;          // a CLI was installed when the download began
    QPointer<CliDownload> download_; // the one download in progress
};
