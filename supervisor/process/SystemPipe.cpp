#include "process/SystemPipe.h"

#include <QtGlobal>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool SystemPipe::open(int fds[2], bool nonBlocking) {
#ifdef Q_OS_LINUX
    return ::pipe2(fds, O_CLOEXEC | (nonBlocking ? O_NONBLOCK : 0)) == 0;
#else
    // Not atomic: a child forked on another thread in between would inherit the ends.
    if (::pipe(fds) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        if (::fcntl(fds[i], F_SETFD, FD_CLOEXEC) != 0 ||
            (nonBlocking && ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK) != 0)) {
            const int saved = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            errno = saved;
            return false;
        }
    }
    return true;
#endif
}
