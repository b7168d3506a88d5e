#include "AppDelegate.h"
#include "Console.h"
#include "LoginItemManager.h"
#include "SignalBridge.h"
#include "SingleInstance.h"
#include "TrayController.h"
#include "WindowManager.h"

#include <QApplication>
#include <QTimer>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("halvane"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantrel Halvane"));
    QApplication::setOrganizationName(QStringLiteral("Halvane"));
    // The tray item, not a window, keeps the application alive.
    QApplication::setQuitOnLastWindowClosed(false);

    SingleInstance instance;
    bool answered = false;
    if (!instance.claim(&answered)) {
        Console::log(
            answered
                ? QStringLiteral("🪟 Vantrel Halvane is already running: showed its window")
                : QStringLiteral("🪟 Vantrel Halvane is already running, but did not answer"));
        return 0;
    }
    SignalBridge signalBridge;
    QObject::connect(&signalBridge, &SignalBridge::quitRequested, &app, [](int signal) {
        Console::log(QStringLiteral("🛑 Received signal %1, quitting").arg(signal));
        QCoreApplication::quit();
    });

    LoginItemManager::shared();
    AppDelegate delegate;
    TrayController tray;
    QObject::connect(&instance, &SingleInstance::showRequested, WindowManager::shared(),
                     &WindowManager::showTerminalWindow);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
