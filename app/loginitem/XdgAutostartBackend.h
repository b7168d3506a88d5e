#pragma once

#include "LoginItemBackend.h"

// Start at login through an XDG autostart entry, <config>/autostart/halvane.desktop, which
// desktop sessions following the freedesktop.org autostart rules run at login. The entry is
// the record: no file, Hidden=true or X-GNOME-Autostart-enabled=false all mean "off".
class XdgAutostartBackend : public LoginItemBackend {
public:
    // configDir: the user's XDG configuration folder.
    XdgAutostartBackend(QString binaryPath, QString configDir);

    bool isEnabled() const override;
    bool enable(QString* error) override;
    bool disable(QString* error) override;
    QString mechanismName() const override { return QStringLiteral("XDG autostart"); }
    QString location() const override;

    QString binaryPath() const { return binaryPath_; }
    QString configDir() const { return configDir_; }

    // The whole entry written for binaryPath, or an empty string (and *error) when the path
    // cannot be written into a desktop entry.
    static QString desktopEntry(const QString& binaryPath, QString* error = nullptr);
    // One Exec argument, quoted when it holds a reserved character, before the general
    // escaping of string values (see desktopEntry).
    static QString quoteExecArgument(const QString& argument);

    static constexpr const char* fileName = "halvane.desktop";

private:
    QString binaryPath_;
    QString configDir_;
};
