#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

// The complete output log on disk, rotated by size. Used from one thread at a time (the
// output log's writer thread); every write goes straight to the system, so nothing waits in
// a buffer of ours when the application ends. The folder is private to the user (0700) and
// the files are 0600: the CLI may print secrets.
class LogFile final {
public:
    // Tells the user something about the file: a failure, or a mode tightened.
    using Reporter = std::function<void(const QString& message)>;

    LogFile(const QString& directory, const QString& name, qint64 rotateBytes, int keepFiles,
            Reporter report);
    Q_DISABLE_COPY_MOVE(LogFile)
    ~LogFile();

    QString path() const { return path_; }
    void write(const QByteArray& bytes);

private:
    bool ensureOpen(bool truncate = false);
    bool makeDirectory();
    // Files and the folder left readable by others by earlier versions lose those bits.
    void tightenModes();
    bool writeAll(QByteArrayView bytes);
    void close();
    // Shifts the numbered files up and starts a fresh file; when a step fails, says which and
    // why, and the file starts over empty instead, so the size bound holds regardless.
    void rotate();
    QString numbered(int n) const;
    void fail(const QString& what);

    QString directory_;
    QString path_;
    qint64 rotateBytes_;
    int keepFiles_;
    Reporter report_;
    int fd_ = -1;
    qint64 size_ = 0;
    qint64 missing_ = 0;         // bytes lost while writing failed, told once writing works again
    bool failing_ = false;       // reported once until a write succeeds again
    bool rotateFailing_ = false; // reported once until a rotation succeeds again
    bool tightened_ = false;     // the modes were looked at, once per start
};
