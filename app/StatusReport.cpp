#include "StatusReport.h"
#include "VantrelManager.h"
#include "process/CliProcess.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaEnum>

StatusReport::StatusReport(VantrelManager* manager, QObject* parent)
    : QObject(parent), manager_(manager) {}

// Absent facts are null, so a script can tell "none" from a value.
StatusReport::Fields StatusReport::fields() const {
    const SupervisorState state = manager_->state();
    const CliProcess* process = manager_->currentProcess();
    const bool running = process && process->state() == QProcess::Running;
    const auto orNull = [](const QString& text) { return text.isEmpty() ? QVariant() : text; };
    // The phase alone: the build and the notice have keys of their own, and running_seconds
    // says since when.
    SupervisorState phase = state;
    phase.build.clear();
    phase.notice.clear();
    phase.stagedBuild.clear();
    phase.runningSince = {};
    const QDateTime lastCheck = state.lastCheck.toUTC();
    return {
        {QStringLiteral("stage"),
         QString::fromLatin1(
             QMetaEnum::fromType<CliLifecycle::Stage>().valueToKey(int(manager_->stage())))
             .toLower()},
        {QStringLiteral("state"), phase.summary()},
        {QStringLiteral("pid"), running ? QVariant(qint64(process->processId())) : QVariant()},
        {QStringLiteral("running_seconds"),
         running ? QVariant(process->runningMs() / 1000) : QVariant()},
        {QStringLiteral("build"), orNull(state.build)},
        {QStringLiteral("staged_build"), orNull(state.stagedBuild)},
        {QStringLiteral("last_check"),
         lastCheck.isValid() ? QVariant(lastCheck.toString(Qt::ISODate)) : QVariant()},
        {QStringLiteral("last_check_result"), orNull(state.lastCheckResult)},
        {QStringLiteral("notice"), orNull(state.notice)},
    };
}

QByteArray StatusReport::text(bool json) const {
    const Fields all = fields();
    if (json) {
        QJsonObject object;
        for (const auto& [key, value] : all)
            object.insert(key, QJsonValue::fromVariant(value));
        return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    }
    QByteArray lines;
    for (const auto& [key, value] : all)
        lines += key.toUtf8() + ": " +
                 (value.isNull() ? QByteArrayLiteral("none") : value.toString().toUtf8()) + '\n';
    return lines;
}
