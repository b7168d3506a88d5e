#pragma once

#include <QObject>

class Environment;
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
    explicit TrayHostWatcher(const Environment& environment, QObject* parent = nullptr);
    ~TrayHostWatcher() override;

    bool hostPresent() const { return platformHost_ || snHost_ || xembedHost_; }
    // Whether hostPresent() is an answer yet: the panel's answer comes asynchronously, and
    // is waited for at most decideTimeoutMs.
    bool isDecided() const { return decided_; }

    static constexpr int decideTimeoutMs = 1000;

Q_SIGNALS:
    // Also once when the first answer is in, whatever it is.
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
    bool decided_ = false;
};
