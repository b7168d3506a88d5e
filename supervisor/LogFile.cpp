#include "LogFile.h"

#include <QDir>

LogFile::LogFile(const QString& directory, const QString& name, qint64 rotateBytes, int keepFiles,
                 int flushMs, ErrorReporter reportError, QObject* parent)
    : QObject(parent), directory_(directory), path_(directory + QLatin1Char('/') + name),
      rotateBytes_(rotateBytes), keepFiles_(keepFiles), reportError_(std::move(reportError)) {
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(flushMs);
    connect(&flushTimer_, &QTimer::timeout, this, &LogFile::flush);
}

LogFile::~LogFile() {
    flush();
}

bool LogFile::ensureOpen() {
    if (file_.isOpen())
        return true;
    if (!QDir().mkpath(directory_)) {
        fail(QStringLiteral("cannot create %1").arg(directory_));
        return false;
    }
    file_.setFileName(path_);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append)) {
        fail(file_.errorString());
        return false;
    }
    size_ = file_.size();
    return true;
}

void LogFile::write(const QString& text) {
    writeUtf8(text.toUtf8());
}

void LogFile::writeUtf8(const QByteArray& bytes) {
    if (bytes.isEmpty() || !ensureOpen())
        return;
    if (file_.write(bytes) != bytes.size()) {
        fail(file_.errorString());
        file_.close();
        return;
    }
    size_ += bytes.size();
    if (size_ >= rotateBytes_)
        rotate();
    else if (!flushTimer_.isActive())
        flushTimer_.start();
}

void LogFile::flush() {
    flushTimer_.stop();
    if (!file_.isOpen())
        return;
    if (!file_.flush()) {
        fail(file_.errorString());
        file_.close();
        return;
    }
    failing_ = false;
}

void LogFile::rotate() {
    flush();
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
