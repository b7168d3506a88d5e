#pragma once

#include <QObject>

// Connects the application's life cycle to the supervisor and the terminal window.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Once the event loop runs: start-up sequence, and the window half a second later.
    void applicationDidFinishLaunching();
    // On every way out: stop the CLI.
    void applicationWillTerminate();

    static constexpr int windowDelayMs = 500;
};
