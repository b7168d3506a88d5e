#include "LogFile.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <unistd.h>

LogFile::LogFile(const QString& directory, const QString& name, qint64 rotateBytes, int keepFiles,
                 ErrorReporter reportError)
    : directory_(directory), path_(directory + QLatin1Char('/') + name), rotateBytes_(rotateBytes),
      keepFiles_(keepFiles), reportError_(std::move(reportError)) {}

bool LogFile::ensureOpen() {
    if (file_.isOpen())
        return true;
    errno = 0;
    if (!QDir().mkpath(directory_)) {
        fail(QStringLiteral("cannot create %1: %2")
                 .arg(directory_, QString::fromLocal8Bit(std::strerror(errno ? errno : EACCES))));
        return false;
    }
    file_.setFileName(path_);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        fail(file_.errorString());
        return false;
    }
    size_ = file_.size();
    return true;
}

// Written here rather than by QFile, which reports a short write on a full disk as "Unknown
// error" where the system says "No space left on device".
bool LogFile::writeAll(QByteArrayView bytes) {
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(file_.handle(), bytes.data() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail(QString::fromLocal8Bit(std::strerror(n < 0 ? errno : EIO)));
            file_.close();
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
            if (!ensureOpen())
                return void(missing_ += rest.size());
        }
    }
}

void LogFile::rotate() {
    file_.close();
    auto numbered = [this](int n) { return path_ + QLatin1Char('.') + QString::number(n); };
    QFile::remove(numbered(keepFiles_));
    for (int n = keepFiles_ - 1; n >= 1; --n)
        QFile::rename(numbered(n), numbered(n + 1));
    if (keepFiles_ > 0)
        QFile::rename(path_, numbered(1));
    else
        QFile::remove(path_);
    size_ = 0;
}

void LogFile::fail(const QString& what) {
    if (failing_)
        return;
    failing_ = true;
    if (reportError_)
        reportError_(
            QStringLiteral("⚠️ Could not write the log file %1: %2\n").arg(path_, what));
}
