#include "WindowManager.h"
#include "LoginItemManager.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "TerminalWindow.h"
#include "VantrelManager.h"
#include "output/Console.h"

#include <QGuiApplication>
#include <QScreen>

WindowManager::WindowManager(VantrelManager* manager, LoginItemManager* loginItems, QObject* parent)
    : QObject(parent), manager_(manager), loginItems_(loginItems) {}

TerminalWindow* WindowManager::terminalWindow() const {
    return terminalWindow_.data();
}

WindowManager::~WindowManager() {
    Console::log(QStringLiteral("🪟 WindowManager deinit called - cleaning up"));
    delete terminalWindow_.data();
}

void WindowManager::showTerminalWindow() {
    if (TerminalWindow* window = terminalWindow_) {
        window->show();
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->raise();
        window->activateWindow();
        return;
    }
    auto* window = new TerminalWindow(new TerminalViewModel(manager_), installer_);
    window->setActionsVisible(standalone_);
    window->resize(800, 600);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    if (manager_) {
        connect(manager_, &VantrelManager::stateChanged, window, &TerminalWindow::showState);
        window->showState(manager_->state());
    }
    if (loginItems_) {
        connect(loginItems_, &LoginItemManager::isEnabledChanged, window,
                &TerminalWindow::showLoginEnabled);
        window->showLoginEnabled(loginItems_->isEnabled());
    }
    connect(window, &TerminalWindow::restartRequested, this, &WindowManager::restartRequested);
    connect(window, &TerminalWindow::updateRequested, this, &WindowManager::updateRequested);
    connect(window, &TerminalWindow::toggleLoginItemRequested, this,
            &WindowManager::toggleLoginItemRequested);
    connect(window, &TerminalWindow::quitRequested, this, &WindowManager::quitRequested);
    connect(window, &TerminalWindow::closing, this, [this, window] {
        Console::log(QStringLiteral("🪟 Window closing notification received"));
        if (terminalWindow_ == window)
            terminalWindow_ = nullptr;
        Q_EMIT windowClosed();
        if (standalone_ && !leaving_ && !std::exchange(toldAboutClose_, true))
            Q_EMIT closedWithoutTray();
    });
    terminalWindow_ = window;
    window->show();
    window->raise();
    window->activateWindow();
}

void WindowManager::setStandalone(bool standalone) {
    standalone_ = standalone;
    if (terminalWindow_)
        terminalWindow_->setActionsVisible(standalone);
}
