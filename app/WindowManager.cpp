#include "WindowManager.h"
#include "AppActions.h"
#include "Console.h"
#include "TerminalWindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

WindowManager* WindowManager::shared() {
    static WindowManager* instance = new WindowManager();
    return instance;
}

TerminalWindow* WindowManager::terminalWindow() const {
    return terminalWindow_.data();
}

WindowManager::~WindowManager() {
    Console::log(QStringLiteral("🪟 WindowManager deinit called - cleaning up"));
}

void WindowManager::showTerminalWindow() {
    if (TerminalWindow* window = terminalWindow_) {
        window->show();
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->raise();
        window->activateWindow();
        return;
    }
    auto* window = new TerminalWindow();
    window->setActionsVisible(standalone_);
    window->resize(800, 600);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame(QPoint(), window->size());
        frame.moveCenter(screen->availableGeometry().center());
        window->move(frame.topLeft());
    }
    connect(window, &TerminalWindow::closing, this, [this, window] {
        Console::log(QStringLiteral("🪟 Window closing notification received"));
        if (terminalWindow_ == window)
            terminalWindow_ = nullptr;
        Q_EMIT windowClosed();
        if (standalone_)
            QTimer::singleShot(0, &AppActions::quit);
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
