#pragma once

#include <QString>

// What the tray menu and the tray-less window both offer.
namespace AppActions {
inline QString startAtLoginLabel(bool enabled) {
    return enabled ? QStringLiteral("✓ Start at Login") : QStringLiteral("Start at Login");
}
// Stops the CLI first, then asks the application to quit (which stops it once more).
void quit();
} // namespace AppActions
