#pragma once

#include <QObject>

class VantrelManager;

// Connects the application's life cycle to the supervisor, and asks for the terminal window
// once launching has finished.
class AppDelegate final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppDelegate)

public:
    explicit AppDelegate(VantrelManager* manager, QObject* parent = nullptr);

    // Once the event loop runs: start-up sequence, and the window half a second later.
    void applicationDidFinishLaunching();
    // On every way out, once the event loop has ended: whatever of the CLI is left is ended.
    void applicationWillTerminate();

    static constexpr int windowDelayMs = 500;

Q_SIGNALS:
    void windowRequested();

private:
    VantrelManager* manager_;
};
