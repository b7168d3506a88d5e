#pragma once

#include <QWidget>

class QLabel;
class QPushButton;
class TerminalView;
struct SupervisorState;

// The "Vantrel Halvane" window: the terminal view with a status line beneath it.
class TerminalWindow : public QWidget {
    Q_OBJECT

public:
    explicit TerminalWindow(QWidget* parent = nullptr);

    TerminalView* view() const { return view_; }
    QLabel* statusLine() const { return status_; }
    // Shows or hides the start-at-login and quit buttons (for desktops without a tray).
    void setActionsVisible(bool visible);

Q_SIGNALS:
    void closing();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void showState(const SupervisorState& state);
    void showLoginState(bool enabled);

    TerminalView* view_;
    QLabel* status_;
    QWidget* actions_;
    QPushButton* login_;
};
