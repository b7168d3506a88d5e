#pragma once

#include "Notifier.h"

#include <QDBusConnection>

// Desktop notifications through org.freedesktop.Notifications on the given bus. Sends nothing
// when no notification service runs there or can be started, and never waits for one.
class DBusNotifier final : public Notifier {
public:
    DBusNotifier(const QDBusConnection& bus, const QString& appName);

    bool serviceAvailable() const;
    bool notify(const QString& summary, const QString& body) override;

private:
    QDBusConnection bus_;
    QString appName_;
};
