#pragma once

#include "VantrelManager.h"

#include <QTemporaryDir>

#include <memory>

// Supervisor options that point into a fresh temporary folder, and the supervisor built from
// them. The folder's name carries a sweep pattern of its own, so every process started from
// it can be found, and the sweep of this sandbox finds nothing else.
class SupervisorSandbox {
public:
    // installSubdir: the install folder below the sandbox, for paths that need quoting.
    explicit SupervisorSandbox(const QString& installSubdir = QStringLiteral("bin"));
    ~SupervisorSandbox();

    QString path() const { return dir_.path(); }
    QString sweepPattern() const { return options.sweepPattern; }
    QString cliPath() const;

    // Built from options on first use; change options before that.
    VantrelManager& manager();
    // Stops the CLI and destroys the supervisor, so the next manager() starts afresh.
    void resetManager();

    // Writes an executable script into the sandbox (name relative to path()) and returns its
    // path. A body without "#!" runs under bash.
    QString writeScript(const QString& name, const QByteArray& body, bool executable = true) const;
    // The fake CLI at cliPath().
    void writeCli(const QByteArray& body, bool executable = true) const;
    // Running processes whose command line carries the sandbox's pattern.
    QList<pid_t> processes() const;
    // Everything the log file received, rotated files included, oldest first.
    QString logText() const;

    SupervisorOptions options;

private:
    QTemporaryDir dir_;
    std::unique_ptr<VantrelManager> manager_;
};
