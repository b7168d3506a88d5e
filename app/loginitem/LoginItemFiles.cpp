#include "LoginItemFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {
void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}
} // namespace

bool LoginItemFiles::ensureFolder(const QString& folder, QString* error) {
    if (QFileInfo(folder).isDir())
        return true;
    if (QDir().mkpath(folder))
        return true;
    // Name the part of the path that is in the way: that is what the user has to fix.
    QFileInfo info(folder);
    while (!info.exists() && !info.isSymLink() && !info.isRoot())
        info.setFile(info.absolutePath());
    if (info.exists() && !info.isDir())
        setError(error, QStringLiteral("Could not create the folder %1: %2 exists and is not a "
                                       "folder")
                            .arg(folder, info.absoluteFilePath()));
    else
        setError(error, QStringLiteral("Could not create the folder %1").arg(folder));
    return false;
}

bool LoginItemFiles::writeAtomically(const QString& path, const QByteArray& contents,
                                     QString* error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        setError(error, QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (file.write(contents) != contents.size() || !file.commit()) {
        setError(error, QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
        file.cancelWriting();
        return false;
    }
    return true;
}

bool LoginItemFiles::removeIfPresent(const QString& path, QString* error) {
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return true;
    QFile file(path);
    if (info.isDir() && !info.isSymLink()) {
        setError(error, QStringLiteral("Could not remove %1: it is a folder").arg(path));
        return false;
    }
    if (!file.remove()) {
        setError(error, QStringLiteral("Could not remove %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}
