#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include "VantrelManager.h"

// What the terminal window shows of the output log. Reads the supervisor's retained tail
// rather than keeping a copy: it announces the log on the next turn of the event loop, then
// every batch the supervisor adds, always on a later turn than the supervisor's own change.
class TerminalViewModel final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminalViewModel)

public:
    explicit TerminalViewModel(VantrelManager* manager, QObject* parent = nullptr);
    ~TerminalViewModel() override;

    // The starting message until the first delivery; then the retained log.
    QString output() const;
    // The supervisor's retained tail, which views lay out and draw; null without a supervisor.
    TerminalBuffer* tail() const { return manager_ ? &manager_->outputLog().tail() : nullptr; }
    // The complete log on disk, or empty without a supervisor.
    QString logFilePath() const;
    // Calls `done` through `context` once everything written so far is in the log file; at
    // once (on a later turn) without a supervisor.
    void whenLogWritten(QObject* context, std::function<void()> done) const;

Q_SIGNALS:
    // The whole text was replaced (the first delivery).
    void outputReset(const QString& output);
    // `batch` was appended; older text may have been trimmed from the front.
    void outputAppended(const QString& batch);

private:
    void deliverAll();
    void deliver(const QString& batch);

    QPointer<VantrelManager> manager_;
    bool delivered_ = false;
};
