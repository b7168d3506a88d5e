#include "ResumeWatcher.h"
#include "output/Console.h"

ResumeWatcher::ResumeWatcher(const QDBusConnection& bus, QObject* parent) : QObject(parent) {
    QDBusConnection connection = bus;
    // QtDBus delivers signals only to a slot named by its signature.
    watching_ =
        connection.isConnected() &&
        connection.connect(QStringLiteral("org.freedesktop.login1"),
                           QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"),
                           QStringLiteral("PrepareForSleep"), this, SLOT(onPrepareForSleep(bool)));
    if (!watching_)
        Console::log(QStringLiteral("ℹ️ No system bus: a wake from suspend goes unnoticed"));
}

void ResumeWatcher::onPrepareForSleep(bool goingToSleep) {
    if (!goingToSleep)
        Q_EMIT resumed();
}
