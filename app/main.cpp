#include "AppDelegate.h"
#include "CommandLine.h"
#include "Environment.h"
#include "InstallerViewModel.h"
#include "LoginItemManager.h"
#include "NetworkWatch.h"
#include "QuitGate.h"
#include "ResumeWatcher.h"
#include "SignalBridge.h"
#include "SingleInstance.h"
#include "StatusReport.h"
#include "TrayController.h"
#include "TrayHostWatcher.h"
#include "UpdateCheckSetting.h"
#include "UpdateSchedule.h"
#include "VantrelManager.h"
#include "WindowManager.h"
#include "output/Console.h"
#include "output/Logger.h"
#include "process/ProcessGroup.h"

#include <QApplication>
#include <QIcon>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <optional>

#ifdef Q_OS_LINUX // desktop notifications through the session bus
#include "DBusNotifier.h"
#endif

namespace {
void print(std::FILE* to, const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), to);
    std::fflush(to);
}

// --help, --version, a mistake, or a command for the running instance: answered here, before
// anything of the application starts. Empty when the application is to run.
std::optional<int> answerCommandLine(const CommandLine& command) {
    switch (command.action) {
    case CommandLine::Action::Help:
        print(stdout, CommandLine::helpText());
        return 0;
    case CommandLine::Action::Version:
        print(stdout, CommandLine::versionText());
        return 0;
    case CommandLine::Action::Invalid:
        print(stderr, QStringLiteral("halvane: %1\nTry 'halvane --help' for more information.\n")
                          .arg(command.error));
        return CommandLine::kUsageError;
    case CommandLine::Action::Run:
    case CommandLine::Action::Show: // a launch: it shows the running instance or becomes it
        return std::nullopt;
    default:
        break;
    }
    SingleInstance instance(Environment::fromProcess());
    QByteArray output;
    QString error;
    switch (instance.send(command.request(), &output, &error)) {
    case SingleInstance::Sent::Done:
        print(stdout, QString::fromUtf8(output));
        return 0;
    case SingleInstance::Sent::NoInstance:
        print(stderr, QStringLiteral("halvane: Vantrel Halvane is not running\n"));
        return CommandLine::kNoInstance;
    case SingleInstance::Sent::Failed:
        break;
    }
    print(stderr, QStringLiteral("halvane: %1\n").arg(error));
    return 1;
}

int run(QApplication& app, SingleInstance& instance, const Environment& environment);
} // namespace

// The one place that decides what each request of the user does.
int main(int argc, char** argv) {
    // A reader of standard output that went away must not end the application.
    ::signal(SIGPIPE, SIG_IGN);
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> status = answerCommandLine(CommandLine::parse(arguments)))
        return *status;
    // Inherited by all this process starts but the CLI, whose environment drops it again.
    qputenv(ProcessGroup::kNotCliName, "1");
    Console::installMessageHandler();
    // A second launch only asks the first to show its window: it does so before the GUI is set
    // up, which would cost it several times more, most of all while a flood loads the machine.
    // This early reading of the environment serves only to find the one-instance folder.
    SingleInstance instance(Environment::fromProcess());
    bool answered = false;
    if (!instance.claim(&answered)) {
        Console::log(
            answered
                ? QStringLiteral("🪟 Vantrel Halvane is already running: showed its window")
                : QStringLiteral("🪟 Vantrel Halvane is already running, but did not answer"));
        Console::flush(1000);
        return 0;
    }
    // A CLI that detaches (setsid, a double fork) leaves its group; as a subreaper this process
    // still adopts what it leaves behind, so a stop can find it and its zombies get reaped.
#ifdef Q_OS_LINUX
    if (!ProcessGroup::becomeSubreaper())
        Console::log(QStringLiteral("⚠️ Not a subreaper: a CLI process that detaches itself "
                                    "cannot be stopped with the CLI"));
#endif
    QApplication app(argc, argv);
    // Panels show the application's name as the tray item's title; files name "halvane" alone.
    QApplication::setApplicationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Vantrel Halvane"));
    QApplication::setOrganizationName(QStringLiteral("Halvane"));
    // One identifier names the launcher, the metadata and the icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(HALVANE_APP_ID));
    QApplication::setWindowIcon(QIcon::fromTheme(
        QStringLiteral(HALVANE_APP_ID), QIcon(QStringLiteral(":/icons/" HALVANE_APP_ID ".png"))));
    // The tray item, not a window, keeps the application alive.
    QApplication::setQuitOnLastWindowClosed(false);

    // The reading of the environment that everything below gets what it needs from. After
    // QApplication, which takes out what was meant for this process alone (a startup id).
    const Environment environment = Environment::fromProcess();
    instance.listen();
    const int status = run(app, instance, environment);
    Console::flush(1000);
    return status;
}

