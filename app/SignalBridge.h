#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an ordinary quit, so the CLI is stopped on logout,
// kill and Ctrl+C too.
class SignalBridge final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalBridge)

public:
    explicit SignalBridge(QObject* parent = nullptr);

Q_SIGNALS:
    void quitRequested(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};
