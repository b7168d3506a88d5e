#pragma once

#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "output/Logger.h"
#include "output/OutputLog.h"
#include "process/CliEnding.h"
#include "process/CliProcess.h"

#include <QDeadlineTimer>
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
    // The one stop: what it ends is worked out once (the CLI's groups, and what left them), each
    // process gets one SIGTERM, by its group or else by its PID, and what is left at
    // stopTimeoutMs gets SIGKILL; stopped() once all of it is gone and the shell's end was
    // reported.
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
    // What the CLIs started outside their groups, found by ancestry (this process is their
    // subreaper), never another runner's CLI.
    QList<pid_t> strays() const;

    SupervisorOptions options_;
    OutputLog* output_;
    Logger log_;
    QPointer<CliProcess> currentProcess_;
    QElapsedTimer runStarted_; // the run's first shell, so a fallback counts with it
    // Kept apart from shell processes: a CLI's group can outlive its shell.
    QList<pid_t> ownedGroups_;
    ProcessWaiter* waiter_;
    // The stop in progress: the shell it ends, whose exit step must come first.
    bool stopping_ = false;
    bool forced_ = false;
    bool waitOver_ = false;
    bool lookedAgain_ = false; // for what detached as the stop began
    QDeadlineTimer graceEnds_;
    QPointer<CliProcess> stopTarget_;
    QList<pid_t> stopStrays_; // signalled by PID, tracked for an emergency until the stop ends
};
