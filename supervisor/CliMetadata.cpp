#include "CliMetadata.h"
#include "SupervisorState.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace {
QString metadataPath(const SupervisorOptions& options) {
    return options.stateDir + QStringLiteral("/cli-download.json");
}
} // namespace

const QStringList CliMetadata::buildKeys = {QStringLiteral("etag"), QStringLiteral("lastModified"),
                                            QStringLiteral("size"), QStringLiteral("sha256"),
                                            QStringLiteral("date")};

QJsonObject CliMetadata::load(const SupervisorOptions& options) {
    QFile file(metadataPath(options));
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object()
                                          : QJsonObject();
}

QString CliMetadata::save(const SupervisorOptions& options, const QJsonObject& metadata) {
    QDir().mkpath(options.stateDir);
    QSaveFile file(metadataPath(options));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(metadata).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        return file.fileName() + QStringLiteral(": ") + file.errorString();
    return {};
}

QString CliMetadata::describe(const QJsonObject& build) {
    const QString sha = build.value(QStringLiteral("sha256")).toString();
    if (sha.isEmpty())
        return {};
    QString text = humanSize(qint64(build.value(QStringLiteral("size")).toDouble())) +
                   QStringLiteral(", SHA-256 ") + sha.left(12);
    const QDateTime date =
        QDateTime::fromString(build.value(QStringLiteral("date")).toString(), Qt::ISODate);
    if (date.isValid())
        text += QStringLiteral(", ") + date.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    return text;
}

QJsonObject CliMetadata::buildOf(const QJsonObject& metadata) {
    QJsonObject build;
    for (const QString& key : buildKeys)
        if (metadata.contains(key))
            build.insert(key, metadata.value(key));
    return build;
}
