#pragma once

#include <QList>
#include <QObject>

class QSocketNotifier;

// Turns every signal that would end the application by default (SIGTERM, SIGINT, SIGHUP,
// SIGUSR1, SIGALRM, ...) into an ordinary quit, so the CLI is stopped on logout, kill and
// Ctrl+C too. Where the application cannot wait (a crash signal, exit() called under it when
// the display goes away), the CLI is sent SIGTERM on the way down.
class SignalBridge final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalBridge)

public:
    explicit SignalBridge(QObject* parent = nullptr);

    // Signals whose default is to end the process and that can wait for the CLI's stop.
    static QList<int> quitSignals();
    // Signals that say the process is broken: it only signals the CLI and then dies of them.
    static QList<int> crashSignals();

Q_SIGNALS:
    void quitRequested(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};
