#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

// Whether an XEmbed tray manager owns the screen's _NET_SYSTEM_TRAY_S<n> selection, learnt from
// XFixes selection notices rather than by asking again and again. Off X11, or built without
// xcb (HALVANE_X11=OFF), it never sees one.
class XEmbedTrayWatcher final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(XEmbedTrayWatcher)

public:
    // display: the X11 display name Qt opened, for its screen number.
    explicit XEmbedTrayWatcher(const QString& display, QObject* parent = nullptr);
    ~XEmbedTrayWatcher() override;

    bool trayPresent() const { return present_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    void trayPresentChanged(bool present);

private:
    void* connection_ = nullptr; // xcb_connection_t, kept out of this header
    quint32 selection_ = 0;
    quint8 xfixesEvent_ = 0;
    bool present_ = false;
};
