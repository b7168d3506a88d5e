#include "VantrelManager.h"

#include <QDir>

void VantrelManager::createInstallDirectory() {
    QDir().mkpath(options_.installDir);
}

void VantrelManager::installCLI() {}

void VantrelManager::downloadAndRunCLI() {}
