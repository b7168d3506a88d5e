#include "DBusNotifier.h"
#include "output/Console.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QVariantMap>

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
} // namespace

DBusNotifier::DBusNotifier(const QDBusConnection& bus, const QString& appName, Notifier* fallback)
    : bus_(bus), appName_(appName), fallback_(fallback) {}

bool DBusNotifier::serviceAvailable() const {
    QDBusConnectionInterface* daemon = bus_.isConnected() ? bus_.interface() : nullptr;
    if (!daemon)
        return false;
    if (daemon->isServiceRegistered(service))
        return true;
    // Many desktops start their notification daemon on the first message.
    const QDBusReply<QStringList> activatable =
        daemon->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(service);
}

bool DBusNotifier::notify(const QString& summary, const QString& body) {
    if (!serviceAvailable()) {
        if (fallback_ && fallback_->notify(summary, body))
            return true;
        Console::log(QStringLiteral("ℹ️ No desktop notification service; not shown: ") +
                     summary);
        return false;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"),
                                       service, QStringLiteral("Notify"));
    call << appName_ << 0u << QStringLiteral("dialog-warning") << summary << body << QStringList()
         << QVariantMap() << -1;
    // The reply (the notification's id) is of no use: fire and forget, the UI never waits.
    if (bus_.send(call))
        return true;
    Console::log(QStringLiteral("⚠️ Could not send a desktop notification: ") +
                 bus_.lastError().message());
    return false;
}
