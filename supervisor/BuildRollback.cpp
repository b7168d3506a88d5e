#include "BuildRollback.h"
#include "CliMetadata.h"
#include "CliRunner.h"
#include "Console.h"

#include <QDateTime>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>

BuildRollback::BuildRollback(const SupervisorOptions& options, OutputLog::Writer say)
    : options_(options), say_(std::move(say)) {}

bool BuildRollback::rollBackIfFailed(const CliEnding& ending) {
    QJsonObject metadata = CliMetadata::load(options_);
    if (!metadata.value(QStringLiteral("trial")).toBool())
        return false;
    // A run that began before the install (started early, or the one it replaced) says nothing
    // about the new build; the margin covers the two clocks' rounding.
    const qint64 startedAt = QDateTime::currentMSecsSinceEpoch() - ending.ranMs;
    if (startedAt + 50 < qint64(metadata.value(QStringLiteral("installedAt")).toDouble()))
        return false;
    const bool early = ending.ranMs < options_.rollbackWindowMs;
    // Stopped early by the supervisor: the next run decides.
    if (ending.requested && early)
        return false;
    metadata.insert(QStringLiteral("trial"), false);
    const bool failed = !ending.requested && early && (ending.exitCode != 0 || ending.signal != 0);
    const QString previous = options_.previousCliPath();
    if (!failed || !QFileInfo(previous).isFile()) {
        CliMetadata::save(options_, metadata);
        return false;
    }
    if (std::rename(QFile::encodeName(previous).constData(),
                    QFile::encodeName(options_.cliPath()).constData()) != 0) {
        const QString error = QString::fromLocal8Bit(std::strerror(errno));
        say_(QStringLiteral("❌ Could not put the previous build %1 back: %2\n")
                 .arg(previous, error));
        CliMetadata::save(options_, metadata);
        return false;
    }
    const QString bad = metadata.value(QStringLiteral("sha256")).toString();
    for (const QString& key : CliMetadata::buildKeys)
        metadata.remove(key);
    const QJsonObject kept = metadata.take(QStringLiteral("previous")).toObject();
    for (auto it = kept.begin(); it != kept.end(); ++it)
        metadata.insert(it.key(), it.value());
    metadata.insert(QStringLiteral("rejectedSha256"), bad);
    CliMetadata::save(options_, metadata);
    const QString how = ending.signal != 0 ? QStringLiteral("signal %1").arg(ending.signal)
                                           : QStringLiteral("exit code %1").arg(ending.exitCode);
    const QString line =
        QStringLiteral("↩️ The new build (SHA-256 %1) failed at its first start (%2): "
                       "the previous build is back in place and will not be replaced by it again")
            .arg(bad.left(12), how);
    say_(line + QLatin1Char('\n'));
    Console::log(line);
    return true;
}
