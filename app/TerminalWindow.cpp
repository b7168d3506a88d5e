#include "TerminalWindow.h"
#include "AppActions.h"
#include "LoginItemManager.h"
#include "TerminalView.h"
#include "VantrelManager.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

TerminalWindow::TerminalWindow(QWidget* parent) : QWidget(parent) {
    setWindowTitle(QStringLiteral("Vantrel Halvane"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMaximizeButtonHint);

    view_ = new TerminalView(this);
    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("statusLine"));
    status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    actions_ = new QWidget(this);
    login_ = new QPushButton(actions_);
    auto* quit = new QPushButton(QStringLiteral("Quit"), actions_);
    auto* actionsLayout = new QHBoxLayout(actions_);
    actionsLayout->setContentsMargins(0, 0, 0, 0);
    actionsLayout->addWidget(login_);
    actionsLayout->addWidget(quit);
    actions_->setVisible(false);

    auto* bottom = new QHBoxLayout;
    bottom->setContentsMargins(8, 4, 8, 4);
    bottom->addWidget(status_, 1);
    bottom->addWidget(actions_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(view_, 1);
    layout->addLayout(bottom);

    VantrelManager* manager = VantrelManager::shared();
    connect(manager, &VantrelManager::stateChanged, this, &TerminalWindow::showState);
    showState(manager->state());
    LoginItemManager* login = LoginItemManager::shared();
    connect(login, &LoginItemManager::isEnabledChanged, this, &TerminalWindow::showLoginState);
    showLoginState(login->isEnabled());
    connect(login_, &QPushButton::clicked, login, &LoginItemManager::toggleLoginItem);
    connect(quit, &QPushButton::clicked, this, &AppActions::quit);
}

void TerminalWindow::setActionsVisible(bool visible) {
    actions_->setVisible(visible);
}

void TerminalWindow::showState(const SupervisorState& state) {
    status_->setText(state.summary());
}

void TerminalWindow::showLoginState(bool enabled) {
    login_->setText(AppActions::startAtLoginLabel(enabled));
}

void TerminalWindow::closeEvent(QCloseEvent* event) {
    Q_EMIT closing();
    QWidget::closeEvent(event);
}
