#pragma once

#include <QString>

// What the tray menu and the tray-less window both show.
namespace AppActions {
inline QString startAtLoginLabel(bool enabled) {
    return enabled ? QStringLiteral("✓ Start at Login") : QStringLiteral("Start at Login");
}
// With a new build staged, a restart is what brings it in.
inline QString restartLabel(bool buildStaged = false) {
    return buildStaged ? QStringLiteral("Restart CLI to Update") : QStringLiteral("Restart CLI");
}
inline QString updateLabel() {
    return QStringLiteral("Update CLI");
}
} // namespace AppActions
