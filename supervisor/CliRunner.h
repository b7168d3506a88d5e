#pragma once

#include "CliProcess.h"
#include "OutputLog.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"

#include <QList>
#include <QObject>
#include <QPointer>

#include <sys/types.h>

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

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);

private:
    void onProcessFinished(CliProcess* process);
    void forgetDeadGroups();
    bool allGone(const CliProcess* process);
    // The process may be deleted while the event loop waits; the pointer notices.
    bool waitUntilGone(const QPointer<CliProcess>& process, int timeoutMs);

    SupervisorOptions options_;
    OutputLog* log_;
    OutputLog::Writer say_;
    QPointer<CliProcess> currentProcess_;
    // Kept apart from shell processes: a CLI's group can outlive its shell.
    QList<pid_t> ownedGroups_;
};
