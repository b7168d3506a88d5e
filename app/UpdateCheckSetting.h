#pragma once

#include <QString>

class Logger;
class QSettings;

// How often the CLI is checked for a new build in the background: minutes under
// checkForUpdatesMinutesKey in the settings file, 0 for never. Read once, at start.
class UpdateCheckSetting {
public:
    static inline const QString checkForUpdatesMinutesKey =
        QStringLiteral("checkForUpdatesMinutes");
    static constexpr int defaultMinutes = 360;

    // The minutes set, or the default when none are; a value that is no whole number of minutes
    // from 0 up is named with the file in a warning, and the default is used.
    static int minutes(const QSettings& settings, const Logger& log);
};
