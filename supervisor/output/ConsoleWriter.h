#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QtGlobal>

#include <condition_variable>
#include <deque>
#include <mutex>

// Writes console lines to a file descriptor from a thread of its own, so a standard output
// that nobody reads (a stalled journal or panel) holds up nothing but this thread. Its queue
// is bounded: past the bound, lines are dropped and one line later says how many. The CLI's
// output has a capped share: a chatty CLI must not fill the session's journal.
class ConsoleWriter final {
public:
    // How much of the CLI's output goes to the console in each window of time.
    struct Cap {
        qsizetype bytes;
        int windowMs;
    };

    explicit ConsoleWriter(int fd, qsizetype maxQueuedBytes = 4 * 1024 * 1024,
                           Cap cap = {64 * 1024, 1000});
    Q_DISABLE_COPY_MOVE(ConsoleWriter)
    // Never destroyed while lines may still come: the thread may be stuck in write() for good.
    ~ConsoleWriter() = delete;

    // Takes one line, newline included. Never blocks on the descriptor.
    void write(QByteArray line);
    // The same for a line in two parts, the newline not included: a large tail, such as a
    // chunk of output, is shared rather than copied.
    void write(QByteArray head, QByteArray tail);
    // The same for a line whose tail is the CLI's output, within the cap: the tail is cut after
    // its last line break that fits (or at a character), and what is left out is counted in
    // one line once its window has ended.
    void writeCapped(QByteArray head, QByteArray tail);
    bool flush(int timeoutMs);

private:
    void run();
    // With the mutex held; true when the writer thread needs waking.
    bool enqueue(QByteArray head, QByteArray tail);
    // With the mutex held: starts a new window once the last has ended (or `now`), after the
    // line that counts what it left out.
    void nextWindow(bool now = false);
    bool writeAll(const std::deque<QByteArray>& pieces);

    const int fd_;
    const qsizetype maxQueuedBytes_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<QByteArray> queue_; // the parts of whole lines
    qsizetype queuedBytes_ = 0;
    qint64 dropped_ = 0;
    const Cap cap_;
    QElapsedTimer clock_;
    qint64 windowStart_;
    qsizetype windowBytes_ = 0;
    qint64 leftOut_ = 0; // bytes of the CLI's output left out in this window
    bool writing_ = false;
    bool broken_ = false; // the reader went away: nothing more can be written
};
