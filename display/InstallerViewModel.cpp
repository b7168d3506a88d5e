#include "InstallerViewModel.h"

#include "SupervisorState.h"
#include "VantrelManager.h"

InstallerViewModel::InstallerViewModel(VantrelManager* manager, QObject* parent)
    : QObject(parent), manager_(manager) {
    if (!manager_)
        return;
    connect(manager_, &VantrelManager::stateChanged, this, &InstallerViewModel::onStateChanged);
    connect(manager_, &VantrelManager::installFinished, this,
            &InstallerViewModel::onInstallFinished);
    // Its end will never be reported: do not stay busy forever.
    connect(manager_, &QObject::destroyed, this,
            [this] { onInstallFinished(false, QStringLiteral("the supervisor was shut down")); });
}

void InstallerViewModel::startInstall() {
    if (isRunning_ || !manager_)
        return;
    setRunning(true);
    setStatus(QStringLiteral("Installing CLI..."));
    // A download started elsewhere (the start-up check) is followed, not doubled.
    if (manager_->isInstalling())
        return;
    // May report its end before it returns (a failure found at once); the flag is set first.
    manager_->updateCLI();
}

void InstallerViewModel::onStateChanged(const SupervisorState& state) {
    if (!isRunning_)
        return;
    if (state.phase == SupervisorState::Phase::Downloading && state.total > 0)
        setStatus(QStringLiteral("Installing CLI... %1 %")
                      .arg(std::min<qint64>(100, state.received * 100 / state.total)));
    else if (state.phase == SupervisorState::Phase::Downloading && state.received > 0)
        setStatus(QStringLiteral("Installing CLI... ") + humanSize(state.received));
    else if (state.phase == SupervisorState::Phase::Downloading ||
             state.phase == SupervisorState::Phase::Installing)
        setStatus(QStringLiteral("Installing CLI..."));
}

void InstallerViewModel::onInstallFinished(bool ok, const QString& reason) {
    if (!isRunning_)
        return; // someone else's request
    setStatus(ok ? QStringLiteral("Installation complete")
                 : QStringLiteral("Installation failed: ") + reason);
    setRunning(false);
}

void InstallerViewModel::setStatus(const QString& status) {
    if (status == status_)
        return;
    status_ = status;
    Q_EMIT statusChanged(status_);
}

void InstallerViewModel::setRunning(bool running) {
    if (running == isRunning_)
        return;
    isRunning_ = running;
    Q_EMIT isRunningChanged(isRunning_);
}
