#pragma once

#include <QObject>
#include <QTimer>

class QAction;
class QMenu;
class QSystemTrayIcon;
struct SupervisorState;

// The tray item "Vantrel" and its menu. Where no tray host exists (yet), the terminal window
// takes over its actions until one appears.
class TrayController : public QObject {
    Q_OBJECT

public:
    explicit TrayController(QObject* parent = nullptr);
    ~TrayController() override;

    QMenu* menu() const { return menu_; }
    QSystemTrayIcon* icon() const { return icon_; }
    QAction* openAction() const { return open_; }
    QAction* loginAction() const { return login_; }
    QAction* quitAction() const { return quit_; }
    bool trayAvailable() const { return trayAvailable_; }

    static QString tooltipFor(const SupervisorState& state);

private:
    void updateTrayAvailability();
    void showState(const SupervisorState& state);

    QMenu* menu_;
    QSystemTrayIcon* icon_;
    QAction* open_;
    QAction* login_;
    QAction* quit_;
    QTimer trayWatch_;
    bool trayAvailable_ = false;
    bool warned_ = false;
};
