#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <mutex>

// Writes console lines to a file descriptor from a thread of its own, so a standard output
// that nobody reads (a stalled journal or panel) holds up nothing but this thread. Its queue
// is bounded: past the bound, lines are dropped and one line later says how many.
class ConsoleWriter final {
public:
    explicit ConsoleWriter(int fd, qsizetype maxQueuedBytes = 4 * 1024 * 1024);
    Q_DISABLE_COPY_MOVE(ConsoleWriter)
    // Never destroyed while lines may still come: the thread may be stuck in write() for good.
    ~ConsoleWriter() = delete;

    // Takes one line, newline included. Never blocks on the descriptor.
    void write(QByteArray line);
    // The same for a line in two parts, the newline not included: a large tail, such as a
    // chunk of output, is shared rather than copied.
    void write(QByteArray head, QByteArray tail);
    bool flush(int timeoutMs);

private:
    void run();
    bool writeAll(const std::deque<QByteArray>& pieces);

    const int fd_;
    const qsizetype maxQueuedBytes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<QByteArray> queue_; // the parts of whole lines
    qsizetype queuedBytes_ = 0;
    qint64 dropped_ = 0;
    bool writing_ = false;
    bool broken_ = false; // the reader went away: nothing more can be written
};
