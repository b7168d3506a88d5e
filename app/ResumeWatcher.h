#pragma once

#include <QDBusConnection>
#include <QObject>

// Tells when the machine has woken from suspend, as logind announces it on the system bus
// (PrepareForSleep with false). Where there is no such bus, or no logind on it, it never does.
class ResumeWatcher final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ResumeWatcher)

public:
    explicit ResumeWatcher(const QDBusConnection& bus, QObject* parent = nullptr);

    // The bus is there and took the subscription.
    bool isWatching() const { return watching_; }

Q_SIGNALS:
    void resumed();

private Q_SLOTS:
    void onPrepareForSleep(bool goingToSleep);

private:
    bool watching_ = false;
};
