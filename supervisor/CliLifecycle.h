#pragma once

#include "RestartPolicy.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "install/BuildRollback.h"
#include "install/InstallResult.h"
#include "output/OutputLog.h"
#include "process/CliEnding.h"

#include <QObject>
#include <QTimer>

class CliInstaller;
class CliRunner;
class ProcessSweep;

// The one owner of the CLI's life cycle. Every request (start, restart, update, a finished
// download, a rollback, a timer, cleanup) is an input here, and the stage it arrives in decides
// what it does: it is applied, held until the stop in progress has ended, merged with the same
// request already pending, or refused with a line in the output log. Only enter() changes the
// stage. Nothing here waits: stops and sweeps report their end by signals.
//
//   Idle ──start──▶ Running ──ended by itself──▶ Stopping (leftovers) ──▶ WaitingToRestart
//     │               │  ▲                                 │                   │ timer
//     │               │  └────────────── start ◀───────────┴───────────────────┘
//     │               └─restart/update──▶ Stopping ──▶ Running
//   Sweeping ──▶ Downloading ──failed, no CLI──▶ WaitingForInstall ──timer/network──▶ Downloading
//   any ──cleanup──▶ ShuttingDown ──stopped──▶ Finished (refuses everything after)
//   (cleanup while Sweeping lets the sweep finish its SIGKILLs, then stops the CLI's leftovers)
class CliLifecycle final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliLifecycle)

public:
    enum class Stage {
        Idle,              // no CLI running, nothing planned
        Sweeping,          // ending stale CLIs before the start-up download
        Downloading,       // the start-up or a retried download, no CLI running yet
        Running,           // a CLI runs (a download may run beside it)
        Stopping,          // our stop is in progress; what comes after it waits
        WaitingToRestart,  // a crashed CLI starts again when the delay is over
        WaitingForInstall, // no runnable CLI and the download failed: retrying
        GivenUp,           // it kept crashing; only the user starts it again
        ShuttingDown,      // cleanup's stop is in progress
        Finished,          // cleaned up: the application is leaving
    };
    Q_ENUM(Stage)

    CliLifecycle(const SupervisorOptions& options, CliRunner* runner, CliInstaller* installer,
                 OutputLog::Writer say, QObject* parent = nullptr);
    ~CliLifecycle() override;

    Stage stage() const { return stage_; }
    const SupervisorState& state() const { return state_; }
    bool restartPending() const { return restartTimer_.isActive(); }

    // The inputs.
    void downloadAndRunCLI();
    void killExistingProcesses();
    // A check for a newer build, as at launch; userAsked: Update CLI, which offers a build
    // refused after a failed trial once more.
    void download(bool userAsked);
    void runCLI();
    void restartCLI();
    void cleanup();
    void networkReachable();

    void setState(SupervisorState state);

Q_SIGNALS:
    void stageChanged(CliLifecycle::Stage stage);
    void stateChanged(const SupervisorState& state);
    void installFinished(bool ok, const QString& reason);
    void attentionNeeded(const QString& summary, const QString& body);
    // cleanup() has stopped everything; comes from the event loop, once per cleanup().
    void cleanupFinished();

private:
    enum class After { Idle, Start, RestartLater, GiveUp, Quit };

    void enter(Stage stage);
    bool refusedWhileLeaving(const QString& request);
    void stopThen(After after);
    void apply(After after);
    void startNow();
    void sweep(bool thenDownload);
    void onSweepFinished();
    void onInstallFinished(const InstallResult& result);
    void onDownloadSlow();
    void onCliEnded(const CliEnding& ending);
    void onStopped();
    void giveUp(const CliEnding& ending);
    void clearGiveUp();
    void retryInstallLater(const QString& reason);
    void clearInstallProblem();
    void stopForQuit();
    void finishCleanup();
    void setBuild(const QString& build);
    void setNotice(const QString& notice, bool problem);

    SupervisorOptions options_;
    CliRunner* runner_;
    CliInstaller* installer_;
    OutputLog::Writer say_;
    ProcessSweep* sweep_;
    Stage stage_ = Stage::Idle;
    SupervisorState state_;
    RestartPolicy restarts_;
    BuildRollback rollback_;
    After afterStop_ = After::Idle;
    int restartDelayMs_ = 0;
    bool sweepThenDownload_ = false;
    bool startedEarly_ = false;
    bool runIsTrial_ = false;
    QTimer restartTimer_;
    QTimer trialTimer_;
    QTimer installRetryTimer_;
    QTimer installNotifyTimer_;
    int installRetryDelayMs_;
    bool installNotified_ = false;
    QString installReason_;
    QString giveUpNotice_;
};
