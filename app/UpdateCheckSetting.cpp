#include "UpdateCheckSetting.h"
#include "output/Logger.h"

#include <QSettings>

int UpdateCheckSetting::minutes(const QSettings& settings, const Logger& log) {
    const QVariant value = settings.value(checkForUpdatesMinutesKey);
    if (!value.isValid())
        return defaultMinutes;
    // An unquoted comma makes a list of the value.
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QLatin1Char(','))
                             : value.toString();
    bool isNumber = false;
    const int minutes = text.trimmed().toInt(&isNumber);
    if (isNumber && minutes >= 0) {
        if (minutes == 0)
            log.trace(QStringLiteral("ℹ️ %1=0: no checks for a new CLI build in the background")
                          .arg(checkForUpdatesMinutesKey));
        return minutes;
    }
    log.warning(QStringLiteral("⚠️ %1=%2 in %3 is not a whole number of minutes (0 turns the "
                               "check off): checking for a new CLI build every %4 minutes")
                    .arg(checkForUpdatesMinutesKey, text, settings.fileName())
                    .arg(defaultMinutes));
    return defaultMinutes;
}
