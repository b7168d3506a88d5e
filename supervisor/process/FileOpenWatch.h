#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// Tells whether a file was opened since the watch began. A shell that ran the CLI opened its
// file to execute it; one that ended in its start-up files never did. The kernel queues the event
// as the open happens, so it is there to read once the opener has ended, and nothing polls.
class FileOpenWatch {
    Q_DISABLE_COPY_MOVE(FileOpenWatch)

public:
    explicit FileOpenWatch(const QString& path);
    ~FileOpenWatch();

    // Whether the file was opened; nothing when it could not be watched (not Linux, no inotify).
    std::optional<bool> opened();

private:
    int fd_ = -1;
    bool opened_ = false;
};
