#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Reads one pipe on a thread of its own and hands its bytes on as whole UTF-8 characters: a
// character split between two reads arrives whole, invalid bytes and a character cut short by
// the end of the stream arrive as U+FFFD instead of vanishing. Nothing is decoded here.
class OutputPump final {
public:
    // Called on the pump's thread with valid UTF-8 (decoding is left to whoever keeps the
    // text); may block to hold the producer back, and must return once `cancelled` is set.
    using Sink = std::function<void(const QByteArray& utf8, const std::atomic<bool>& cancelled)>;

    // Takes ownership of fd.
    OutputPump(int fd, Sink sink);
    Q_DISABLE_COPY_MOVE(OutputPump)
    ~OutputPump();

    // Runs `done` on the pump's thread once everything readable now has gone to the sink (at
    // once when the stream has already ended), so a message sent from `done` follows the
    // output that came before it.
    void drainThen(std::function<void()> done);

private:
    void run();
    bool readAvailable(); // false at the end of the stream
    void deliver(QByteArray bytes);
    void wake();

    int fd_;
    int wakeFds_[2] = {-1, -1};
    Sink sink_;
    QByteArray buffer_;
    QByteArray carry_; // the start of a character whose other bytes have not come yet
    std::atomic<bool> cancelled_{false};
    std::mutex mutex_;
    std::vector<std::function<void()>> drains_;
    bool ended_ = false;
    std::thread thread_;
};
