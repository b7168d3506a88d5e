#include "AppDelegate.h"
#include "ConsoleCapture.h"
#include "DBusNotifier.h"
#include "SupervisorSandbox.h"
#include "TerminalWindow.h"
#include "TestEnvironment.h"
#include "TrayController.h"
#include "WindowManager.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QtTest>

using namespace Qt::StringLiterals;

// The desktop's notification service, as the test's private bus offers it.
class FakeNotifications : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    QStringList received;

public Q_SLOTS:
    uint Notify(const QString&, uint, const QString&, const QString& summary, const QString& body,
                const QStringList&, const QVariantMap&, int) {
        received << summary + u'|' + body;
        return uint(received.size());
    }
};

// The shell's pieces only say what the user asked for; these cases check that they say it,
// at the right moment, and that the window manager keeps one window.
class TestAppShell : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowIsRequestedOnlyAfterTheLaunchHandlerReturned();
    void requestsOfTrayAndWindow();
    void notifiesOnlyThroughARunningService();

private:
    ConsoleCapture console_;
};

void TestAppShell::windowIsRequestedOnlyAfterTheLaunchHandlerReturned() {
    SupervisorSandbox sandbox(QStringLiteral("not/yet/there"));
    AppDelegate delegate(&sandbox.manager());
    QSignalSpy requested(&delegate, &AppDelegate::windowRequested);
    delegate.applicationDidFinishLaunching();
    QCOMPARE(requested.count(), 0);
    QVERIFY(QFileInfo(sandbox.options.installDir).isDir());
    QTRY_COMPARE(requested.count(), 1);
    // The download fails, and the launch goes on regardless.
    QTRY_VERIFY(sandbox.manager().state().phase == SupervisorState::Phase::Failed);
}

void TestAppShell::requestsOfTrayAndWindow() {
    TrayController tray;
    QList<std::shared_ptr<QSignalSpy>> spies;
    for (auto signal : {&TrayController::openRequested, &TrayController::restartRequested,
                        &TrayController::updateRequested, &TrayController::toggleLoginItemRequested,
                        &TrayController::quitRequested})
        spies.append(std::make_shared<QSignalSpy>(&tray, signal));
    QList<QAction*> entries;
    for (QAction* action : tray.menu()->actions())
        if (!action->isSeparator())
            entries.append(action);
    // The menu's order, each entry asking for its own thing once.
    QCOMPARE(entries, (QList{tray.openAction(), tray.restartAction(), tray.updateAction(),
                             tray.loginAction(), tray.quitAction()}));
    for (qsizetype i = 0; i < entries.size(); ++i) {
        entries[i]->trigger();
        for (qsizetype j = 0; j < spies.size(); ++j)
            QCOMPARE(spies[j]->count(), j <= i ? 1 : 0);
    }

    // The one window always offers Restart and Update, and without a tray the rest too; it is
    // reused while open. Update reaches the supervisor, and its progress shows while it runs.
    SupervisorSandbox sandbox;
    WindowManager windows(&sandbox.manager(), nullptr);
    QSignalSpy restart(&windows, &WindowManager::restartRequested);
    QSignalSpy toggle(&windows, &WindowManager::toggleLoginItemRequested);
    QSignalSpy quit(&windows, &WindowManager::quitRequested);
    QSignalSpy closed(&windows, &WindowManager::windowClosed);
    QPointer<TerminalWindow> first;
    qsizetype requested = 0;
    for (bool standalone : {false, true}) {
        windows.setStandalone(standalone);
        windows.showTerminalWindow();
        TerminalWindow* window = windows.terminalWindow();
        if (!first)
            (first = window)->resize(900, 700);
        QVERIFY(window == first && window->size() == QSize(900, 700));
        QSignalSpy installed(&sandbox.manager(), &VantrelManager::installFinished);
        QList<QPushButton*> buttons;
        for (QPushButton* button : window->findChildren<QPushButton*>())
            if (button->isVisibleTo(window))
                buttons.append(button);
        QCOMPARE(buttons.size(), standalone ? 4 : 2);
        for (QPushButton* button : buttons)
            button->click();
        QCOMPARE(window->installStatus()->isVisibleTo(window), installed.isEmpty());
        QTRY_COMPARE(installed.count(), 1);
        QVERIFY(!window->installStatus()->isVisibleTo(window));
        requested += buttons.size() - 1;
        QCOMPARE(restart.count() + toggle.count() + quit.count(), requested);
    }
    // Closed without a tray, it quits; shown again, it is a new one.
    first->close();
    QTRY_VERIFY(!first && quit.count() == 2); // deleted on close
    QCOMPARE(closed.count(), 1);
    windows.showTerminalWindow();
    QVERIFY(!windows.terminalWindow()->statusLine()->text().isEmpty());
    windows.setStandalone(false);
    windows.terminalWindow()->close();
}

void TestAppShell::notifiesOnlyThroughARunningService() {
    QTemporaryDir dir;
    QFile config(dir.filePath(u"bus.conf"_s));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(R"(<busconfig><type>session</type><auth>EXTERNAL</auth><policy context="default">
        <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
        </policy><listen>unix:dir=)" +
                 dir.path().toUtf8() + "</listen></busconfig>");
    config.close();
    QProcess daemon;
    daemon.start(u"dbus-daemon"_s,
                 {u"--nofork"_s, u"--print-address"_s, u"--config-file="_s + config.fileName()});
    QVERIFY2(daemon.waitForReadyRead(10000), qPrintable(daemon.errorString()));
    const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
    {
        DBusNotifier notifier(QDBusConnection::connectToBus(address, u"app"_s), u"test"_s);
        QVERIFY(!notifier.notify(u"nobody listens"_s, {}));
        FakeNotifications fake;
        QDBusConnection service = QDBusConnection::connectToBus(address, u"service"_s);
        QVERIFY(service.registerObject(u"/org/freedesktop/Notifications"_s, &fake,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(u"org.freedesktop.Notifications"_s));
        QVERIFY(notifier.notify(u"gave up"_s, u"crashed"_s));
        QVERIFY(notifier.notify(u"rolled back"_s, u"build 2"_s));
        QTRY_COMPARE(fake.received, (QStringList{u"gave up|crashed"_s, u"rolled back|build 2"_s}));
    }
    for (const QString& name : {u"app"_s, u"service"_s})
        QDBusConnection::disconnectFromBus(name);
    daemon.terminate();
    QVERIFY(daemon.waitForFinished(10000));
}

HALVANE_TEST_WIDGETS_MAIN(TestAppShell)
#include "tst_appshell.moc"
