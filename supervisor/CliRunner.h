#pragma once

#include "CliEnding.h"
#include "CliProcess.h"
#include "OutputLog.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>

#include <sys/types.h>

class ProcessWaiter;

// Starts the installed CLI in a login shell (zsh, else bash) with colour forced on, carries
// its output into the output log, reports its end, and stops it with everything it started.
// It runs one CLI at a time and does not decide when: whoever owns the life cycle does.
class CliRunner final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliRunner)

public:
    CliRunner(const SupervisorOptions& options, OutputLog* log, QObject* parent = nullptr);
    ~CliRunner() override;

    CliProcess* currentProcess() const { return currentProcess_; }
    bool isRunning() const;
    // Whether the installed CLI is there to be started.
    bool isRunnable() const;

    // Starts the installed CLI; says in the log why not when it cannot. Never while one runs.
    void runCLI();
    void runCLIInShell(const QString& shell);
    // Whether there is anything of ours left to stop.
    bool hasSomethingToStop();
    // SIGTERM to every group of ours and to what left them, SIGKILL to what is left after
    // stopTimeoutMs; stopped() once all of it is gone and the shell's end was reported.
    void stop();
    // The last resort on the way out: SIGKILL to all of it, without waiting.
    void killNow();

    static constexpr int killWaitMs = 300;

Q_SIGNALS:
    void stateChanged(const SupervisorState& state);
    // The CLI's run is over (a fallback to bash is part of the same run).
    void ended(const CliEnding& ending);
    // A stop has ended; forced when SIGKILL was needed.
    void stopped(bool forced);

private:
    void onProcessFinished(CliProcess* process);
    void onWaitOver(bool allGone);
    void finishStopIfDone();
    void forgetDeadGroups();
    // Live descendants of this process that carry this runner's lineage entry.
    QList<pid_t> detachedDescendants() const;

    SupervisorOptions options_;
    OutputLog* log_;
    OutputLog::Writer say_;
    QPointer<CliProcess> currentProcess_;
    QElapsedTimer runStarted_; // the run's first shell, so a fallback counts with it
    // Kept apart from shell processes: a CLI's group can outlive its shell.
    QList<pid_t> ownedGroups_;
    QByteArray lineage_; // "NAME=value" in the environment of this runner's CLIs
    ProcessWaiter* waiter_;
    // The stop in progress: the shell it ends, whose exit step must come first.
    bool stopping_ = false;
    bool forced_ = false;
    bool waitOver_ = false;
    QPointer<CliProcess> stopTarget_;
};
