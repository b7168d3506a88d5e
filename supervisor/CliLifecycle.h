#pragma once

#include "RestartPolicy.h"
#include "SupervisorOptions.h"
#include "SupervisorState.h"
#include "install/BuildRollback.h"
#include "install/InstallResult.h"
#include "output/Logger.h"
#include "output/OutputLog.h"
#include "process/CliEnding.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>

#include <array>

class CliInstaller;
class CliRunner;
class ProcessSweep;

// The one owner of the CLI's life cycle. Every request and every report (a stop's end, a
// download's outcome, a timer) is an input, and the table below decides in one place what it
// does in the stage it arrives in. Only enter() changes the stage; what a stage must remember
// (what follows a stop, where a sweep leads, whether a run is a trial, whether a check waits)
// is that stage's own data and is dropped when the stage is left. Nothing here waits: stops,
// sweeps and downloads report their end by signals.
class CliLifecycle final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliLifecycle)

public:
    enum class Stage {
        Idle,              // no CLI running, nothing planned
        Sweeping,          // ending stale CLIs; then the set-up's download, a start, or back
        Downloading,       // a requested download, no CLI running yet: a start follows it
        Running,           // a CLI runs (a download may run beside it)
        Stopping,          // our stop is in progress; what comes after it waits
        WaitingToRestart,  // a crashed CLI starts again when the delay is over
        WaitingForInstall, // no runnable CLI and the download failed: retrying
        GivenUp,           // it kept crashing; only the user starts it again
        ShuttingDown,      // cleanup's stop (or the sweep before it) is in progress
        Finished,          // cleaned up: the application is leaving
    };
    Q_ENUM(Stage)
    static constexpr int kStages = int(Stage::Finished) + 1;

    enum class Input {
        // Requests.
        SetUp,       // downloadAndRunCLI: sweep, download, start
        Sweep,       // killExistingProcesses
        Check,       // a check for a newer build, in the background
        Update,      // the user's Update CLI: check now and switch now
        Install,     // installCLI: as the set-up downloads when no CLI runs, else a check
        Run,         // runCLI
        Restart,     // restartCLI
        Cleanup,     // the way out
        NetworkBack, // the network came back
        // Reports.
        SweepDone,
        DownloadSlow, // the set-up's download is still going after earlyStartMs
        Installed,    // a download put a new build in place
        Staged,       // a download kept a new build beside the running CLI
        Unchanged,    // the installed build is current
        Failed,       // a download failed
        CliEnded,     // the CLI ended without being asked to
        Stopped,      // our stop has ended
        RestartDue,
        RetryDue,
        TrialPassed,
        NotifyDue, // the download kept failing for installNotifyMs
    };
    Q_ENUM(Input)
    static constexpr int kInputs = int(Input::NotifyDue) + 1;

    // What an input does in a stage: applied (by the step named), held until the stop or sweep
    // in progress has ended, merged with the same request already pending, refused with a line
    // in the output log, or ignored (a report that no longer concerns the stage).
    enum class Outcome { Apply, Hold, Merge, Refuse, Ignore };
    enum class Step {
        None,
        SetUp,      // "Starting Vantrel CLI setup", sweep, then download
        SweepOnly,  // sweep, then back where it came from (Idle, GivenUp)
        Check,      // download that stages what it finds; the periodic one waits for a trial
        Update,     // download that switches to the new build; Downloading when nothing runs
        Start,      // clears a give-up; stops what runs, then starts
        Restart,    // the same, saying so
        Quit,       // ends everything; Finished when done
        Retry,      // download again (Downloading)
        AfterSweep, // the sweep's plan: download, start, back, or the quit's stop
        StartEarly, // the installed CLI starts; the download goes on beside it
        TakeBuild,  // a download that switches starts the new build; one that doesn't waits
        Current,    // a download that switches starts what is installed (a fresh start)
        NoBuild,    // a download failed: keep what runs, start what is installed, or retry
        Ended,      // trial judged, then restart later, give up, or stay idle
        AfterStop,  // what the stop held
        StartDue,
        PassTrial,
        Notify,
    };
    enum class Why { None, Quitting, SetUpUnderWay, RunUnderWay, AfterSetUp };
    // No default: a row or a column left out of the table does not compile.
    struct Cell {
        constexpr Cell(Outcome o, Step s, Why w) : outcome(o), step(s), why(w) {}
        Outcome outcome;
        Step step;
        Why why;
    };

    // The table, below the class.
    static constexpr Cell cell(Stage stage, Input input);

    CliLifecycle(const SupervisorOptions& options, CliRunner* runner, CliInstaller* installer,
                 OutputLog::Writer say, QObject* parent = nullptr);
    ~CliLifecycle() override;

    Stage stage() const { return stage_; }
    const SupervisorState& state() const { return state_; }
    bool restartPending() const { return restartTimer_.isActive(); }

    // Hands a request to the table.
    void request(Input input) { handle(input); }

