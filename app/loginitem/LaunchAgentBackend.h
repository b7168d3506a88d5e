#pragma once

#include "LoginItemBackend.h"

// Start at login through a per-user launchd agent, <agentsDir>/<label>.plist, which launchd
// loads at the next login (RunAtLoad). The agent is deliberately not loaded right away: that
// would start a second copy of the running application.
class LaunchAgentBackend : public LoginItemBackend {
public:
    // agentsDir: the user's ~/Library/LaunchAgents.
    LaunchAgentBackend(QString binaryPath, QString agentsDir,
                       QString label = QString::fromLatin1(defaultLabel));

    bool isEnabled() const override;
    bool enable(QString* error) override;
    bool disable(QString* error) override;
    QString mechanismName() const override { return QStringLiteral("LaunchAgent"); }
    QString location() const override;

    QString binaryPath() const { return binaryPath_; }
    QString label() const { return label_; }

    // The whole property list, or an empty string (and *error) when the path cannot be
    // written into XML.
    static QString propertyList(const QString& label, const QString& binaryPath,
                                QString* error = nullptr);

    static constexpr const char* defaultLabel = "dev.halvane.app";

private:
    QString binaryPath_;
    QString agentsDir_;
    QString label_;
};
