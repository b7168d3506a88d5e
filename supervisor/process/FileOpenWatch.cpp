#include "process/FileOpenWatch.h"

#include <QFile>

#include <unistd.h>

#ifdef Q_OS_LINUX
#include <sys/inotify.h>
#endif

FileOpenWatch::FileOpenWatch(const QString& path) {
#ifdef Q_OS_LINUX
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 && ::inotify_add_watch(fd_, QFile::encodeName(path).constData(), IN_OPEN) < 0) {
        ::close(fd_);
        fd_ = -1;
    }
#else
    Q_UNUSED(path);
#endif
}

FileOpenWatch::~FileOpenWatch() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::optional<bool> FileOpenWatch::opened() {
    if (fd_ < 0)
        return std::nullopt;
#ifdef Q_OS_LINUX
    // Every event is an open (or an overflow, which also means there were opens): its
    // contents do not matter, only that there was one.
    alignas(inotify_event) char events[4096];
    while (::read(fd_, events, sizeof events) > 0)
        opened_ = true;
#endif
    return opened_;
}
