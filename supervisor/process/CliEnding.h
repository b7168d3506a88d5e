#pragma once

#include <QString>

// How a run of the CLI ended, for whoever decides what comes next, and the one wording of it.
struct CliEnding {
    int exitCode = 0;       // the status, when it exited
    int signal = 0;         // the signal that ended it, or 0
    bool requested = false; // the supervisor asked it to stop
    qint64 ranMs = 0;       // from its start to its end

    // The signal behind the end, also when a shell that did not exec the CLI reported it as
    // 128 + n; 0 for an exit.
    int effectiveSignal() const;
    // Ended by one of the signals that mean the program itself broke (SIGSEGV, SIGABRT, ...).
    bool crashed() const;
    // "exited with code 3", "was ended by SIGSEGV (signal 11)".
    QString cause() const;
    // "⚡️ CLI exited with code 3": one line for the log, without its newline.
    QString describe() const { return QStringLiteral("⚡️ CLI ") + cause(); }

    // "SIGSEGV" for the common signals, "signal 42" for the rest.
    static QString signalName(int signal);
};
