#pragma once

#include <QObject>
#include <QPointer>

class QWidget;
class TerminalWindow;

// Owns the one terminal window: shows it, reuses it while open, forgets it when closed.
class WindowManager : public QObject {
    Q_OBJECT

public:
    static WindowManager* shared();
    ~WindowManager() override;

    void showTerminalWindow();
    TerminalWindow* terminalWindow() const;

    // Without a tray the window is the application's only face: it then carries the menu's
    // actions, and closing it quits.
    void setStandalone(bool standalone);
    bool isStandalone() const { return standalone_; }

Q_SIGNALS:
    void windowClosed();

private:
    using QObject::QObject;
    QPointer<TerminalWindow> terminalWindow_;
    bool standalone_ = false;
};
