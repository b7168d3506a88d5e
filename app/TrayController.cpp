#include "TrayController.h"
#include "AppActions.h"
#include "ChevronIcon.h"
#include "Notifier.h"
#include "SupervisorState.h"
#include "output/Console.h"

#include <QAction>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

TrayController::TrayController(Notifier* notifier, QObject* parent)
    : QObject(parent), notifier_(notifier) {
    menu_ = new QMenu();
    open_ = menu_->addAction(QStringLiteral("Open Vantrel Halvane Status"));
    restart_ = menu_->addAction(AppActions::restartLabel());
    update_ = menu_->addAction(AppActions::updateLabel());
    menu_->addSeparator();
    login_ = menu_->addAction(AppActions::startAtLoginLabel(false));
    menu_->addSeparator();
    quit_ = menu_->addAction(QStringLiteral("Quit"));
    // On macOS QuitRole would move Quit out of the tray's menu into the application menu, which
    // an agent application without a menu bar does not show.
    quit_->setMenuRole(QAction::NoRole);
    connect(open_, &QAction::triggered, this, &TrayController::openRequested);
    connect(restart_, &QAction::triggered, this, &TrayController::restartRequested);
    connect(update_, &QAction::triggered, this, &TrayController::updateRequested);
    connect(login_, &QAction::triggered, this, &TrayController::toggleLoginItemRequested);
    connect(quit_, &QAction::triggered, this, &TrayController::quitRequested);
}

TrayController::~TrayController() {
    delete menu_;
}

QString TrayController::tooltipFor(const SupervisorState& state) {
    const QString check = state.checkSummary();
    return QStringLiteral("Vantrel\n") + state.summary() +
           (check.isEmpty() ? QString() : QLatin1Char('\n') + check);
}

void TrayController::showState(const SupervisorState& state) {
    toolTip_ = tooltipFor(state);
    const bool problemChanged = state.problem != problemShown_;
    problemShown_ = state.problem;
    restart_->setText(AppActions::restartLabel(!state.stagedBuild.isEmpty()));
    // Once per build, also when the server offered it again after dropping it.
    if (!state.stagedBuild.isEmpty() && !announcedBuilds_.contains(state.stagedBuild)) {
        announcedBuilds_.insert(state.stagedBuild);
        if (notifier_)
            notifier_->notify(
                QStringLiteral("A new Vantrel CLI build is ready"),
                QStringLiteral("Restart CLI to Update starts it (%1).").arg(state.stagedBuild));
    }
    if (!icon_)
        return;
    icon_->setToolTip(toolTip_);
    if (problemChanged) // redrawn on a change only: download progress comes often
        icon_->setIcon(chevronIcon(problemShown_));
}

void TrayController::showLoginEnabled(bool enabled) {
    login_->setText(AppActions::startAtLoginLabel(enabled));
}

void TrayController::setTrayHostPresent(bool available) {
    if (available == trayAvailable_ && warned_)
        return;
    trayAvailable_ = available;
    if (available) {
        if (!icon_) {
            icon_ = new QSystemTrayIcon(chevronIcon(problemShown_), this);
            icon_->setToolTip(toolTip_);
            icon_->setContextMenu(menu_);
            connect(icon_, &QSystemTrayIcon::activated, this,
                    [this](QSystemTrayIcon::ActivationReason reason) {
                        if (reason == QSystemTrayIcon::Trigger ||
                            reason == QSystemTrayIcon::DoubleClick)
                            Q_EMIT openRequested();
                        // A StatusNotifierItem panel asking the item for its menu; an XEmbed
                        // tray's right click has opened it already.
                        else if (reason == QSystemTrayIcon::Context && !menu_->isVisible())
                            menu_->popup(QCursor::pos());
                    });
        }
        icon_->show();
        if (warned_)
            Console::log(QStringLiteral("✅ A system tray appeared; the tray item is back"));
    } else if (!warned_ || (icon_ && icon_->isVisible())) {
        if (icon_)
            icon_->hide();
        Console::log(
            QStringLiteral("⚠️ No system tray found: the window is the application's face; "
                           "closing it only hides it, and launching Vantrel Halvane again "
                           "shows it"));
    }
    warned_ = true;
    Q_EMIT trayAvailabilityChanged(available);
}
