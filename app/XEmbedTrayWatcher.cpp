#include "XEmbedTrayWatcher.h"

#include <QCoreApplication>

#ifndef HALVANE_HAVE_XCB

// Built without xcb: no XEmbed tray is ever seen, and StatusNotifierItem hosts still are.
XEmbedTrayWatcher::XEmbedTrayWatcher(const QString&, QObject* parent) : QObject(parent) {}

XEmbedTrayWatcher::~XEmbedTrayWatcher() = default;

bool XEmbedTrayWatcher::nativeEventFilter(const QByteArray&, void*, qintptr*) {
    return false;
}

#else

#include <QGuiApplication>
#include <QRegularExpression>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>

namespace {
// The screen Qt opened: the number after the dot of the display's name, 0 when there is none.
int screenNumber(const QString& display) {
    static const QRegularExpression screen(QStringLiteral(R"(:\d+\.(\d+)$)"));
    const QRegularExpressionMatch m = screen.match(display);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}
} // namespace

XEmbedTrayWatcher::XEmbedTrayWatcher(const QString& display, QObject* parent) : QObject(parent) {
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    auto* c = x11 ? x11->connection() : nullptr;
    if (!c)
        return;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (!ext || !ext->present)
        return;
    free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 1, 0), nullptr));
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenNumber(display));
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, false, quint16(name.size()), name.constData()), nullptr);
    if (!atom)
        return;
    selection_ = atom->atom;
    free(atom);
    const xcb_setup_t* setup = xcb_get_setup(c);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(setup);
    for (int i = screenNumber(display); i > 0 && it.rem > 1; --i)
        xcb_screen_next(&it);
    connection_ = c;
    xfixesEvent_ = ext->first_event;
    QCoreApplication::instance()->installNativeEventFilter(this);
    xcb_xfixes_select_selection_input(c, it.data->root, selection_,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection_), nullptr);
    present_ = owner && owner->owner != XCB_NONE;
    free(owner);
}

XEmbedTrayWatcher::~XEmbedTrayWatcher() {
    if (connection_ && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool XEmbedTrayWatcher::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != xfixesEvent_ + XCB_XFIXES_SELECTION_NOTIFY)
        return false;
    const auto* notify = reinterpret_cast<const xcb_xfixes_selection_notify_event_t*>(event);
    if (notify->selection != selection_)
        return false;
    const bool present = notify->owner != XCB_NONE;
    if (present != present_) {
        present_ = present;
        Q_EMIT trayPresentChanged(present);
    }
    return false; // Qt's own tray code may want it too
}

#endif
