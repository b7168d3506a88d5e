#include "TrayHostWatcher.h"
#include "Environment.h"
#include "XEmbedTrayWatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>

#include <utility>

namespace {
// The macOS menu bar and the Windows notification area are always there to hold the item.
#if defined(Q_OS_MACOS) || defined(Q_OS_WIN)
constexpr bool kPlatformAlwaysHasTray = true;
#else
constexpr bool kPlatformAlwaysHasTray = false;
#endif
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
} // namespace

TrayHostWatcher::TrayHostWatcher(const Environment& environment, QObject* parent)
    : QObject(parent), platformHost_(kPlatformAlwaysHasTray), decided_(platformHost_) {
    if (platformHost_)
        return;
    xembed_ = new XEmbedTrayWatcher(environment.display(), this);
    connect(xembed_, &XEmbedTrayWatcher::trayPresentChanged, this,
            [this](bool present) { setHosts(snHost_, present); });
    xembedHost_ = xembed_->trayPresent();

    // A panel starting with the session may register its watcher a moment after this; either
    // way "no tray" is said only once the wait is over.
    decided_ = xembedHost_;
    QTimer::singleShot(decideTimeoutMs, this, [this] {
        if (!std::exchange(decided_, true))
            Q_EMIT hostPresentChanged(hostPresent());
    });
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    busWatch_ = new QDBusServiceWatcher(kWatcherService, bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(busWatch_, &QDBusServiceWatcher::serviceRegistered, this,
            &TrayHostWatcher::watcherAppeared);
    connect(busWatch_, &QDBusServiceWatcher::serviceUnregistered, this,
            &TrayHostWatcher::watcherGone);
    // Bound to the watcher's name, so a restarted panel's signal reaches us too.
    bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(hostRegistered()));
    bus.connect(kWatcherService, kWatcherPath, kWatcherService,
                QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(askHostRegistered()));
    if (bus.interface()->isServiceRegistered(kWatcherService))
        askHostRegistered();
}

TrayHostWatcher::~TrayHostWatcher() = default;

void TrayHostWatcher::watcherAppeared() {
    askHostRegistered();
}

void TrayHostWatcher::watcherGone() {
    setHosts(false, xembedHost_);
}

void TrayHostWatcher::askHostRegistered() {
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* call = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *w;
        // A watcher that cannot answer has no host we could rely on.
        setHosts(!reply.isError() && reply.value().variant().toBool(), xembedHost_);
    });
}

void TrayHostWatcher::hostRegistered() {
    setHosts(true, xembedHost_);
}

void TrayHostWatcher::setHosts(bool snHost, bool xembedHost) {
    const bool was = hostPresent();
    snHost_ = snHost;
    xembedHost_ = xembedHost;
    // Before the wait is over only a host found counts: a "no" may just be early.
    if (!decided_ && !hostPresent())
        return;
    const bool firstAnswer = !std::exchange(decided_, true);
    if (hostPresent() != was || firstAnswer)
        Q_EMIT hostPresentChanged(hostPresent());
}
