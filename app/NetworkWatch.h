#pragma once

#include <QObject>
#include <QString>

#include <optional>

class QSocketNotifier;

// Whether the machine has a way out to the network. On Linux the kernel's routing tables say
// it: online while a default route is up (IPv4 or IPv6), looked at again whenever netlink
// tells of a changed route, address or link. That holds no GLib and needs no daemon. Where
// netlink cannot be had, Qt's network information backends answer instead.
class NetworkWatch final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(NetworkWatch)

public:
    struct Tables {
        QString ipv4 = QStringLiteral("/proc/net/route");
        QString ipv6 = QStringLiteral("/proc/net/ipv6_route");
    };

    explicit NetworkWatch(QObject* parent = nullptr);
    explicit NetworkWatch(Tables tables, QObject* parent = nullptr);
    ~NetworkWatch() override;

    // Something tells of changes; otherwise onlineChanged() never comes.
    bool isWatching() const { return watching_; }
    // Empty while nothing is known yet, which says nothing about being away.
    std::optional<bool> online() const { return online_; }

    // Whether either table (the text of /proc/net/route, /proc/net/ipv6_route) holds a
    // default route that is up and leads somewhere other than the loopback.
    static bool hasDefaultRoute(const QByteArray& ipv4, const QByteArray& ipv6);

public Q_SLOTS:
    // Reads the tables again; emits onlineChanged() when the answer changed.
    void reconsider();

Q_SIGNALS:
    void onlineChanged(bool online);

private:
    void take(bool online);
    bool watchRoutes();
    void watchQtBackend();
    void drain();

    Tables tables_;
    QSocketNotifier* notifier_ = nullptr;
    int socket_ = -1;
    bool watching_ = false;
    std::optional<bool> online_;
};
