#include "LoginItemBackend.h"
#include "Environment.h"

#include "LaunchAgentBackend.h"
#include "XdgAutostartBackend.h"

#include <QCoreApplication>

std::unique_ptr<LoginItemBackend>
LoginItemBackend::createForPlatform(const Environment& environment) {
#ifdef Q_OS_MACOS
    return std::make_unique<LaunchAgentBackend>(defaultBinaryPath(environment),
                                                environment.home() +
                                                    QStringLiteral("/Library/LaunchAgents"));
#else
    return std::make_unique<XdgAutostartBackend>(defaultBinaryPath(environment),
                                                 environment.configHome());
#endif
}

QString LoginItemBackend::defaultBinaryPath(const Environment& environment) {
    return environment.launchable(QCoreApplication::applicationFilePath());
}
