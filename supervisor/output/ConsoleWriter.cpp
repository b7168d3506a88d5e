#include "output/ConsoleWriter.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

ConsoleWriter::ConsoleWriter(int fd, qsizetype maxQueuedBytes, Cap cap)
    : fd_(fd), maxQueuedBytes_(maxQueuedBytes), cap_(cap), windowStart_(-cap.windowMs) {
    clock_.start();
    std::thread([this] { run(); }).detach();
}

void ConsoleWriter::write(QByteArray line) {
    write(std::move(line), QByteArray());
}

void ConsoleWriter::write(QByteArray head, QByteArray tail) {
    std::unique_lock lock(mutex_);
    if (enqueue(std::move(head), std::move(tail))) {
        lock.unlock();
        wake_.notify_one();
    }
}

void ConsoleWriter::writeCapped(QByteArray head, QByteArray tail) {
    std::unique_lock lock(mutex_);
    if (broken_)
        return;
    const bool idle = queue_.empty() && !writing_;
    nextWindow();
    const bool wasQuiet = leftOut_ == 0;
    const qsizetype room = cap_.bytes - windowBytes_ - head.size() - 1;
    if (tail.size() > room) {
        qsizetype cut = room > 0 ? tail.lastIndexOf('\n', room - 1) + 1 : 0;
        if (cut == 0 && room > 0) {
            // No whole line fits: as much as fits, ending on a character.
            for (cut = room; cut > 0 && (uchar(tail.at(cut)) & 0xC0) == 0x80;)
                --cut;
        }
        leftOut_ += tail.size() - cut;
        tail.truncate(cut);
    }
    if (!tail.isEmpty()) {
        windowBytes_ += head.size() + tail.size() + 1;
        enqueue(std::move(head), std::move(tail));
    }
    // The writer thread tells what was left out when the window ends, output or none.
    const bool wake = (idle && !queue_.empty()) || (wasQuiet && leftOut_ > 0);
    lock.unlock();
    if (wake)
        wake_.notify_one();
}

void ConsoleWriter::nextWindow(bool now) {
    const qint64 time = clock_.elapsed();
    if (!now && time - windowStart_ < cap_.windowMs)
        return;
    if (leftOut_ > 0)
        enqueue("⚠️ " + QByteArray::number(std::exchange(leftOut_, 0)) +
                    " bytes of CLI output left off the console (it takes at most " +
                    QByteArray::number(cap_.bytes / 1024) + " KiB of it every " +
                    QByteArray::number(cap_.windowMs) + " ms); the log file has them all\n",
                QByteArray());
    windowStart_ = time;
    windowBytes_ = 0;
}

bool ConsoleWriter::enqueue(QByteArray head, QByteArray tail) {
    static const QByteArray newline("\n");
    const bool whole = tail.isEmpty() && head.endsWith('\n');
    if (broken_)
        return false;
    const qsizetype size = head.size() + tail.size() + (whole ? 0 : 1);
    if (queuedBytes_ + size > maxQueuedBytes_ && !queue_.empty()) {
        ++dropped_;
        return false;
    }
    queuedBytes_ += size;
    const bool idle = queue_.empty() && !writing_;
    queue_.push_back(std::move(head));
    if (!tail.isEmpty())
        queue_.push_back(std::move(tail));
    if (!whole)
        queue_.push_back(newline);
    // A busy writer looks at the queue again by itself; waking costs a system call.
    return idle;
}

bool ConsoleWriter::flush(int timeoutMs) {
    std::unique_lock lock(mutex_);
    // What was left out is told now: the application may be on its way out.
    if (leftOut_ > 0) {
        nextWindow(true);
        wake_.notify_one();
    }
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
        if (leftOut_ > 0) {
            // The line that counts what was left out is due when the window ends.
            const qint64 due = windowStart_ + cap_.windowMs - clock_.elapsed();
            wake_.wait_for(lock, std::chrono::milliseconds(std::max<qint64>(due, 0)),
                           [this] { return !queue_.empty(); });
            nextWindow();
        } else {
            wake_.wait(lock, [this] { return !queue_.empty() || leftOut_ > 0; });
        }
        if (queue_.empty())
            continue;
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
