#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <functional>
#include <memory>

#include <sys/types.h>

class Environment;

// One instance per user. The first one holds a lock and listens; a later launch asks it to
// show its window and leaves without touching the CLI. A lock left by a crashed instance is
// stale (its process is gone) and is taken over. Lock and socket live in a folder that only
// this user can write to, so nobody else can hold the lock or answer in the instance's name.
class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    // What the guard needs to know about a folder (lstat, access); replaceable in tests.
    struct Folder {
        bool exists = false;
        bool isFolder = false; // a symbolic link is not
        uid_t owner = 0;
        mode_t mode = 0;
        bool writable = false;
    };
    using Inspect = std::function<Folder(const QString& path)>;
    static Folder inspectFolder(const QString& path);

    explicit SingleInstance(const Environment& environment, QObject* parent = nullptr,
                            Inspect inspect = inspectFolder);

    // True when this process is the primary instance; otherwise the primary has been asked
    // to show itself (answered is set when it acknowledged in time). Without a usable folder
    // this process is primary: a lock it cannot take says nothing about another instance.
    // Needs no application object: a second launch leaves before the GUI is set up.
    bool claim(bool* answered = nullptr);
    // The primary instance answers later launches from here on; once the application object
    // exists, as the answers come through its event loop.
    void listen();
    // Where the lock and socket are: $XDG_RUNTIME_DIR when it is this user's and private
    // enough, else a private folder of the application's own; empty, with why, when there is
    // none.
    static QString runtimeDirectory(const Environment& environment,
                                    const Inspect& inspect = inspectFolder, QString* why = nullptr);
    QString directory() const { return directory_; }

Q_SIGNALS:
    void showRequested();

private:
    int askToShow(int timeoutMs) const;

    QString directory_;
    QString unusable_; // why there is no folder
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    QString socketPath_;
};
