#pragma once

#include "CliLifecycle.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "output/OutputLog.h"
#include "process/CliProcess.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>

#include <sys/types.h>

class CliInstaller;
class CliRunner;

// The supervisor of the one vantrel CLI: installs it, runs it in a login shell, carries its
// output into the output log, and stops it. Owns the parts that do each of these.
class VantrelManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VantrelManager)
    Q_PROPERTY(SupervisorState state READ state NOTIFY stateChanged)

public:
    using OutputHandler = OutputLog::Writer;

    explicit VantrelManager(SupervisorOptions options, QObject* parent = nullptr);
    ~VantrelManager() override;

    // The retained tail of the output log: whole lines, at most the configured bounds. The
    // complete log is in logFilePath().
    QString output() const { return log_->text(); }
    const OutputLog& outputLog() const { return *log_; }
    OutputLog& outputLog() { return *log_; }
    // Writes one chunk to the output log. Callable from any thread; returns at once.
    const OutputHandler outputHandler;

    QString installDir() const { return options_.installDir; }
    QString cliPath() const { return options_.cliPath(); }
    QUrl baseURL() const { return options_.baseURL; }
    QString logFilePath() const { return log_->filePath(); }
    const SupervisorOptions& options() const { return options_; }
    SupervisorState state() const { return lifecycle_->state(); }
    CliLifecycle::Stage stage() const { return lifecycle_->stage(); }
    // The running CLI's shell process, or null.
    CliProcess* currentProcess() const;
    bool isInstalling() const;
    // This build's CLI asset on the server, e.g. "vantrel-linux-amd64".
    static QString assetName();

    void createInstallDirectory();
    // Sweeps stale CLIs, then downloads and starts the CLI; returns before the sweep's wait.
    void downloadAndRunCLI();
    // Checks for a newer build, as at launch.
    void installCLI();
    // The periodic check for a newer build: waits while a trial runs, a stop is under way or a
    // download already runs, refused while quitting. A new build it finds is staged for the
    // CLI's next start.
    void checkForUpdate();
    // The user's Update CLI: a build refused after a failed trial is offered once more.
    void updateCLI();
    // Starts the installed CLI; one that runs is stopped first.
    void runCLI();
    void runCLIInShell(const QString& shell);
    // Ends stale CLIs; finishes later, on timers.
    void killExistingProcesses();
    static QList<pid_t> parsePgrepOutput(const QString& text);
    // Stops the CLI (SIGTERM to its process groups, SIGKILL after stopTimeoutMs) and anything
    // planned, for the way out: what is asked afterwards is refused. Returns at once;
    // cleanupFinished() says when it is done.
    void cleanup();
    // Stops the CLI and starts the installed build again, with the count of crashes cleared.
    void restartCLI();
    // The network came back: a download that failed for want of it is tried again.
    void networkReachable();
    // A restart after an unexpected end is waiting for its delay.
    bool restartPending() const { return lifecycle_->restartPending(); }
    // Calls `done` on the main thread, through `context`, once everything written to the
    // output log so far is in the log file (cleanup waits for that too). Returns at once.
    void whenLogWritten(QObject* context, std::function<void()> done);

Q_SIGNALS:
    // The text just appended to the output log, in order; one signal per hand-over batch.
    void outputAppended(const QString& batch);
    void stateChanged(const SupervisorState& state);
    // An installation request or a check has ended: ok, or failed with reason;
    // retryAfterSeconds: how long a busy server asked to wait before the next check, -1 not said.
    void installFinished(bool ok, const QString& reason, int retryAfterSeconds);
    // Something rare and serious the user should hear about even with the window closed;
    // emitted once per event.
    void attentionNeeded(const QString& summary, const QString& body);
    // cleanup() is done: nothing of the CLI runs any more, and its output is in the log file.
    // Once per cleanup().
    void cleanupFinished();

private:
    VantrelManager(SupervisorOptions options, OutputLog* log, QObject* parent);

    SupervisorOptions options_;
    OutputLog* log_;
    CliRunner* runner_;
    CliInstaller* installer_;
    CliLifecycle* lifecycle_;
};
