#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// What the supervisor is doing right now, for the tray tooltip and the window's status line.
struct SupervisorState {
    enum class Phase {
        Idle,
        Sweeping,
        Downloading,
        Installing,
        Running,
        Stopping,
        Restarting,
        Exited,
        Failed
    };

    Phase phase = Phase::Idle;
    qint64 received = 0; // bytes, while downloading
    qint64 total = -1;   // bytes, -1 when the server did not say
    QString ending;      // when exited: CliEnding::cause(), "exited with code 2"
    int delayMs = 0;     // when restarting: the delay before the start
    QString reason;      // when failed
    // Kept across phases: what is installed, and a word for the user when something went wrong
    // (problem: the tray shows it).
    QString build;
    QString notice;
    bool problem = false;
    QDateTime runningSince; // invalid when no CLI runs
    // A verified build waiting for the next start: "12.3 MB, SHA-256 ab12cd34…, built
    // 2026-12-08 14:02"; empty when none.
    QString stagedBuild;
    QDateTime lastCheck; // invalid before the first check
    // "up to date", "new build ready", or the failure's reason.
    QString lastCheckResult;

    // One short human line: "Downloading 40 % (8.0 MB of 20.0 MB)", "Running since 09:14",
    // "Exited with code 2", "Download failed: ...", then the build, a staged build and the
    // notice when there are any.
    QString summary() const;
    // "Last checked for a new build 14:02: up to date"; empty before the first check.
    QString checkSummary() const;
    static SupervisorState of(Phase phase) {
        SupervisorState state;
        state.phase = phase;
        return state;
    }

    bool operator==(const SupervisorState&) const = default;
};

Q_DECLARE_METATYPE(SupervisorState)

// "20.0 MB", "512 B": sizes as people read them.
QString humanSize(qint64 bytes);
// "14:02" today, "2026-12-08 14:02" on another day: a moment as people read it.
QString humanTime(const QDateTime& moment);
// "1", "2.5", "600": a delay in seconds, for "in %1 s".
QString humanSeconds(int ms);
