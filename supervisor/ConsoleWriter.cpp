#include "ConsoleWriter.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

ConsoleWriter::ConsoleWriter(int fd, qsizetype maxQueuedBytes)
    : fd_(fd), maxQueuedBytes_(maxQueuedBytes) {
    std::thread([this] { run(); }).detach();
}

void ConsoleWriter::write(QByteArray line) {
    write(std::move(line), QByteArray());
}

void ConsoleWriter::write(QByteArray head, QByteArray tail) {
    static const QByteArray newline("\n");
    const bool whole = tail.isEmpty() && head.endsWith('\n');
    {
        std::lock_guard lock(mutex_);
        if (broken_)
            return;
        const qsizetype size = head.size() + tail.size() + (whole ? 0 : 1);
        if (queuedBytes_ + size > maxQueuedBytes_ && !queue_.empty()) {
            ++dropped_;
            return;
        }
        queuedBytes_ += size;
        const bool idle = queue_.empty() && !writing_;
        queue_.push_back(std::move(head));
        if (!tail.isEmpty())
            queue_.push_back(std::move(tail));
        if (!whole)
            queue_.push_back(newline);
        // A busy writer looks at the queue again by itself; waking costs a system call.
        if (!idle)
            return;
    }
    wake_.notify_one();
}

bool ConsoleWriter::flush(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return broken_ || (queue_.empty() && !writing_); });
}

void ConsoleWriter::run() {
    // A closed reader must show up as EPIPE here, not as a signal that ends the application.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);

    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return !queue_.empty(); });
        std::deque<QByteArray> batch;
        batch.swap(queue_);
        queuedBytes_ = 0;
        const qint64 dropped = std::exchange(dropped_, 0);
        writing_ = true;
        lock.unlock();

        std::deque<QByteArray> out = std::move(batch);
        if (dropped > 0)
            out.push_back("⚠️ " + QByteArray::number(dropped) +
                          " console line(s) dropped: standard output could not keep up\n");
        const bool failed = !writeAll(out);
        out.clear();

        lock.lock();
        writing_ = false;
        if (failed) {
            broken_ = true;
            queue_.clear();
        }
        if (queue_.empty() || broken_)
            drained_.notify_all();
        if (broken_)
            return;
    }
}

// Writes the pieces in order, gathered into few system calls; false once the descriptor fails.
bool ConsoleWriter::writeAll(const std::deque<QByteArray>& pieces) {
    std::array<iovec, 256> vectors;
    auto next = pieces.begin();
    qsizetype offset = 0; // into *next, after a short write
    while (next != pieces.end()) {
        size_t count = 0;
        for (auto piece = next; piece != pieces.end() && count < vectors.size(); ++piece) {
            const qsizetype skip = piece == next ? offset : 0;
            vectors[count++] = {const_cast<char*>(piece->constData()) + skip,
                                size_t(piece->size() - skip)};
        }
        const ssize_t n = ::writev(fd_, vectors.data(), int(count));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Moves past what was written, possibly into the middle of a piece.
        qsizetype written = n;
        while (next != pieces.end() && written >= next->size() - offset) {
            written -= next->size() - offset;
            offset = 0;
            ++next;
        }
        offset += written;
    }
    return true;
}
