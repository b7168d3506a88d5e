#pragma once

#include <QObject>
#include <QPointer>

class InstallerViewModel;
class LoginItemManager;
class TerminalWindow;
class VantrelManager;

// Owns the one terminal window: shows it, reuses it while open, forgets it when closed.
class WindowManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WindowManager)

public:
    WindowManager(VantrelManager* manager, LoginItemManager* loginItems, QObject* parent = nullptr);
    // Closes the window still open, whose model reads the supervisor: it goes first.
    ~WindowManager() override;

    void showTerminalWindow();
    TerminalWindow* terminalWindow() const;
    // What windows made from now on show of an installation; not owned. Requests go out through
    // updateRequested(), to whoever starts installations.
    void setInstaller(InstallerViewModel* installer) { installer_ = installer; }

    // Without a tray the window is the application's only face: it then carries the menu's
    // actions. Closing it still only hides it: the CLI keeps running.
    void setStandalone(bool standalone);
    // The application is quitting: a window closed now says nothing about the CLI running on.
    void setLeaving() { leaving_ = true; }

Q_SIGNALS:
    void windowClosed();
    // The window was closed for the first time while no tray shows the application.
    void closedWithoutTray();
    void restartRequested();
    void updateRequested();
    void toggleLoginItemRequested();
    void quitRequested();

private:
    VantrelManager* manager_;
    LoginItemManager* loginItems_;
    InstallerViewModel* installer_ = nullptr;
    QPointer<TerminalWindow> terminalWindow_;
    bool standalone_ = false;
    bool toldAboutClose_ = false;
    bool leaving_ = false;
};
