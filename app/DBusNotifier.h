#pragma once

#include "Notifier.h"

#include <QDBusConnection>

// Desktop notifications through org.freedesktop.Notifications on the given bus. When no
// notification service runs there or can be started, hands the message to the fallback (the tray
// item's own message), if any; never waits for a service.
class DBusNotifier final : public Notifier {
public:
    DBusNotifier(const QDBusConnection& bus, const QString& appName, Notifier* fallback = nullptr);

    bool serviceAvailable() const;
    bool notify(const QString& summary, const QString& body) override;

private:
    QDBusConnection bus_;
    QString appName_;
    Notifier* fallback_;
};
