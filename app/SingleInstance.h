#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <functional>
#include <memory>

#include <sys/socket.h>
#include <sys/types.h>

class Environment;
struct sockaddr_un;

// One instance per user. The first one holds a lock and listens; a later launch asks it to
// show its window and leaves without touching the CLI. A lock left by a crashed instance is
// stale (its process is gone) and is taken over. Lock and socket live in a folder that only
// this user can write to, so nobody else can hold the lock or answer in the instance's name.
// Without such a folder (on Linux) the lock is a socket name in the abstract namespace, which
// the kernel frees when its holder ends; only an answer from this user's own process counts.
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

    // An instance on its way out stops its CLI (bounded by the SIGKILL at 2 s), leaves a second
    // after that at the latest and flushes its console for up to another: a launch that meets
    // it waits this long for it to go.
    static constexpr int leavingWaitMs = 6000;

    explicit SingleInstance(const Environment& environment, QObject* parent = nullptr,
                            Inspect inspect = inspectFolder);
    ~SingleInstance() override;

    // True when this process is the primary instance; otherwise the primary has been asked
    // to show itself (answered is set when it acknowledged in time). A primary on its way out
    // is waited for, and this process takes over once it has gone. Needs no application
    // object: a second launch leaves before the GUI is set up.
    bool claim(bool* answered = nullptr);
    // The primary instance answers later launches from here on; once the application object
    // exists, as the answers come through its event loop.
    void listen();
    // The application is quitting: a later launch is told so and waits for this one to end,
    // instead of being shown a window that is about to go.
    void leave() { leaving_ = true; }
    // Where the lock and socket are: $XDG_RUNTIME_DIR when it is this user's and private
    // enough, else a private folder of the application's own; empty, with each folder tried
    // and why it was refused, when there is none.
    static QString runtimeDirectory(const Environment& environment,
                                    const Inspect& inspect = inspectFolder, QString* why = nullptr);
    QString directory() const { return directory_; }
    // The abstract socket name used when there is no folder; empty where there is none.
    QString abstractName() const { return abstractName_; }

    // A command of `halvane --restart-cli` and the like for the running instance, which this
    // process never becomes. Done: output holds the answer's body; failed: error says why.
    enum class Sent { Done, NoInstance, Failed };
    Sent send(const QByteArray& request, QByteArray* output, QString* error);
    // What a `status` request is answered with; json for `status json`.
    void setStatusSource(std::function<QByteArray(bool json)> source) {
        statusSource_ = std::move(source);
    }
    // The longest request line the socket takes; anything longer is refused.
    static constexpr int maxRequest = 64;

Q_SIGNALS:
    void showRequested();
    void restartRequested();
    void updateRequested();
    void quitRequested();

private:
    enum class Reply { Accepted, Leaving, Silent, Nobody, Stranger, Refused };
    // Sends one request line and reads the answer to its end; body gets what follows the
    // first line, and pid the answering process.
    Reply ask(const QByteArray& request, int timeoutMs, QByteArray* body = nullptr,
              pid_t* pid = nullptr) const;
    void answer(class QLocalSocket* socket, const QByteArray& line);
    // Whether anyone holds the lock or the name; this process lets go of it at once.
    bool held();
    bool address(sockaddr_un* to, socklen_t* length) const;
    bool take(int timeoutMs);
    bool useAbstractName(const QString& why);

    QString directory_;
    QString unusable_; // why there is no folder
    QString abstractName_;
    int abstractFd_ = -1; // bound to abstractName_ once taken
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    QString socketPath_;
    bool leaving_ = false;
    std::function<QByteArray(bool json)> statusSource_;
};
