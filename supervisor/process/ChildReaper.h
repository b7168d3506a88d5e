#pragma once

#include "output/Logger.h"

#include <QList>
#include <QObject>

#include <functional>

#include <sys/types.h>

class QSocketNotifier;

// Reaps the children this process adopted as a subreaper (the CLI's detached daemons) as soon
// as one ends: SIGCHLD wakes it through a pipe, so nothing polls. Children that QProcess owns
// are left to QProcess.
class ChildReaper final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ChildReaper)

public:
    // keep: the children that are not ours to reap, asked at each SIGCHLD.
    ChildReaper(std::function<QList<pid_t>()> keep, const Logger& log, QObject* parent = nullptr);
    ~ChildReaper() override;

private:
    std::function<QList<pid_t>()> keep_;
    QSocketNotifier* notifier_ = nullptr;
};