Q_SIGNALS:
    void stageChanged(CliLifecycle::Stage stage);
    void stateChanged(const SupervisorState& state);
    // retryAfterSeconds: how long the server asked to wait before the next check, -1 not said.
    void installFinished(bool ok, const QString& reason, int retryAfterSeconds);
    void attentionNeeded(const QString& summary, const QString& body);
    // cleanup() has stopped everything; comes from the event loop, once per cleanup().
    void cleanupFinished();

private:
    // What follows a stop, or a sweep.
    enum class Then { Idle, Start, RestartLater, GiveUp, Quit, Download, GivenUp };
    // What the stage in force remembers; enter() starts it afresh.
    struct StageData {
        Then then = Then::Idle;     // Stopping, ShuttingDown, Sweeping
        Input waiting = Input::Run; // Check or Update held until the stop, sweep or trial ends
        bool downloadWaits = false;
        bool trial = false; // Running: this run is the installed build's trial
        int cleanups = 0;   // ShuttingDown: cleanup() calls still to be answered
    };
    // What the supervisor shows besides the stage, each with one writer.
    struct Facts {
        qint64 received = -1; // the download beside or before: bytes so far, -1: none
        qint64 total = -1;
        bool installing = false;
        QString ending;  // how the last run ended
        QString failure; // why the last download or start failed
        int delayMs = 0; // the restart's delay
        QDateTime runningSince;
        QDateTime lastCheck; // when the last download reported its outcome
        QString lastCheckResult;
    };
    struct Notice {
        enum class Kind { None, GaveUp, RolledBack, NoCli } kind = Kind::None;
        QString text;
    };

    // Tests only: the walk over the table hands reports straight to handle().
    friend class TestSupervisor;
    void handle(Input input);
    void apply(Step step, Input input);
    void hold(Input input);
    static QString requestName(Input input);
    void enter(Stage stage);
    void enter(Stage stage, StageData data);
    void stopThen(Then then);
    void after(Then then);
    void startNow();
    void startFresh(bool sayRestart);
    void sweep(Then then);
    // switches: the new build starts once in place; userAsked: a build refused after a failed
    // trial is offered once more.
    void download(bool switches, bool userAsked);
    void takeBuild();
    void onInstallFinished(const InstallResult& result);
    void onPartState(const SupervisorState& part);
    void onCliEnded(const CliEnding& ending);
    void cliEnded();
    void giveUp(const CliEnding& ending);
    void freshStart();
    void retryInstallLater(const QString& reason);
    void clearInstallProblem();
    void quit();
    // cleanups: how many cleanup() calls the end answers.
    void stopForQuit(int cleanups);
    void finishCleanup(int cleanups);
    void setNotice(Notice notice);
    // The one writer of state_: derived from the stage, its data and the facts.
    void publish();

    SupervisorOptions options_;
    CliRunner* runner_;
    CliInstaller* installer_;
    Logger log_;
    ProcessSweep* sweep_;
    Stage stage_ = Stage::Idle;
    StageData data_;
    Facts facts_;
    Notice notice_;
    SupervisorState state_;
    RestartPolicy restarts_;
    BuildRollback rollback_;
    // The download in progress switches to its build when it ends (the set-up's, the user's,
    // a retry's), or leaves it for the next start (a check, or the set-up's once a CLI started
    // early).
    bool downloadSwitches_ = false;
    CliEnding lastEnding_;
    QTimer restartTimer_;
    QTimer trialTimer_;
    QTimer installRetryTimer_;
    QTimer installNotifyTimer_;
    int installRetryDelayMs_;
};

