#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Reads one pipe on a thread of its own and hands on exactly the bytes it read, in order. A
// UTF-8 character split between two reads is held back until it is whole, so each piece can be
// decoded on its own; bytes that are not UTF-8 pass unchanged. Nothing is decoded here.
class OutputPump final {
public:
    // Called on the pump's thread with the bytes as read (decoding is left to whoever shows
    // the text); may block to hold the producer back, and must return once `cancelled` is set.
    using Sink = std::function<void(const QByteArray& bytes, const std::atomic<bool>& cancelled)>;

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
