#pragma once

#include <QString>

// Tells the user about something rare and serious through the desktop, so it is seen with the
// window closed. Where the desktop offers no way to do so, nothing is shown.
class Notifier {
public:
    virtual ~Notifier() = default;
    // False when there was nowhere to send it.
    virtual bool notify(const QString& summary, const QString& body) = 0;
};
