#include "LoginItemBackend.h"

#include "LaunchAgentBackend.h"
#include "XdgAutostartBackend.h"

#include <QCoreApplication>
#include <QFileInfo>

std::unique_ptr<LoginItemBackend> LoginItemBackend::createForPlatform() {
#ifdef Q_OS_MACOS
    return std::make_unique<LaunchAgentBackend>();
#else
    return std::make_unique<XdgAutostartBackend>();
#endif
}

QString LoginItemBackend::defaultBinaryPath() {
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    if (!appImage.isEmpty()) {
        const QFileInfo info(appImage);
        if (info.isAbsolute() && info.isFile())
            return info.absoluteFilePath();
    }
    return QCoreApplication::applicationFilePath();
}
