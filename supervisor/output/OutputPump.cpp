#include "output/OutputPump.h"
#include "process/SystemPipe.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {
constexpr qsizetype kReadSize = 256 * 1024;

// How many bytes at the end of `bytes` begin a UTF-8 sequence that is not complete yet.
qsizetype incompleteTail(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, size); ++back) {
        const auto byte = static_cast<unsigned char>(bytes[size - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: keep looking for its lead
        // Only a byte that can lead a character waits for more; any other is complete as it is.
        const int length = byte >= 0xF5   ? 1
                           : byte >= 0xF0 ? 4
                           : byte >= 0xE0 ? 3
                           : byte >= 0xC2 ? 2
                                          : 1;
        return length > back ? back : 0;
    }
    return 0;
}
} // namespace

OutputPump::OutputPump(int fd, Sink sink)
    : fd_(fd), sink_(std::move(sink)), buffer_(kReadSize, Qt::Uninitialized) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
#ifdef F_SETPIPE_SZ
    // Fewer, larger reads under a flood; the system may refuse, and the default works too.
    ::fcntl(fd_, F_SETPIPE_SZ, int(kReadSize));
#endif
    if (!SystemPipe::open(wakeFds_, true))
        wakeFds_[0] = wakeFds_[1] = -1;
    thread_ = std::thread([this] { run(); });
}

OutputPump::~OutputPump() {
    cancelled_ = true;
    wake();
    thread_.join();
    ::close(fd_);
    for (int fd : wakeFds_)
        if (fd >= 0)
            ::close(fd);
}

void OutputPump::wake() {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(wakeFds_[1], &byte, 1);
}

void OutputPump::drainThen(std::function<void()> done) {
    {
        std::lock_guard lock(mutex_);
        if (!ended_) {
            drains_.push_back(std::move(done));
            done = nullptr;
        }
    }
    if (done)
        done();
    else
        wake();
}

void OutputPump::deliver(QByteArray bytes) {
    if (!carry_.isEmpty())
        bytes.prepend(std::exchange(carry_, QByteArray()));
    const qsizetype tail = incompleteTail(bytes);
    if (tail > 0) {
        carry_ = bytes.right(tail);
        bytes.chop(tail);
    }
    if (!bytes.isEmpty())
        sink_(bytes, cancelled_);
}

bool OutputPump::readAvailable() {
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_.data(), size_t(buffer_.size()));
        if (n > 0) {
            // A large read is handed on as it is; a small one is copied, so the buffer's
            // spare room does not travel with it.
            if (n > kReadSize / 2) {
                buffer_.truncate(n);
                deliver(std::exchange(buffer_, QByteArray(kReadSize, Qt::Uninitialized)));
            } else {
                deliver(QByteArray(buffer_.constData(), n));
            }
            if (cancelled_)
                return true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        // The end of the stream (or an error that ends it).
        if (!carry_.isEmpty())
            sink_(std::exchange(carry_, QByteArray()), cancelled_);
        return false;
    }
}

void OutputPump::run() {
    bool open = true;
    while (!cancelled_) {
        pollfd fds[2] = {{wakeFds_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, open ? 2 : 1, -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents) {
            char drain[64];
            while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
            }
        }
        if (open)
            open = readAvailable();
        std::vector<std::function<void()>> drains;
        {
            std::lock_guard lock(mutex_);
            ended_ = !open;
            drains.swap(drains_);
        }
        for (const auto& done : drains)
            done();
    }
}
