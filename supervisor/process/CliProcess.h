#pragma once

#include "output/OutputPump.h"
#include "process/FileOpenWatch.h"

#include <QElapsedTimer>
#include <QProcess>

#include <memory>
#include <optional>

#include <sys/types.h>

// One shell running the CLI, in a session and process group of its own so that stopping it
// reaches the CLI and everything it started, not only the shell. Both output streams go into
// one pipe that an OutputPump reads off the main thread.
class CliProcess final : public QProcess {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CliProcess)

public:
    explicit CliProcess(const QString& shell, QObject* parent = nullptr);
    ~CliProcess() override;

    QString shell() const { return shell_; }
    // Starts the program with its output going to `sink`; false (with errorString()) when it
    // could not be started.
    bool launch(OutputPump::Sink sink);
    // The process group the shell leads; stays valid for signalling its members after the
    // shell itself has exited.
    pid_t groupId() const { return groupId_; }
    qint64 runningMs() const { return started_.isValid() ? started_.elapsed() : 0; }
    // See OutputPump::drainThen.
    void drainOutputThen(std::function<void()> done);

    // Set when the supervisor itself stops the CLI (the stop signals it), so its end is not
    // mistaken for a failure of the shell or of the CLI.
    bool stopRequested() const { return stopRequested_; }
    void markStopRequested() { stopRequested_ = true; }
    // Whether the shell got as far as running the CLI, once it has ended.
    bool ranCli();

    // The login shell's arguments that run the CLI at cliPath, and the way back: the CLI path
    // such a shell runs, or nothing when the arguments are not exactly of that form.
    static QStringList loginShellArguments(const QString& cliPath);
    static std::optional<QString> cliPathOf(const QStringList& shellArguments);
    // The shells of every CliProcess that has one, which only their QProcess may reap.
    static QList<pid_t> liveShells();

private:
    QString shell_;
    pid_t groupId_ = 0;
    bool stopRequested_ = false;
    QElapsedTimer started_;
    std::unique_ptr<OutputPump> pump_;
    std::unique_ptr<FileOpenWatch> cliOpened_;
};
