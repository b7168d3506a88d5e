#pragma once

#include <QObject>

#include <QSet>

class Notifier;
class QAction;
class QMenu;
class QSystemTrayIcon;
struct SupervisorState;

// The tray item "Vantrel" and its menu. It only says what the user asked for; whoever wires
// the application decides what that does. Where no tray host exists (yet), the terminal
// window takes over its actions until one appears. The item itself is made only once told a
// host exists, since making it fixes the tray protocol Qt uses for the rest of the process.
// A new build ready for the next start is announced once through the notifier, if given.
class TrayController final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TrayController)

public:
    explicit TrayController(Notifier* notifier = nullptr, QObject* parent = nullptr);
    ~TrayController() override;

    QMenu* menu() const { return menu_; }
    QAction* openAction() const { return open_; }
    QAction* restartAction() const { return restart_; }
    QAction* updateAction() const { return update_; }
    QAction* loginAction() const { return login_; }
    QAction* quitAction() const { return quit_; }
    bool trayAvailable() const { return trayAvailable_; }

    static QString tooltipFor(const SupervisorState& state);

    void showState(const SupervisorState& state);
    void showLoginEnabled(bool enabled);
    void setTrayHostPresent(bool available);

Q_SIGNALS:
    void openRequested();
    void restartRequested();
    void updateRequested();
    void toggleLoginItemRequested();
    void quitRequested();
    void trayAvailabilityChanged(bool available);

private:
    Notifier* notifier_;
    QMenu* menu_;
    QSystemTrayIcon* icon_ = nullptr;
    QAction* open_;
    QAction* restart_;
    QAction* update_;
    QAction* login_;
    QAction* quit_;
    QString toolTip_;
    bool trayAvailable_ = false;
    bool warned_ = false;
    bool problemShown_ = false;
    QSet<QString> announcedBuilds_;
};
