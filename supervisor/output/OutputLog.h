#pragma once

#include "SupervisorOptions.h"
#include "TerminalBuffer.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

// The output log: what the CLI printed and what the supervisor reported, in order of arrival.
// Text comes in from any thread as UTF-8. A writer thread puts every byte into the log file,
// which is the complete record. The main thread keeps the retained tail, parsed into styled
// lines, the one store that the window also reads: it takes what arrived in slices, at most
// one hand-over pending at a time. Output that the tail's line bound would push out before the
// main thread gets to it is skipped, not parsed: only the parser's state is carried across.
class OutputLog final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OutputLog)

public:
    using Writer = std::function<void(const QString& text)>;

    OutputLog(const SupervisorOptions& options, const QString& initialText,
              QObject* parent = nullptr);
    ~OutputLog() override;

    // A writer for any thread that returns at once and does nothing once this log is gone.
    Writer writer() const;
    // From a thread that reads a producer and may be held back: waits while the disk, or the
    // main thread with more than the tail keeps, is far behind, so a flood is slowed at its
    // source instead of piling up in memory. Returns early once `cancelled` is set. `utf8` must
    // be whole characters of valid UTF-8.
    void appendFromReader(const QByteArray& utf8, const std::atomic<bool>& cancelled);

    // Main thread. The retained tail as plain text, lines joined by '\n', and its size.
    QString text() const { return tail_->text(); }
    qsizetype size() const { return tail_->charCount() + tail_->lineCount() - 1; }
    // The retained tail as styled lines. A view may set its screen height.
    const TerminalBuffer& tail() const { return *tail_; }
    TerminalBuffer& tail() { return *tail_; }
    QString filePath() const;
    // Main thread. Calls `done` on the main thread, through `context` (nothing once it is
    // gone), once every byte added before this call is in the log file or the writer has given
    // up on it. Returns at once: nothing here waits for the writer or the disk.
    void whenWritten(QObject* context, std::function<void()> done);
    // Whether text waits for the main thread to take it into the tail.
    bool hasPending() const;

Q_SIGNALS:
    // The text just added to the retained tail, in order; one signal per hand-over. That is
    // everything that arrived, except output skipped because the tail could not keep it.
    void appended(const QString& batch);

private:
    struct Inbox;
    struct WrittenWaiter;
    void handOver();
    // The writer has written (or given up on) the first `handled` bytes it was handed.
    void reportWritten(qint64 handled);
    // Takes one slice; true when more is waiting.
    bool takePending();

    SupervisorOptions options_;
    std::unique_ptr<TerminalBuffer> tail_;
    std::shared_ptr<Inbox> inbox_;
    std::vector<WrittenWaiter> writtenWaiters_;
    std::thread fileWriter_;
    QElapsedTimer sinceHandOver_;
    QTimer handOverTimer_;
};
