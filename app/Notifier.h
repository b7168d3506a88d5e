#pragma once

#include <QString>

// Tells the user about something rare and serious through the desktop, so it is seen with the
// window closed: the desktop's notification service where the session bus has one (Linux), the
// tray item's own message elsewhere. Where neither can, nothing is shown.
class Notifier {
public:
    virtual ~Notifier() = default;
    // False when there was nowhere to send it.
    virtual bool notify(const QString& summary, const QString& body) = 0;
};
