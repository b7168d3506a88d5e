#pragma once

#include "BuildRollback.h"
#include "CliProcess.h"
#include "OutputLog.h"
#include "RestartPolicy.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

#include <sys/types.h>

class CliInstaller;
class CliRunner;
struct CliEnding;

// The supervisor of the one vantrel CLI: installs it, runs it in a login shell, carries its
// output into the output log, and stops it. Owns the parts that do each of these.
class VantrelManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VantrelManager)
    Q_PROPERTY(SupervisorState state READ state NOTIFY stateChanged)

public:
    using OutputHandler = OutputLog::Writer;

    explicit VantrelManager(SupervisorOptions options = SupervisorOptions::fromEnvironment(),
                            QObject* parent = nullptr);
    ~VantrelManager() override;

    // The process-wide instance, created on first use on the main thread.
    static VantrelManager* shared();

    // The retained tail of the output log: whole lines, at most the configured bounds. The
    // complete log is in logFilePath().
    QString output() const { return log_->text(); }
    qsizetype outputSize() const { return log_->size(); }
    const OutputLog& outputLog() const { return *log_; }
    OutputLog& outputLog() { return *log_; }
    // Writes one chunk to the output log. Callable from any thread; returns at once.
    const OutputHandler outputHandler;

    QString installDir() const { return options_.installDir; }
    QString cliPath() const { return options_.cliPath(); }
    QUrl baseURL() const { return options_.baseURL; }
    QString logFilePath() const { return log_->filePath(); }
    const SupervisorOptions& options() const { return options_; }
    SupervisorState state() const { return state_; }
    // The running CLI's shell process, or null.
    CliProcess* currentProcess() const;
    bool isInstalling() const;
    // This build's CLI asset on the server, e.g. "vantrel-linux-amd64".
    static QString assetName();

    void createInstallDirectory();
    void downloadAndRunCLI();
    void installCLI();
    void runCLI();
    void runCLIInShell(const QString& shell);
    void killExistingProcesses();
    static QList<pid_t> parsePgrepOutput(const QString& text);
    // Stops the CLI: SIGTERM to its process group, up to stopTimeoutMs, then SIGKILL.
    void cleanup();
    // Stops the CLI as cleanup does and starts the installed build again, with the count of
    // crashes cleared.
    void restartCLI();
    // A restart after an unexpected end is waiting for its delay.
    bool restartPending() const { return restartTimer_.isActive(); }
    // Puts everything written so far into the log file now (also done by cleanup).
    void flushLog();

Q_SIGNALS:
    // The text just appended to the output log, in order; one signal per hand-over batch.
    void outputAppended(const QString& batch);
    void stateChanged(const SupervisorState& state);
    // An installation request has ended: ok, or failed with reason.
    void installFinished(bool ok, const QString& reason);
    // Something rare and serious the user should hear about even with the window closed;
    // emitted once per event.
    void attentionNeeded(const QString& summary, const QString& body);

private:
    VantrelManager(SupervisorOptions options, OutputLog* log, QObject* parent);
    // Takes the phase from `state`; what is installed and the notice carry over.
    void setState(SupervisorState state);
    void setBuild(const QString& build);
    void setNotice(const QString& notice, bool problem);
    void finishInstall(bool ok, const QString& reason, bool replaced);
    void onCliEnded(const CliEnding& ending);
    // True when a new build failed at its first start and the previous one is starting again.
    bool rollBackIfNeeded(const CliEnding& ending);
    void startEarly();

    SupervisorOptions options_;
    OutputLog* log_;
    CliRunner* runner_;
    CliInstaller* installer_;
    SupervisorState state_;
    RestartPolicy restarts_;
    QTimer restartTimer_;
    BuildRollback rollback_;
    bool startedEarly_ = false;
};
