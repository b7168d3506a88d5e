#include "TrayController.h"
#include "AppActions.h"
#include "ChevronIcon.h"
#include "Console.h"
#include "LoginItemManager.h"
#include "VantrelManager.h"
#include "WindowManager.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

TrayController::TrayController(QObject* parent) : QObject(parent) {
    menu_ = new QMenu();
    open_ = menu_->addAction(QStringLiteral("Open Vantrel Halvane Status"));
    menu_->addSeparator();
    login_ = menu_->addAction(QString());
    menu_->addSeparator();
    quit_ = menu_->addAction(QStringLiteral("Quit"));
    quit_->setMenuRole(QAction::QuitRole);

    connect(open_, &QAction::triggered, this,
            [] { WindowManager::shared()->showTerminalWindow(); });
    LoginItemManager* loginItems = LoginItemManager::shared();
    auto showLogin = [this](bool enabled) {
        login_->setText(AppActions::startAtLoginLabel(enabled));
    };
    showLogin(loginItems->isEnabled());
    connect(loginItems, &LoginItemManager::isEnabledChanged, this, showLogin);
    connect(login_, &QAction::triggered, loginItems, &LoginItemManager::toggleLoginItem);
    connect(quit_, &QAction::triggered, this, &AppActions::quit);

    icon_ = new QSystemTrayIcon(chevronIcon(), this);
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this, [](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
            WindowManager::shared()->showTerminalWindow();
    });
    VantrelManager* manager = VantrelManager::shared();
    connect(manager, &VantrelManager::stateChanged, this, &TrayController::showState);
    showState(manager->state());

    // Tray hosts come and go (a panel restarted, started after us): keep looking.
    connect(&trayWatch_, &QTimer::timeout, this, &TrayController::updateTrayAvailability);
    trayWatch_.start(2000);
    updateTrayAvailability();
}

TrayController::~TrayController() {
    delete menu_;
}

QString TrayController::tooltipFor(const SupervisorState& state) {
    return QStringLiteral("Vantrel\n") + state.summary();
}

void TrayController::showState(const SupervisorState& state) {
    icon_->setToolTip(tooltipFor(state));
}

void TrayController::updateTrayAvailability() {
    const bool available = QSystemTrayIcon::isSystemTrayAvailable();
    if (available == trayAvailable_ && warned_)
        return;
    trayAvailable_ = available;
    if (available) {
        icon_->show();
        if (warned_)
            Console::log(QStringLiteral("✅ A system tray appeared; the tray item is back"));
    } else if (!warned_ || icon_->isVisible()) {
        icon_->hide();
        Console::log(
            QStringLiteral("⚠️ No system tray found: the window stays the application's "
                           "face, and closing it quits"));
    }
    warned_ = true;
    WindowManager::shared()->setStandalone(!available);
}
