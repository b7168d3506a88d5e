#include "NetworkWatch.h"

#include <QFile>
#include <QNetworkInformation>
#include <QSocketNotifier>

#ifdef Q_OS_LINUX
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
constexpr unsigned kRouteUp = 0x0001;     // RTF_UP
constexpr unsigned kRouteReject = 0x0200; // RTF_REJECT: an unreachable route, not a way out

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isUsable(const QByteArray& iface, const QByteArray& flags) {
    bool ok = false;
    const unsigned bits = flags.toUInt(&ok, 16);
    return ok && iface != "lo" && (bits & kRouteUp) && !(bits & kRouteReject);
}
} // namespace

NetworkWatch::NetworkWatch(QObject* parent) : NetworkWatch(Tables(), parent) {}

NetworkWatch::NetworkWatch(Tables tables, QObject* parent)
    : QObject(parent), tables_(std::move(tables)) {
    if (!watchRoutes())
        watchQtBackend();
}

NetworkWatch::~NetworkWatch() {
#ifdef Q_OS_LINUX
    if (socket_ >= 0)
        ::close(socket_);
#endif
}

bool NetworkWatch::hasDefaultRoute(const QByteArray& ipv4, const QByteArray& ipv6) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask …, after a header line.
    const QList<QByteArray> v4 = ipv4.split('\n');
    for (qsizetype i = 1; i < v4.size(); ++i) {
        const QList<QByteArray> f = v4.at(i).simplified().split(' ');
        if (f.size() >= 8 && f[1] == "00000000" && f[7] == "00000000" && isUsable(f[0], f[3]))
            return true;
    }
    // Destination, its prefix length, source, its length, next hop, metric, refcount, use,
    // flags, iface; no header.
    for (const QByteArray& line : ipv6.split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() >= 10 && f[0] == QByteArray(32, '0') && f[1] == "00" && isUsable(f[9], f[8]))
            return true;
    }
    return false;
}

void NetworkWatch::reconsider() {
    take(hasDefaultRoute(readAll(tables_.ipv4), readAll(tables_.ipv6)));
}

void NetworkWatch::take(bool online) {
    if (std::exchange(online_, online) != online)
        Q_EMIT onlineChanged(online);
}

bool NetworkWatch::watchRoutes() {
#ifdef Q_OS_LINUX
    socket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (socket_ < 0)
        return false;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE;
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        !QFile::exists(tables_.ipv4)) {
        ::close(socket_);
        socket_ = -1;
        return false;
    }
    notifier_ = new QSocketNotifier(qintptr(socket_), QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &NetworkWatch::drain);
    watching_ = true;
    reconsider();
    return true;
#else
    return false;
#endif
}

void NetworkWatch::drain() {
#ifdef Q_OS_LINUX
    // What changed does not matter: a burst of messages is one look at the tables.
    char buffer[8192];
    while (::recv(socket_, buffer, sizeof buffer, 0) > 0) {
    }
#endif
    reconsider();
}

void NetworkWatch::watchQtBackend() {
    if (!QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability))
        return;
    using Reachability = QNetworkInformation::Reachability;
    const auto told = [this](Reachability reachability) {
        if (reachability != Reachability::Unknown)
            take(reachability == Reachability::Online);
    };
    connect(QNetworkInformation::instance(), &QNetworkInformation::reachabilityChanged, this, told);
    watching_ = true;
    told(QNetworkInformation::instance()->reachability());
}
