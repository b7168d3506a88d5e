#pragma once

#include <QObject>

class VantrelManager;

// The one way out of the application. Quit, a signal and Qt's own quit (the session manager's
// logout, a platform's quit request, QCoreApplication::quit()) all arrive as a request here,
// which runs the supervisor's stop once and lets the application leave only when the stop has
// reported its end: the Quit event that asks for it is held back until then.
class QuitGate final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuitGate)

public:
    // Watches the application object's events from here on.
    explicit QuitGate(VantrelManager* manager, QObject* parent = nullptr);

    // Starts the stop; a request while it runs joins it.
    void quit();
    bool isQuitting() const { return quitting_; }
    // The stop has reported, or its report never came in time: the application leaves now.
    bool hasLeft() const { return left_; }

Q_SIGNALS:
    // The stop has begun: nothing may tell the user that the CLI goes on running.
    void quitting();
    // Once, when the application may end: main leaves the event loop.
    void leave();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void finish();

    VantrelManager* manager_;
    bool quitting_ = false;
    bool left_ = false;
};
