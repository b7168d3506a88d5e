#pragma once

#include <QString>

// What the tray menu and the tray-less window both show.
namespace AppActions {
inline QString startAtLoginLabel(bool enabled) {
    return enabled ? QStringLiteral("✓ Start at Login") : QStringLiteral("Start at Login");
}
inline QString restartLabel() {
    return QStringLiteral("Restart CLI");
}
inline QString updateLabel() {
    return QStringLiteral("Update CLI");
}
} // namespace AppActions
