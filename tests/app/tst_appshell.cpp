#include "AppDelegate.h"
#include "ConsoleCapture.h"
#include "SupervisorSandbox.h"
#include "TerminalWindow.h"
#include "TestEnvironment.h"
#include "TrayController.h"
#include "WindowManager.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

// The shell's pieces only say what the user asked for; these cases check that they say it,
// at the right moment, and that the window manager keeps one window.
class TestAppShell : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowIsRequestedOnlyAfterTheLaunchHandlerReturned();
    void windowIsReusedWhileOpenAndRebuiltAfterClose();
    void requestsOfTrayAndStandaloneWindow();

private:
    ConsoleCapture console_;
};

void TestAppShell::windowIsRequestedOnlyAfterTheLaunchHandlerReturned() {
    SupervisorSandbox sandbox(QStringLiteral("not/yet/there"));
    sandbox.options.baseURL = QUrl(QStringLiteral("https://127.0.0.1:1/static/cli"));
    AppDelegate delegate(&sandbox.manager());
    QSignalSpy requested(&delegate, &AppDelegate::windowRequested);
    delegate.applicationDidFinishLaunching();
    QCOMPARE(requested.count(), 0);
    QVERIFY(QFileInfo(sandbox.options.installDir).isDir());
    QTRY_COMPARE(requested.count(), 1);
    // The download fails, and the launch goes on regardless.
    QTRY_VERIFY(sandbox.manager().state().phase == SupervisorState::Phase::Failed);
}

void TestAppShell::windowIsReusedWhileOpenAndRebuiltAfterClose() {
    SupervisorSandbox sandbox;
    WindowManager windows(&sandbox.manager(), nullptr);
    windows.showTerminalWindow();
    QPointer<TerminalWindow> first = windows.terminalWindow();
    QVERIFY(first);
    first->resize(900, 700);
    windows.showTerminalWindow();
    QCOMPARE(windows.terminalWindow(), first.data());
    QCOMPARE(first->size(), QSize(900, 700));

    QSignalSpy closed(&windows, &WindowManager::windowClosed);
    first->close();
    QTRY_VERIFY(!first); // deleted on close
    QCOMPARE(closed.count(), 1);
    QVERIFY(!windows.terminalWindow());
    windows.showTerminalWindow();
    QVERIFY(windows.terminalWindow());
    QVERIFY(!windows.terminalWindow()->statusLine()->text().isEmpty());
    windows.terminalWindow()->close();
}

void TestAppShell::requestsOfTrayAndStandaloneWindow() {
    TrayController tray;
    QSignalSpy open(&tray, &TrayController::openRequested);
    QSignalSpy toggle(&tray, &TrayController::toggleLoginItemRequested);
    QSignalSpy quit(&tray, &TrayController::quitRequested);
    tray.openAction()->trigger();
    tray.loginAction()->trigger();
    tray.quitAction()->trigger();
    QCOMPARE(open.count() + toggle.count() + quit.count(), 3);
    QCOMPARE(quit.count(), 1);
    QVERIFY(tray.menu()->actions().contains(tray.loginAction()));

    // Without a tray the window carries the actions, and closing it quits.
    SupervisorSandbox sandbox;
    WindowManager windows(&sandbox.manager(), nullptr);
    windows.setStandalone(true);
    windows.showTerminalWindow();
    QSignalSpy windowQuit(&windows, &WindowManager::quitRequested);
    QSignalSpy windowToggle(&windows, &WindowManager::toggleLoginItemRequested);
    QList<QPushButton*> buttons;
    for (QPushButton* button : windows.terminalWindow()->findChildren<QPushButton*>())
        if (button->isVisibleTo(windows.terminalWindow()))
            buttons.append(button);
    QCOMPARE(buttons.size(), 2);
    for (QPushButton* button : buttons)
        button->click();
    QCOMPARE(windowQuit.count() + windowToggle.count(), 2);
    windows.terminalWindow()->close();
    QTRY_COMPARE(windowQuit.count(), 2);
}

HALVANE_TEST_WIDGETS_MAIN(TestAppShell)
#include "tst_appshell.moc"
