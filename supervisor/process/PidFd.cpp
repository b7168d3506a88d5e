#include "process/PidFd.h"

#include <QtGlobal>

#include <cerrno>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <sys/syscall.h>
// Older C library headers lack the name; the number is the same on every architecture but alpha.
#if !defined(SYS_pidfd_open) && !defined(__alpha__)
#define SYS_pidfd_open 434
#endif
#endif

int PidFd::open(pid_t pid) {
#if defined(Q_OS_LINUX) && defined(SYS_pidfd_open)
    // pidfd_open's descriptors are close-on-exec already.
    return int(::syscall(SYS_pidfd_open, pid, 0));
#else
    Q_UNUSED(pid);
    errno = ENOSYS;
    return -1;
#endif
}

bool PidFd::supported() {
    // Too old a kernel says ENOSYS; a sandbox that filters the call may say EPERM instead.
    static const bool supported = [] {
        const int fd = open(::getpid());
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }();
    return supported;
}
