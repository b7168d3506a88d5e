#pragma once

#include "LoginItemBackend.h"

#include <QObject>
#include <QSettings>
#include <QString>

#include <memory>

// Start at login, mirrored for the menu. Registers the application once, on the very first
// launch (remembered under hasEnabledLoginItemKey), and afterwards only switches it when the
// user asks. isEnabled is always what the back end last reported, never a guess.
// Main thread only; every call blocks while the back end works.
class LoginItemManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LoginItemManager)
    Q_PROPERTY(bool isEnabled READ isEnabled NOTIFY isEnabledChanged)

public:
    static inline const QString hasEnabledLoginItemKey = QStringLiteral("hasEnabledLoginItem");

    // The one main makes: the platform's back end and defaultSettings() in the user's folders.
    // Needs a QCoreApplication.
    static std::unique_ptr<LoginItemManager> forUser(const Environment& environment);

    // Reads the status and runs checkFirstLaunch(), as every construction does.
    LoginItemManager(std::unique_ptr<LoginItemBackend> backend, std::unique_ptr<QSettings> settings,
                     QObject* parent = nullptr);
    ~LoginItemManager() override;

    bool isEnabled() const { return isEnabled_; }

    // Switches start at login to the opposite of what the back end reports now. On failure
    // isEnabled keeps its value (and isEnabledChanged is not emitted).
    void toggleLoginItem();
    // Registers the login item if the first-launch flag is not set yet, then sets the flag
    // whatever the outcome. Runs at construction; calling it again does nothing.
    void checkFirstLaunch();

    QSettings& settings() const { return *settings_; }

    // Organization "Halvane", application "halvane", user scope: on Linux
    // $XDG_CONFIG_HOME/Halvane/halvane.conf. Independent of QCoreApplication's names.
    static std::unique_ptr<QSettings> defaultSettings(const Environment& environment);

signals:
    // Emitted when isEnabled changes value.
    void isEnabledChanged(bool isEnabled);

private:
    void setEnabled(bool enabled);

    std::unique_ptr<LoginItemBackend> backend_;
    std::unique_ptr<QSettings> settings_;
    bool isEnabled_ = false;
};
