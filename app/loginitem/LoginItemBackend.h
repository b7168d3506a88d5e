#pragma once

#include <QString>

#include <memory>

// The system's record of "start this application when the user logs in". Every call reads or
// changes that record directly; nothing is cached, so isEnabled() always tells what the system
// will do at the next login.
class LoginItemBackend {
public:
    virtual ~LoginItemBackend() = default;

    virtual bool isEnabled() const = 0;
    // Both return false and describe the failure in *error (when given) if the record could
    // not be changed. Switching on what is already on, or off what is already off, succeeds.
    virtual bool enable(QString* error) = 0;
    virtual bool disable(QString* error) = 0;

    // Human-readable name for console lines, e.g. "XDG autostart".
    virtual QString mechanismName() const = 0;
    // The file (or other handle) that holds the record.
    virtual QString location() const = 0;

    // The mechanism the running platform uses: a LaunchAgent on macOS, XDG autostart elsewhere.
    static std::unique_ptr<LoginItemBackend> createForPlatform();

    // The executable a login should start: the AppImage file when running from one (the
    // running binary lives in a mount that is gone after logout), else the running binary.
    // Needs a QCoreApplication.
    static QString defaultBinaryPath();
};
