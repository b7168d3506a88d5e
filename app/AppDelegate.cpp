#include "AppDelegate.h"
#include "VantrelManager.h"
#include "output/Console.h"

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
    // After the quit's stop this finds nothing left; only an end that skipped it (exit() from
    // below the event loop) finds the stop unfinished, and cannot wait for it now.
    manager_->cleanup();
    Console::log(manager_->stage() == CliLifecycle::Stage::Finished
                     ? QStringLiteral("🛑 App termination cleanup completed")
                     : QStringLiteral("⚠️ Leaving before the CLI's stop has completed"));
}
