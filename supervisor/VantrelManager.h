#pragma once

#include "SupervisorState.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

#include <sys/types.h>

#include "CliProcess.h"

class LogFile;
class QNetworkAccessManager;
class QTimer;
struct OutputInbox;

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
    QString sweepPattern = QStringLiteral("vantrel");
    int stopTimeoutMs = 2000;                  // cleanup's grace period before SIGKILL
    int sweepGraceMs = 500;                    // the sweep's shared wait after SIGTERM
    int stallTimeoutMs = 30000;                // a download without progress this long is aborted
    qsizetype retainedChars = 8 * 1024 * 1024; // 16 MiB of UTF-16
    qsizetype retainedLines = 100000;
    qint64 logRotateBytes = 10 * 1024 * 1024;
    int logKeepFiles = 5;
    int logFlushMs = 250;

    // Defaults for the logged-in user, with the development overrides HALVANE_BASE_URL and
    // HALVANE_CA_CERTS applied.
    static SupervisorOptions fromEnvironment();
};

// The supervisor of the one vantrel CLI: installs it, runs it in a login shell, carries its
// output into the output log, and stops it.
class VantrelManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(SupervisorState state READ state NOTIFY stateChanged)

public:
    using OutputHandler = std::function<void(const QString& chunk)>;

    explicit VantrelManager(SupervisorOptions options = SupervisorOptions::fromEnvironment(),
                            QObject* parent = nullptr);
    ~VantrelManager() override;

    // The process-wide instance, created on first use on the main thread.
    static VantrelManager* shared();

    // The retained output log: the most recent part of everything written to it, trimmed by
    // whole lines from the front. The complete log is in logFilePath().
    // The retained tail of the output log: whole lines, at most the configured bounds.
    QString output() const { return head_ == 0 ? output_ : output_.sliced(head_); }
    qsizetype outputSize() const { return output_.size() - head_; }
    // Writes one chunk to the output log. Callable from any thread; returns at once.
    OutputHandler outputHandler;

    QString installDir() const { return options_.installDir; }
    QString cliPath() const;
    QUrl baseURL() const { return options_.baseURL; }
    QString logFilePath() const;
    const SupervisorOptions& options() const { return options_; }
    SupervisorState state() const { return state_; }
    // The running CLI's shell process, or null.
    CliProcess* currentProcess() const { return currentProcess_; }
    bool isInstalling() const { return download_ != nullptr; }
    // This build's CLI asset on the server, e.g. "vantrel-linux-amd64".
    static QString assetName();

    void createInstallDirectory();
    void downloadAndRunCLI();
    void installCLI();
    void runCLI();
    void runCLIInShell(const QString& shell);
    void killExistingProcesses();
    // The process identifiers in pgrep's output, in order; lines that are not one strict
    // decimal number are skipped.
    static QList<pid_t> parsePgrepOutput(const QString& text);
    // Stops the CLI: SIGTERM to its process group, up to stopTimeoutMs, then SIGKILL.
    void cleanup();
    // Writes buffered log-file output to disk now (also done by cleanup).
    void flushLog();

Q_SIGNALS:
    // The text just appended to the output log, in order; one signal per hand-over batch.
    void outputAppended(const QString& batch);
    void stateChanged(const SupervisorState& state);
    // An installation request has ended: ok, or failed with reason.
    void installFinished(bool ok, const QString& reason);

private:
    friend struct OutputInbox;
    void takeInbox();
    void appendToLog(const QString& batch);
    void setState(SupervisorState state);
    void say(const QString& message) const;
    void readOutput(CliProcess* process);
    void onProcessFinished(CliProcess* process);
    void forgetDeadGroups();
    friend class CliDownload;
    void finishInstall(bool ok, const QString& reason);

    // Kept apart from shell processes: a CLI's group can outlive its shell.
    QList<pid_t> ownedGroups_;

    SupervisorOptions options_;
    QString output_;
    qsizetype head_ = 0; // start of the retained tail; the prefix is dropped lazily
    qsizetype outputLines_ = 0;
    std::shared_ptr<OutputInbox> inbox_;
    std::unique_ptr<LogFile> log_;
    QPointer<CliProcess> currentProcess_;
    SupervisorState state_;
    QNetworkAccessManager* network_ = nullptr;
    QObject* download_ = nullptr; // the one download in progress
};
