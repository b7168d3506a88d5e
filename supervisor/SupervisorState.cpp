#include "SupervisorState.h"

QString humanSize(qint64 bytes) {
    if (bytes < 1000)
        return QStringLiteral("%1 B").arg(bytes);
    const char* units[] = {"kB", "MB", "GB", "TB"};
    double value = double(bytes) / 1000.0;
    int unit = 0;
    while (value >= 1000.0 && unit < 3) {
        value /= 1000.0;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QString humanTime(const QDateTime& moment) {
    const QDateTime local = moment.toLocalTime();
    return local.toString(local.date() == QDate::currentDate()
                              ? QStringLiteral("HH:mm")
                              : QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString humanSeconds(int ms) {
    return QString::number(ms / 1000.0, 'g', 3);
}

namespace {
QString capitalized(QString text) {
    if (!text.isEmpty())
        text[0] = text[0].toUpper();
    return text;
}

QString phaseText(const SupervisorState& state) {
    using Phase = SupervisorState::Phase;
    const qint64 received = state.received;
    const qint64 total = state.total;
    switch (state.phase) {
    case Phase::Idle:
        return QStringLiteral("Idle");
    case Phase::Sweeping:
        return QStringLiteral("Stopping stale CLI processes");
    case Phase::Downloading:
        if (total > 0)
            return QStringLiteral("Downloading %1 % (%2 of %3)")
                .arg(received * 100 / total)
                .arg(humanSize(received), humanSize(total));
        return QStringLiteral("Downloading (%1)").arg(humanSize(received));
    case Phase::Installing:
        return QStringLiteral("Installing");
    case Phase::Running:
        if (state.runningSince.isValid())
            return QStringLiteral("Running since %1").arg(humanTime(state.runningSince));
        return QStringLiteral("Running");
    case Phase::Stopping:
        return QStringLiteral("Stopping the CLI");
    case Phase::Restarting:
        return QStringLiteral("%1, restarting in %2 s")
            .arg(capitalized(state.ending), humanSeconds(state.delayMs));
    case Phase::Exited:
        return capitalized(state.ending);
    case Phase::Failed:
        return state.reason.isEmpty() ? QStringLiteral("Failed") : state.reason;
    }
    return {};
}
} // namespace

QString SupervisorState::summary() const {
    QString text = phaseText(*this);
    if (!build.isEmpty())
        text += QStringLiteral(" · ") + build;
    if (!stagedBuild.isEmpty())
        text += QStringLiteral("\nNew build ready (%1): Restart CLI starts it").arg(stagedBuild);
    if (!notice.isEmpty())
        text += QLatin1Char('\n') + notice;
    return text;
}

QString SupervisorState::checkSummary() const {
    if (!lastCheck.isValid())
        return {};
    return QStringLiteral("Last checked for a new build %1: %2")
        .arg(humanTime(lastCheck), lastCheckResult);
}