// What each input does in each stage. A(step): applied; H: held until the stop or the sweep in
// progress has ended (a start becomes what follows it, a download waits for it); M: merged with
// the same request already pending; R(why), Q: refused with a line in the output log naming
// why (Q: the application is quitting); I: ignored, a report that no longer concerns the stage.
// A download's outcome depends on who asked for it besides the stage: one that switches (the
// set-up's, the user's, a retry's) starts the new build; a check's leaves it for the next start.
namespace CliLifecycleTable {
using Cell = CliLifecycle::Cell;
using S = CliLifecycle::Step;
using W = CliLifecycle::Why;
using enum CliLifecycle::Step;
constexpr Cell A(S step) {
    return {CliLifecycle::Outcome::Apply, step, W::None};
}
constexpr Cell H() {
    return {CliLifecycle::Outcome::Hold, S::None, W::None};
}
constexpr Cell M() {
    return {CliLifecycle::Outcome::Merge, S::None, W::None};
}
constexpr Cell R(W why) {
    return {CliLifecycle::Outcome::Refuse, S::None, why};
}
constexpr Cell I() {
    return {CliLifecycle::Outcome::Ignore, S::None, W::None};
}
constexpr Cell Q = R(W::Quitting);         // the application is quitting
constexpr Cell Busy = R(W::SetUpUnderWay); // the set-up is already under way
constexpr Cell Ours = R(W::RunUnderWay);   // no sweep while the CLI's own run is under way
constexpr Cell Later = R(W::AfterSetUp);   // the CLI starts once its set-up is done
// clang-format off
inline constexpr std::array<std::array<Cell, CliLifecycle::kStages>, CliLifecycle::kInputs> kRows{{
    //             Idle          Sweeping       Downloading    Running       Stopping      WaitRestart   WaitInstall   GivenUp       ShutDown       Finished
    /*SetUp      */ {A(SetUp),     Busy,          Busy,          Busy,         Busy,         Busy,         A(SetUp),     A(SetUp),     Q,             Q},
    /*Sweep      */ {A(SweepOnly), M(),           Ours,          Ours,         Ours,         Ours,         Ours,         A(SweepOnly), Q,             Q},
    /*Check      */ {A(Check),     H(),           M(),           A(Check),     H(),          A(Check),     A(Retry),     A(Check),     Q,             Q},
    /*Update     */ {A(Update),    H(),           M(),           A(Update),    H(),          A(Update),    A(Update),    A(Update),    Q,             Q},
    /*Install    */ {A(Update),    H(),           M(),           A(Check),     H(),          A(Check),     A(Update),    A(Check),     Q,             Q},
    /*Run        */ {A(Start),     H(),           Later,         A(Start),     H(),          A(Start),     A(Start),     A(Start),     Q,             Q},
    /*Restart    */ {A(Restart),   H(),           Later,         A(Restart),   H(),          A(Restart),   A(Restart),   A(Restart),   Q,             Q},
    /*Cleanup    */ {A(Quit),      A(Quit),       A(Quit),       A(Quit),      A(Quit),      A(Quit),      A(Quit),      A(Quit),      M(),           A(Quit)},
    /*Network    */ {I(),          I(),           I(),           I(),          I(),          I(),          A(Retry),     I(),          I(),           I()},
    /*SweepDone  */ {I(),          A(AfterSweep), I(),           I(),          I(),          I(),          I(),          I(),          A(AfterSweep), I()},
    /*Slow       */ {I(),          I(),           A(StartEarly), I(),          I(),          I(),          I(),          I(),          I(),           I()},
    /*Installed  */ {A(TakeBuild), H(),           A(TakeBuild),  A(TakeBuild), H(),          A(TakeBuild), A(TakeBuild), A(TakeBuild), I(),           I()},
    /*Staged     */ {A(TakeBuild), H(),           A(TakeBuild),  A(TakeBuild), H(),          A(TakeBuild), A(TakeBuild), A(TakeBuild), I(),           I()},
    /*Unchanged  */ {A(Current),   I(),           A(Current),    A(Current),   I(),          I(),          A(Current),   A(Current),   I(),           I()},
    /*Failed     */ {A(NoBuild),   I(),           A(NoBuild),    A(NoBuild),   I(),          I(),          A(NoBuild),   A(NoBuild),   I(),           I()},
    /*CliEnded   */ {I(),          I(),           I(),           A(Ended),     I(),          I(),          I(),          I(),          I(),           I()},
    /*Stopped    */ {I(),          I(),           I(),           I(),          A(AfterStop), I(),          I(),          I(),          A(AfterStop),  I()},
    /*RestartDue */ {I(),          I(),           I(),           I(),          I(),          A(StartDue),  I(),          I(),          I(),           I()},
    /*RetryDue   */ {I(),          I(),           I(),           I(),          I(),          I(),          A(Retry),     I(),          I(),           I()},
    /*TrialPass  */ {I(),          I(),           I(),           A(PassTrial), I(),          I(),          I(),          I(),          I(),           I()},
    /*NotifyDue  */ {I(),          I(),           A(Notify),     I(),          I(),          I(),          A(Notify),    I(),          I(),           I()},
}};
// clang-format on
} // namespace CliLifecycleTable

constexpr CliLifecycle::Cell CliLifecycle::cell(Stage stage, Input input) {
    return CliLifecycleTable::kRows[std::size_t(input)][std::size_t(stage)];
}
