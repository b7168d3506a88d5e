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
    QDateTime runningSince;
    QString stagedBuild;
    QDateTime lastCheck;
    QString lastCheckResult;

    // One short human line: "Downloading 40 % (8.0 MB of 20.0 MB)", "Running", "Exited with
    // code 2", "Download failed: ...", then the build and the notice when there are any.
    QString summary() const;
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
// "1", "2.5", "600": a delay in seconds, for "in %1 s".
QString humanSeconds(int ms);
