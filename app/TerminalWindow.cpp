#include "TerminalWindow.h"
#include "AppActions.h"
#include "FindBar.h"
#include "InstallerViewModel.h"
#include "LiveLabel.h"
#include "SupervisorState.h"
#include "TerminalView.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TerminalWindow::TerminalWindow(TerminalViewModel* model, InstallerViewModel* installer,
                               QWidget* parent)
    : QWidget(parent) {
    setWindowTitle(QStringLiteral("Vantrel Halvane"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMaximizeButtonHint);

    view_ = new TerminalView(model, this);
    findBar_ = new FindBar(view_, this);
    // F3 on every desktop, besides what the desktop's own convention binds.
    const auto addShortcut = [this](QKeySequence::StandardKey standard, QKeySequence key,
                                    auto slot) {
        QList<QKeySequence> keys = QKeySequence::keyBindings(standard);
        if (!key.isEmpty() && !keys.contains(key))
            keys.append(key);
        auto* action = new QAction(this);
        action->setShortcuts(keys);
        connect(action, &QAction::triggered, findBar_, slot);
        addAction(action);
    };
    addShortcut(QKeySequence::Find, {}, &FindBar::open);
    addShortcut(QKeySequence::FindNext, Qt::Key_F3, &FindBar::findNext);
    addShortcut(QKeySequence::FindPrevious, Qt::SHIFT | Qt::Key_F3, &FindBar::findPrevious);
    status_ = new LiveLabel(QAccessible::StatusBar, tr("CLI status"), this);
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // A long notice wraps instead of widening the window.
    status_->setWordWrap(true);
    installStatus_ = new LiveLabel(QAccessible::StaticText, tr("Update progress"), this);
    installStatus_->setVisible(false);
    auto* restart = new QPushButton(AppActions::restartLabel(), this);
    auto* update = new QPushButton(AppActions::updateLabel(), this);
    connect(restart, &QPushButton::clicked, this, &TerminalWindow::restartRequested);
    connect(update, &QPushButton::clicked, this, &TerminalWindow::updateRequested);
    if (installer) {
        const auto showInstall = [this, installer, update] {
            installStatus_->setLiveText(installer->status());
            installStatus_->setVisible(installer->isRunning());
            update->setEnabled(!installer->isRunning());
        };
        connect(installer, &InstallerViewModel::statusChanged, this, showInstall);
        connect(installer, &InstallerViewModel::isRunningChanged, this, showInstall);
        showInstall();
    }
    actions_ = new QWidget(this);
    login_ = new QPushButton(AppActions::startAtLoginLabel(false), actions_);
    auto* quit = new QPushButton(QStringLiteral("Quit"), actions_);
    auto* actionsLayout = new QHBoxLayout(actions_);
    actionsLayout->setContentsMargins(0, 0, 0, 0);
    actionsLayout->addWidget(login_);
    actionsLayout->addWidget(quit);
    actions_->setVisible(false);
    connect(login_, &QPushButton::clicked, this, &TerminalWindow::toggleLoginItemRequested);
    connect(quit, &QPushButton::clicked, this, &TerminalWindow::quitRequested);

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(8, 4, 8, 4);
    bottom->addWidget(status_, 1);
    bottom->addWidget(installStatus_);
    bottom->addWidget(restart);
    bottom->addWidget(update);
    bottom->addWidget(actions_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_, 1);
    layout->addWidget(findBar_);
    layout->addLayout(bottom);
}

QLabel* TerminalWindow::statusLine() const {
    return status_;
}

QLabel* TerminalWindow::installStatus() const {
    return installStatus_;
}

void TerminalWindow::setActionsVisible(bool visible) {
    actions_->setVisible(visible);
}

void TerminalWindow::showState(const SupervisorState& state) {
    status_->setLiveText(state.summary());
}

void TerminalWindow::showLoginEnabled(bool enabled) {
    login_->setText(AppActions::startAtLoginLabel(enabled));
}

void TerminalWindow::closeEvent(QCloseEvent* event) {
    Q_EMIT closing();
    QWidget::closeEvent(event);
}
