#pragma once

#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>

// The complete output log on disk, rotated by size. Writes are buffered and flushed by a
// timer, so a flooding CLI costs one write call per batch at most and never waits on disk.
class LogFile : public QObject {
    Q_OBJECT

public:
    using ErrorReporter = std::function<void(const QString& message)>;

    LogFile(const QString& directory, const QString& name, qint64 rotateBytes, int keepFiles,
            int flushMs, ErrorReporter reportError, QObject* parent = nullptr);
    ~LogFile() override;

    QString path() const { return path_; }
    void write(const QString& text);
    void writeUtf8(const QByteArray& bytes);
    void flush();

private:
    bool ensureOpen();
    void rotate();
    void fail(const QString& what);

    QString directory_;
    QString path_;
    qint64 rotateBytes_;
    int keepFiles_;
    ErrorReporter reportError_;
    QFile file_;
    QTimer flushTimer_;
    qint64 size_ = 0;
    bool failing_ = false; // reported once until a write succeeds again
};
