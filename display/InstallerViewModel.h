#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include "VantrelManager.h"

// A one-line install status and a busy flag for a view that offers "install the CLI". Follows
// the supervisor's real installation: busy until it reports the end, then success or the
// reason it failed.
class InstallerViewModel final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InstallerViewModel)
    Q_PROPERTY(QString status READ status NOTIFY statusChanged)
    Q_PROPERTY(bool isRunning READ isRunning NOTIFY isRunningChanged)

public:
    explicit InstallerViewModel(VantrelManager* manager, QObject* parent = nullptr);

    QString status() const { return status_; }
    bool isRunning() const { return isRunning_; }

    // Asks the supervisor to install the CLI. While this model's request runs, a second one
    // does nothing; a download the supervisor already runs is followed instead of started.
    Q_INVOKABLE void startInstall();

Q_SIGNALS:
    void statusChanged(const QString& status);
    void isRunningChanged(bool isRunning);

private:
    void onStateChanged(const SupervisorState& state);
    void onInstallFinished(bool ok, const QString& reason);
    void setStatus(const QString& status);
    void setRunning(bool running);

    QPointer<VantrelManager> manager_;
    QString status_ = QStringLiteral("Ready to install CLI");
    bool isRunning_ = false;
};
