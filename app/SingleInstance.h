#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>

#include <memory>

// One instance per user. The first one holds a lock and listens; a later launch asks it to
// show its window and leaves without touching the CLI. A lock left by a crashed instance is
// stale (its process is gone) and is taken over.
class SingleInstance final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    explicit SingleInstance(QObject* parent = nullptr);

    // True when this process is the primary instance; otherwise the primary has been asked
    // to show itself (answered is set when it acknowledged in time).
    bool claim(bool* answered = nullptr);
    static QString runtimeDirectory();

Q_SIGNALS:
    void showRequested();

private:
    std::unique_ptr<QLockFile> lock_;
    QLocalServer server_;
    QString socketPath_;
};