namespace {
// Makes the application's parts, runs the event loop until the quit's stop has reported, and
// tears the parts down in the reverse order of their making as it returns.
int run(QApplication& app, SingleInstance& instance, const Environment& environment) {
    VantrelManager supervisor(SupervisorOptions::forUser(environment));
    VantrelManager* manager = &supervisor;
    // In the window too, where a user looks: where the CLI comes from, whom the download trusts.
    environment.logOverrides(manager->outputHandler);
    const std::unique_ptr<LoginItemManager> loginItemManager =
        LoginItemManager::forUser(environment);
    LoginItemManager* loginItems = loginItemManager.get();
    WindowManager windowManager(manager, loginItems);
    WindowManager* windows = &windowManager;
    AppDelegate delegate(manager);
    TrayController tray;
    // The one choice of how alerts reach the user: the desktop's notification service, else
    // the tray item's message; only the latter outside Linux.
#ifdef Q_OS_LINUX
    DBusNotifier desktopNotifier(QDBusConnection::sessionBus(),
                                 QApplication::applicationDisplayName(), &tray);
    Notifier& notifier = desktopNotifier;
#else
    Notifier& notifier = tray;
#endif
    tray.announceThrough(&notifier);
    TrayHostWatcher trayHosts(environment);

    // Every way out is Qt's own quit, which the gate holds until the CLI's stop has reported;
    // the tray's and the window's Quit and the signals take the same path as a logout.
    QuitGate gate(manager);
    QObject::connect(&gate, &QuitGate::leave, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&gate, &QuitGate::quitting, &app, [&instance, windows] {
        instance.leave();
        windows->setLeaving();
    });
    SignalBridge signalBridge;
    QObject::connect(&signalBridge, &SignalBridge::quitRequested, &app, [](int signal) {
        Console::log(QStringLiteral("🛑 Received signal %1, quitting").arg(signal));
        QCoreApplication::quit();
    });
    QObject::connect(&tray, &TrayController::openRequested, windows,
                     &WindowManager::showTerminalWindow);
    QObject::connect(&tray, &TrayController::restartRequested, manager,
                     &VantrelManager::restartCLI);
    // Update CLI is followed by the window's install line, whoever asked for it.
    auto* installer = new InstallerViewModel(manager, manager);
    windows->setInstaller(installer);
    QObject::connect(&tray, &TrayController::updateRequested, installer,
                     &InstallerViewModel::startInstall);
    QObject::connect(windows, &WindowManager::updateRequested, installer,
                     &InstallerViewModel::startInstall);
    QObject::connect(windows, &WindowManager::closedWithoutTray, &app, [manager, &notifier] {
        const QString how = QStringLiteral(
            "The CLI keeps running. Launch Vantrel Halvane again to bring the window back; Quit "
            "is in the window.");
        manager->outputHandler(QStringLiteral("🪟 The window is closed. ") + how +
                               QLatin1Char('\n'));
        notifier.notify(QStringLiteral("Vantrel Halvane is still running"), how);
    });
    QObject::connect(&tray, &TrayController::toggleLoginItemRequested, loginItems,
                     &LoginItemManager::toggleLoginItem);
    QObject::connect(&tray, &TrayController::quitRequested, &app, &QCoreApplication::quit);
    QObject::connect(&tray, &TrayController::trayAvailabilityChanged, windows,
                     [windows](bool available) { windows->setStandalone(!available); });
    QObject::connect(&trayHosts, &TrayHostWatcher::hostPresentChanged, &tray,
                     &TrayController::setTrayHostPresent);
    // Otherwise the first answer is on its way; only it may say there is no tray.
    if (trayHosts.isDecided())
        tray.setTrayHostPresent(trayHosts.hostPresent());
    QObject::connect(manager, &VantrelManager::stateChanged, &tray, &TrayController::showState);
    tray.showState(manager->state());
    QObject::connect(loginItems, &LoginItemManager::isEnabledChanged, &tray,
                     &TrayController::showLoginEnabled);
    tray.showLoginEnabled(loginItems->isEnabled());

    QObject::connect(windows, &WindowManager::restartRequested, manager,
                     &VantrelManager::restartCLI);
    QObject::connect(windows, &WindowManager::toggleLoginItemRequested, loginItems,
                     &LoginItemManager::toggleLoginItem);
    QObject::connect(windows, &WindowManager::quitRequested, &app, &QCoreApplication::quit);
    QObject::connect(&instance, &SingleInstance::showRequested, windows,
                     &WindowManager::showTerminalWindow);
    // The commands of `halvane --restart-cli` and the like do what the tray's entries do.
    QObject::connect(&instance, &SingleInstance::restartRequested, manager,
                     &VantrelManager::restartCLI);
    QObject::connect(&instance, &SingleInstance::updateRequested, installer,
                     &InstallerViewModel::startInstall);
    QObject::connect(&instance, &SingleInstance::quitRequested, &app, &QCoreApplication::quit);
    StatusReport statusReport(manager);
    instance.setStatusSource([&statusReport](bool json) { return statusReport.text(json); });
    QObject::connect(&delegate, &AppDelegate::windowRequested, windows,
                     &WindowManager::showTerminalWindow);
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &delegate,
                     &AppDelegate::applicationWillTerminate);
    QObject::connect(manager, &VantrelManager::attentionNeeded, &tray,
                     [&notifier](const QString& summary, const QString& body) {
                         notifier.notify(summary, body);
                     });
    // Checks for a new build in the background; the launch's own check counts as the first.
    UpdateSchedule schedule(
        {.periodMs = qint64(UpdateCheckSetting::minutes(loginItems->settings(),
                                                        Logger(manager->outputHandler))) *
                     60 * 1000});
    QObject::connect(&schedule, &UpdateSchedule::checkDue, manager,
                     &VantrelManager::checkForUpdate);
    // Every check ends here, whoever asked for it, with a busy server's Retry-After.
    QObject::connect(manager, &VantrelManager::installFinished, &schedule,
                     [&schedule](bool, const QString&, int retryAfterSeconds) {
                         schedule.checkFinished(retryAfterSeconds);
                     });
    ResumeWatcher resume(QDBusConnection::systemBus());
    QObject::connect(&resume, &ResumeWatcher::resumed, &schedule, &UpdateSchedule::resumed);
    // A download that failed for want of a network is tried again the moment it is back.
    NetworkWatch network;
    const auto reachable = [manager, &schedule](bool online) {
        if (online)
            manager->networkReachable();
        schedule.networkChanged(online);
    };
    QObject::connect(&network, &NetworkWatch::onlineChanged, manager, reachable);
    // Offline at start, coming online is the network coming back.
    if (const std::optional<bool> online = network.online())
        reachable(*online);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}
} // namespace
