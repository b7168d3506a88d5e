#include "output/LogFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}
} // namespace

LogFile::LogFile(const QString& directory, const QString& name, qint64 rotateBytes, int keepFiles,
                 Reporter report)
    : directory_(directory), path_(directory + QLatin1Char('/') + name), rotateBytes_(rotateBytes),
      keepFiles_(keepFiles), report_(std::move(report)) {
    if (!report_)
        report_ = [](const QString&) {};
}

LogFile::~LogFile() {
    close();
}

void LogFile::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

QString LogFile::numbered(int n) const {
    return path_ + QLatin1Char('.') + QString::number(n);
}

bool LogFile::makeDirectory() {
    if (::mkdir(encoded(directory_).constData(), 0700) == 0 || errno == EEXIST)
        return true;
    // Only the log's own folder is made private; its parents are the user's business.
    if (errno == ENOENT && QDir().mkpath(QFileInfo(directory_).path()) &&
        (::mkdir(encoded(directory_).constData(), 0700) == 0 || errno == EEXIST))
        return true;
    const int error = errno ? errno : EACCES;
    fail(QStringLiteral("cannot create %1: %2").arg(directory_, systemError(error)));
    return false;
}

void LogFile::tightenModes() {
    tightened_ = true;
    QStringList tightened;
    const auto tighten = [&](const QString& path, bool folder) {
        struct stat info {};
        // Only what this log made: a link, whose target may be anyone's, is left alone.
        if (::lstat(encoded(path).constData(), &info) != 0 ||
            (folder ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) || (info.st_mode & 077) == 0)
            return;
        const mode_t mode = info.st_mode & 07700;
        if (::chmod(encoded(path).constData(), mode) != 0) {
            const int error = errno;
            report_(QStringLiteral("⚠️ Could not make %1 private: %2\n")
                        .arg(path, systemError(error)));
            return;
        }
        tightened.append(QStringLiteral("%1 (%2, was %3)")
                             .arg(QFileInfo(path).fileName())
                             .arg(mode, 4, 8, QLatin1Char('0'))
                             .arg(info.st_mode & 07777, 4, 8, QLatin1Char('0')));
    };
    tighten(directory_, true);
    tighten(path_, false);
    for (int n = 1; n <= keepFiles_; ++n)
        tighten(numbered(n), false);
    if (!tightened.isEmpty())
        report_(QStringLiteral("🔧 The output log in %1 was readable by others; now only you can "
                               "read it: %2\n")
                    .arg(directory_, tightened.join(QStringLiteral(", "))));
}

bool LogFile::ensureOpen(bool truncate) {
    if (fd_ >= 0)
        return true;
    errno = 0;
    if (!makeDirectory())
        return false;
    if (!tightened_)
        tightenModes();
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
    fd_ = ::open(encoded(path_).constData(), flags, 0600);
    if (fd_ < 0) {
        fail(systemError(errno));
        return false;
    }
    struct stat info {};
    size_ = ::fstat(fd_, &info) == 0 ? info.st_size : 0;
    return true;
}

// Written here rather than by QFile, which reports a short write on a full disk as "Unknown
// error" where the system says "No space left on device".
bool LogFile::writeAll(QByteArrayView bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(systemError(n < 0 ? errno : EIO));
            close();
            size_ += done;
            return false;
        }
        done += n;
    }
    size_ += bytes.size();
    return true;
}

void LogFile::write(const QByteArray& bytes) {
    if (bytes.isEmpty())
        return;
    if (!ensureOpen()) {
        missing_ += bytes.size();
        return;
    }
    if (missing_ > 0) {
        const QByteArray gap = "\n⚠️ " + QByteArray::number(missing_) +
                               " bytes of output are missing here: the log file could not be "
                               "written\n";
        if (!writeAll(gap))
            return void(missing_ += bytes.size());
        missing_ = 0;
    }
    // A large batch is split after the line that crosses the size limit, so rotated files
    // stay near the limit however much arrives at once.
    for (QByteArrayView rest(bytes); !rest.isEmpty();) {
        const qsizetype room = std::max<qint64>(1, rotateBytes_ - size_);
        const qsizetype newline = rest.size() > room ? rest.indexOf('\n', room - 1) : -1;
        const QByteArrayView piece = newline < 0 ? rest : rest.first(newline + 1);
        if (!writeAll(piece))
            return void(missing_ += rest.size());
        failing_ = false;
        rest = rest.sliced(piece.size());
        if (size_ >= rotateBytes_) {
            rotate();
            if (fd_ < 0)
                return void(missing_ += rest.size());
        }
    }
}

void LogFile::rotate() {
    close();
    // Each step is tried; the first failure is the one told. Renaming is done with the system
    // call, since QFile::rename falls back to copying, which a full disk or a refused folder
    // turns into a second failure.
    QString problem;
    const auto failed = [&problem](int error, const QString& what) {
        if (error != ENOENT && problem.isEmpty())
            problem = what + QStringLiteral(": ") + systemError(error);
        return error != ENOENT;
    };
    const auto removed = [&](const QString& path) {
        if (::unlink(encoded(path).constData()) == 0)
            return true;
        const int error = errno;
        return !failed(error, QStringLiteral("removing ") + path);
    };
    const auto renamed = [&](const QString& from, const QString& to) {
        if (::rename(encoded(from).constData(), encoded(to).constData()) == 0)
            return true;
        const int error = errno;
        return !failed(error, QStringLiteral("renaming %1 to %2").arg(from, to));
    };
    bool moved = false; // the full file is out of the way
    if (keepFiles_ > 0) {
        removed(numbered(keepFiles_));
        for (int n = keepFiles_ - 1; n >= 1; --n)
            renamed(numbered(n), numbered(n + 1));
        moved = renamed(path_, numbered(1));
    } else {
        moved = removed(path_);
    }
    // A full file that could not be moved starts over, rather than grow past the bound.
    ensureOpen(!moved);
    if (problem.isEmpty()) {
        rotateFailing_ = false;
        return;
    }
    if (!std::exchange(rotateFailing_, true))
        report_(QStringLiteral("⚠️ Could not rotate the log file %1: %2%3\n")
                    .arg(path_, problem,
                         moved ? QString()
                               : QStringLiteral("; it starts over empty instead, to stay "
                                                "within its size")));
}

void LogFile::fail(const QString& what) {
    if (failing_)
        return;
    failing_ = true;
    report_(QStringLiteral("⚠️ Could not write the log file %1: %2\n").arg(path_, what));
}
