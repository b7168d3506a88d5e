#pragma once

#include <QFile>
#include <QString>

#include <functional>

// The complete output log on disk, rotated by size. Used from one thread at a time (the
// output log's writer thread); every write goes straight to the system, so nothing waits in
// a buffer of ours when the application ends.
class LogFile final {
public:
    using ErrorReporter = std::function<void(const QString& message)>;

    LogFile(const QString& directory, const QString& name, qint64 rotateBytes, int keepFiles,
            ErrorReporter reportError);
    Q_DISABLE_COPY_MOVE(LogFile)

    QString path() const { return path_; }
    void write(const QByteArray& bytes);

private:
    bool ensureOpen();
    bool writeAll(QByteArrayView bytes);
    void rotate();
    void fail(const QString& what);

    QString directory_;
    QString path_;
    qint64 rotateBytes_;
    int keepFiles_;
    ErrorReporter reportError_;
    QFile file_;
    qint64 size_ = 0;
    qint64 missing_ = 0;   // bytes lost while writing failed, told once writing works again
    bool failing_ = false; // reported once until a write succeeds again
};
