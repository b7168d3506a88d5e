#include "TrayController.h"
#include "AppActions.h"
#include "ChevronIcon.h"
#include "Console.h"
#include "SupervisorState.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

TrayController::TrayController(QObject* parent) : QObject(parent) {
    menu_ = new QMenu();
    open_ = menu_->addAction(QStringLiteral("Open Vantrel Halvane Status"));
    restart_ = menu_->addAction(AppActions::restartLabel());
    update_ = menu_->addAction(AppActions::updateLabel());
    menu_->addSeparator();
    login_ = menu_->addAction(AppActions::startAtLoginLabel(false));
    menu_->addSeparator();
    quit_ = menu_->addAction(QStringLiteral("Quit"));
    quit_->setMenuRole(QAction::QuitRole);
    connect(open_, &QAction::triggered, this, &TrayController::openRequested);
    connect(restart_, &QAction::triggered, this, &TrayController::restartRequested);
    connect(update_, &QAction::triggered, this, &TrayController::updateRequested);
    connect(login_, &QAction::triggered, this, &TrayController::toggleLoginItemRequested);
    connect(quit_, &QAction::triggered, this, &TrayController::quitRequested);

    icon_ = new QSystemTrayIcon(chevronIcon(), this);
    icon_->setContextMenu(menu_);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    Q_EMIT openRequested();
            });

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
    if (state.problem != problemShown_) // redrawn on a change only: progress comes often
        icon_->setIcon(chevronIcon(problemShown_ = state.problem));
}

void TrayController::showLoginEnabled(bool enabled) {
    login_->setText(AppActions::startAtLoginLabel(enabled));
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
    Q_EMIT trayAvailabilityChanged(available);
}
