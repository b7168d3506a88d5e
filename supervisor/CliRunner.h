#pragma once

#include "CliProcess.h"
#include "OutputLog.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <sys/types.h>

// How a run of the CLI ended, for whoever decides what comes next.
struct CliEnding {
    int exitCode = 0;       // the status, when it exited
    int signal = 0;         // the signal that ended it, or 0
    bool requested = false; // the supervisor asked it to stop
    qint64 ranMs = 0;       // from its start to its end
};

// Starts the installed CLI in a login shell (zsh, else bash) with colour forced on, carries
// its output into the output log, reports its end, and stops it with everything it started.
class CliRunner final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliRunner)

public:
    CliRunner(const SupervisorOptions& options, OutputLog* log, QObject* parent = nullptr);
    ~CliRunner() override;

    CliProcess* currentProcess() const { return currentProcess_; }
    bool isRunning() const;

    void runCLI();
    void runCLIInShell(const QString& shell);
    // Whether there is anything of ours left to stop.
    bool hasSomethingToStop();
    // SIGTERM to every group of ours, up to stopTimeoutMs for all of them to end, then
    // SIGKILL. The event loop does the waiting; returns when done.
    void stop();

    // "⚡️ CLI exited with code 3", "... ended by SIGSEGV (signal 11)": one line for the log.
    static QString describe(const CliEnding& ending);
    // "SIGSEGV" for the common signals, "signal 42" for the rest.
    static QString signalName(int signal);

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    // The CLI's run is over (a fallback to bash is part of the same run).
    void ended(const CliEnding& ending);

private:
    void onProcessFinished(CliProcess* process);
    void forgetDeadGroups();
    bool allGone(const CliProcess* process);
    // The process may be deleted while the event loop waits; the pointer notices.
    bool waitUntilGone(const QPointer<CliProcess>& process, int timeoutMs);
    // Live descendants of this process that carry this runner's lineage entry.
    QList<pid_t> detachedDescendants() const;
    void signalAll(int sig);

    SupervisorOptions options_;
    OutputLog* log_;
    OutputLog::Writer say_;
    QPointer<CliProcess> currentProcess_;
    QElapsedTimer runStarted_; // the run's first shell, so a fallback counts with it
    // Kept apart from shell processes: a CLI's group can outlive its shell.
    QList<pid_t> ownedGroups_;
    QList<pid_t> strays_; // the CLI's detached descendants, while a stop waits for them
    QByteArray lineage_;  // "NAME=value" in the environment of this runner's CLIs
};
