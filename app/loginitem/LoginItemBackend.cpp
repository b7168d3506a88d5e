#include "LoginItemBackend.h"

#include "LaunchAgentBackend.h"
#include "XdgAutostartBackend.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

std::unique_ptr<LoginItemBackend> LoginItemBackend::createForPlatform() {
#ifdef Q_OS_MACOS
    return std::make_unique<LaunchAgentBackend>();
#else
    return std::make_unique<XdgAutostartBackend>();
#endif
}

QString LoginItemBackend::defaultBinaryPath() {
    const QString binary = QCoreApplication::applicationFilePath();
    // APPIMAGE is inherited by whatever an AppImage starts: it names this application only
    // while this binary runs from that AppImage's mount.
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    const QString mount = qEnvironmentVariable("APPDIR");
    if (!appImage.isEmpty() && QDir::isAbsolutePath(mount) &&
        binary.startsWith(QDir::cleanPath(mount) + QLatin1Char('/'))) {
        const QFileInfo info(appImage);
        if (info.isAbsolute() && info.isFile())
            return info.absoluteFilePath();
    }
    return binary;
}
