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
    // installer: what the window shows of an installation; not owned.
    WindowManager(VantrelManager* manager, LoginItemManager* loginItems,
                  InstallerViewModel* installer, QObject* parent = nullptr);
    ~WindowManager() override;

    // The process-wide instance, for the supervisor and login item of the process.
    static WindowManager* shared();

    void showTerminalWindow();
    TerminalWindow* terminalWindow() const;
    InstallerViewModel* installer() const { return installer_; }

    // Without a tray the window is the application's only face: it then carries the menu's
    // actions. Closing it still only hides it: the CLI keeps running.
    void setStandalone(bool standalone);

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
    InstallerViewModel* installer_;
    QPointer<TerminalWindow> terminalWindow_;
    bool standalone_ = false;
    bool toldAboutClose_ = false;
};
