#include "AppDelegate.h"
#include "Console.h"
#include "VantrelManager.h"
#include "WindowManager.h"

#include <QTimer>

void AppDelegate::applicationDidFinishLaunching() {
    Console::log(QStringLiteral("🚀 AppDelegate applicationDidFinishLaunching called"));
    // Scheduled first, so the delay counts from here; it still runs only after this returns.
    QTimer::singleShot(windowDelayMs, this, [] {
        Console::log(QStringLiteral("🚀 Opening terminal window automatically"));
        WindowManager::shared()->showTerminalWindow();
    });
    VantrelManager* manager = VantrelManager::shared();
    manager->createInstallDirectory();
    Console::log(QStringLiteral("🚀 About to call downloadAndRunCLI"));
    manager->downloadAndRunCLI();
    Console::log(QStringLiteral("🚀 downloadAndRunCLI called"));
}

void AppDelegate::applicationWillTerminate() {
    Console::log(QStringLiteral("🛑 AppDelegate applicationWillTerminate called"));
    VantrelManager::shared()->cleanup();
    Console::log(QStringLiteral("🛑 App termination cleanup completed"));
}
