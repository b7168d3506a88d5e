#pragma once

#include <QObject>

class QDBusServiceWatcher;
class XEmbedTrayWatcher;

// Says whether a tray host is there to show an item: a StatusNotifierItem host behind the
// session bus's watcher, an XEmbed tray manager on the X11 screen, or, from the start, the
// platform's own (macOS, Windows). Qt settles on one tray
// protocol the first time anything asks it about the tray and never asks again, so nothing may
// ask before this says a host exists. Hosts are noticed through bus and X11 events, never polled.
class TrayHostWatcher final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayHostWatcher)

public:
    explicit TrayHostWatcher(QObject* parent = nullptr);
    ~TrayHostWatcher() override;

    bool hostPresent() const { return platformHost_ || snHost_ || xembedHost_; }

Q_SIGNALS:
    void hostPresentChanged(bool present);

private Q_SLOTS:
    // Reached by name from the bus's signal matches.
    void askHostRegistered();
    void hostRegistered();

private:
    void watcherAppeared();
    void watcherGone();
    void setHosts(bool snHost, bool xembedHost);

    QDBusServiceWatcher* busWatch_ = nullptr;
    XEmbedTrayWatcher* xembed_ = nullptr;
    const bool platformHost_;
    bool snHost_ = false;
    bool xembedHost_ = false;
};
