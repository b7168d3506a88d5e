#pragma once

#include "SupervisorOptions.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <thread>

// The output log: what the CLI printed and what the supervisor reported, in order of arrival.
// Text comes in from any thread; the main thread receives it in batches, at most one
// hand-over pending at a time, and keeps a bounded tail (whole lines, trimmed from the front).
// A writer thread of its own puts everything into the log file, which is the complete record.
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
    // From a thread that reads a producer and may be held back: waits while the main thread or
    // the disk is far behind, so a flood is slowed at its source instead of piling up in
    // memory. Returns early once `cancelled` is set.
    void appendFromReader(const QString& text, const QByteArray& utf8,
                          const std::atomic<bool>& cancelled);

    // Main thread. The retained tail, and positions in the whole log that never move back.
    QString text() const { return textUpTo(end()); }
    qsizetype size() const { return size_; }
    qint64 end() const { return dropped_ + size_; }
    // The retained text up to a position `end()` once had.
    QString textUpTo(qint64 position) const;
    QString filePath() const;
    // Takes what is waiting for the main thread now, and waits (bounded) for the disk.
    void flush();

Q_SIGNALS:
    // The text just appended, in order; one signal per hand-over batch.
    void appended(const QString& batch);

private:
    struct Inbox;
    void handOver();
    void takePending();
    void retain(const QString& batch);
    void trimFront(qsizetype chars, qsizetype lines);

    SupervisorOptions options_;
    std::shared_ptr<Inbox> inbox_;
    std::thread fileWriter_;
    // The retained tail is kept as the batches it arrived in, so appending copies nothing.
    std::deque<QString> chunks_;
    qsizetype head_ = 0; // where the tail starts in the first chunk
    qsizetype size_ = 0;
    qsizetype lines_ = 0;
    qint64 dropped_ = 0; // characters trimmed from the front so far
    QElapsedTimer sinceHandOver_;
    QTimer handOverTimer_;
};
