#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

class Environment;

// Everything the supervisor takes from its surroundings. The defaults come from the user's
// home and the build; tests and the development tools replace what they need.
struct SupervisorOptions {
    QString installDir; // ~/.vantrel/bin
    QString stateDir;   // $XDG_STATE_HOME/halvane: download metadata
    QString logDir;     // $XDG_STATE_HOME/halvane (~/Library/Logs/Vantrel Halvane on macOS)
    QString logFileName = QStringLiteral("cli.log");
    QUrl baseURL;           // https://.../static/cli
    QString caCertificates; // PEM file of extra trusted authorities, or empty
    QString zshPath = QStringLiteral("/bin/zsh");
    QString bashPath = QStringLiteral("/bin/bash");
    QString pgrepPath = QStringLiteral("/usr/bin/pgrep");
    // What the CLI inherits, before colour is forced on.
    QProcessEnvironment cliEnvironment;
    // Narrows the sweep to CLIs at or below this path (a folder or one CLI); empty: all of the
    // user's CLIs. Only tests set it.
    QString sweepRoot;
    // Why the narrowing asked for cannot be used ("HALVANE_SWEEP_ROOT=x is not an absolute
    // path"): then the sweep ends nothing, as narrowing can only ever take CLIs away.
    QString sweepRootProblem;
    int stopTimeoutMs = 2000; // cleanup's grace period before SIGKILL
    int sweepGraceMs = 500;   // the sweep's shared wait after SIGTERM
    // Restarts after unexpected ends: the first delay, doubled up to the longest; a run this
    // long starts over; this many quick ends in a row and restarting stops.
    int restartFirstDelayMs = 1000;
    int restartLongestDelayMs = 60000;
    qint64 restartResetAfterMs = 5 * 60 * 1000;
    int restartLimit = 5;
    int stallTimeoutMs = 30000;           // a download without progress this long is aborted
    int earlyStartMs = 10000;             // then the installed CLI starts without the update
    int downloadLimitMs = 30 * 60 * 1000; // a download still going after this is aborted
    int rollbackWindowMs = 10000;         // a new build failing this early is rolled back
    // With no runnable CLI, a failed download is tried again after this, doubled up to the
    // longest; still failing after installNotifyMs, the user is told once.
    int installRetryFirstMs = 10000;
    int installRetryLongestMs = 10 * 60 * 1000;
    int installNotifyMs = 3 * 60 * 1000;
    qint64 maxDownloadBytes = qint64(512) * 1024 * 1024;
    qsizetype retainedChars = 8 * 1024 * 1024; // 16 MiB of UTF-16
    qsizetype retainedLines = 100000;
    qint64 logRotateBytes = 10 * 1024 * 1024;
    int logKeepFiles = 5;

    QString cliPath() const { return installDir + QStringLiteral("/vantrel"); }
    QString previousCliPath() const { return cliPath() + QStringLiteral(".previous"); }
    // A newer build, verified, waiting beside the running CLI for its next start.
    QString stagedCliPath() const { return cliPath() + QStringLiteral(".staged"); }
    // The installed build while an install makes it the previous one.
    QString stagedPreviousPath() const { return previousCliPath() + QStringLiteral(".staged"); }

    // Defaults for the user the environment describes, with its development overrides applied.
    static SupervisorOptions forUser(const Environment& environment);
};
