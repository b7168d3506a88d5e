#include "AppDelegate.h"
#include "Console.h"
#include "VantrelManager.h"

#include <QTimer>

AppDelegate::AppDelegate(VantrelManager* manager, QObject* parent)
    : QObject(parent), manager_(manager) {}

void AppDelegate::applicationDidFinishLaunching() {
    Console::log(QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"));
    // Scheduled first, so the delay counts from here; it still runs only after this returns.
    QTimer::singleShot(windowDelayMs, this, [this] {
        Console::log(QStringLiteral("🚀 Opening terminal window automatically"));
        Q_EMIT windowRequested();
    });
    manager_->createInstallDirectory();
    Console::log(QStringLiteral("🚀 About to call downloadAndRunCLI"));
    manager_->downloadAndRunCLI();
    Console::log(QStringLiteral("🚀 downloadAndRunCLI called"));
}

void AppDelegate::applicationWillTerminate() {
    Console::log(QStringLiteral("🛑 AppDelegate applicationWillTerminate called"));
    manager_->cleanup();
    Console::log(QStringLiteral("🛑 App termination cleanup completed"));
}
