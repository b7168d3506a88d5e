#pragma once

#include <QWidget>

class FindBar;
class LiveLabel;
class QLabel;
class InstallerViewModel;
class QPushButton;
class TerminalView;
class TerminalViewModel;
struct SupervisorState;

// The "Vantrel Halvane" window: the terminal view with a status line beneath it, Restart and
// Update buttons with the update's progress while it runs, and the rest of the tray menu's
// actions for desktops without a tray. Ctrl+F finds text in the output.
class TerminalWindow final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminalWindow)

public:
    // Shows `model`, which the window's view takes over, and the progress of `installer`.
    TerminalWindow(TerminalViewModel* model, InstallerViewModel* installer,
                   QWidget* parent = nullptr);

    TerminalView* view() const { return view_; }
    FindBar* findBar() const { return findBar_; }
    QLabel* statusLine() const;
    QLabel* installStatus() const;
    // Shows or hides the start-at-login and quit buttons.
    void setActionsVisible(bool visible);
    void showState(const SupervisorState& state);
    void showLoginEnabled(bool enabled);

Q_SIGNALS:
    void closing();
    void restartRequested();
    void updateRequested();
    void toggleLoginItemRequested();
    void quitRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    TerminalView* view_;
    FindBar* findBar_;
    LiveLabel* status_;
    LiveLabel* installStatus_;
    QWidget* actions_;
    QPushButton* login_;
};
