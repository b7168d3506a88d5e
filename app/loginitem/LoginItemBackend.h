#pragma once

#include <QString>

#include <memory>

class Environment;

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

    // The mechanism the running platform uses, in the user's folders: a LaunchAgent on macOS,
    // XDG autostart elsewhere. It starts defaultBinaryPath(). Needs a QCoreApplication.
    static std::unique_ptr<LoginItemBackend> createForPlatform(const Environment& environment);

    // The executable a login should start: the AppImage file when running from one, else the
    // running binary. Needs a QCoreApplication.
    static QString defaultBinaryPath(const Environment& environment);
};
