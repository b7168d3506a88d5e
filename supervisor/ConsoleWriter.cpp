#include "ConsoleWriter.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

ConsoleWriter::ConsoleWriter(int fd, qsizetype maxQueuedBytes)
    : fd_(fd), maxQueuedBytes_(maxQueuedBytes) {
    std::thread([this] { run(); }).detach();
}

void ConsoleWriter::write(QByteArray line) {
    {
        std::lock_guard lock(mutex_);
        if (broken_)
            return;
        if (queuedBytes_ + line.size() > maxQueuedBytes_ && !queue_.empty()) {
            ++dropped_;
            return;
        }
        queuedBytes_ += line.size();
        queue_.push_back(std::move(line));
        // A busy writer looks at the queue again by itself; waking costs a system call.
        if (queue_.size() > 1 || writing_)
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

        QByteArray out;
        for (const QByteArray& line : batch)
            out += line;
        if (dropped > 0)
            out += "⚠️ " + QByteArray::number(dropped) +
                   " console line(s) dropped: standard output could not keep up\n";
        bool failed = false;
        for (qsizetype done = 0; done < out.size();) {
            const ssize_t n = ::write(fd_, out.constData() + done, size_t(out.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                failed = true;
                break;
            }
            done += n;
        }

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
