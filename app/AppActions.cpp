#include "AppActions.h"
#include "VantrelManager.h"

#include <QCoreApplication>

void AppActions::quit() {
    VantrelManager::shared()->cleanup();
    QCoreApplication::quit();
}
