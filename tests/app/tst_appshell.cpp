#include "AppDelegate.h"
#include "CommandLine.h"
#include "ConsoleCapture.h"
#include "Environment.h"
#include "FindBar.h"
#include "InstallerViewModel.h"
#include "LiveLabel.h"
#include "NetworkWatch.h"
#include "Notifier.h"
#include "QuitGate.h"
#include "ResumeWatcher.h"
#include "SingleInstance.h"
#include "SupervisorSandbox.h"
#include "TerminalSearch.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "TerminalWindow.h"
#include "TestEnvironment.h"
#include "TrayController.h"
#include "UpdateCheckSetting.h"
#include "WindowManager.h"
#include "output/Logger.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDBusConnection>
#include <QLabel>
#include <QLineEdit>
#include <QLockFile>
#include <QMenu>
#include <QPushButton>
#include <QScrollBar>
#include <QtTest>

#include <thread>

#ifdef Q_OS_LINUX
#include "DBusNotifier.h"
#endif

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
enum class Spoil { Nothing, NotWritable, Owner, OpenMode, Missing };
enum class Where { Runtime, Temp, Cache, Nowhere };
} // namespace

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

// logind, as the test's private bus offers it.
class FakeLogind : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

Q_SIGNALS:
    void PrepareForSleep(bool start);
};

class CountingNotifier final : public Notifier {
public:
    QStringList sent;
    bool notify(const QString& summary, const QString& body) override {
        sent << summary + u'|' + body;
        return true;
    }
};

// The shell's pieces only say what the user asked for; these cases check that they say it,
// at the right moment, and that the window manager keeps one window.
class TestAppShell : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void windowIsRequestedOnlyAfterTheLaunchHandlerReturned();
    void requestsOfTrayAndWindow();
    void trayTellsOfNewBuilds_data();
    void trayTellsOfNewBuilds();
    void updateCheckSetting_data();
    void updateCheckSetting();
    void findBarFromTheKeyboard();
#ifdef Q_OS_LINUX
    void desktopServicesOnAPrivateBus();
#endif
    void networkIsOnlineWhileADefaultRouteIsUp_data();
    void networkIsOnlineWhileADefaultRouteIsUp();
    void oneInstanceLockInAPrivateFolder_data();
    void oneInstanceLockInAPrivateFolder();
    void launchWhileTheFirstIsLeavingTakesOver();
    void quitIsHeldUntilTheStopHasReported();
    void commandLine_data();
    void commandLine();

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
    InstallerViewModel installer(&sandbox.manager());
    WindowManager windows(&sandbox.manager(), nullptr);
    windows.setInstaller(&installer);
    connect(&windows, &WindowManager::updateRequested, &installer,
            &InstallerViewModel::startInstall);
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
    // Closed without a tray, it only goes away, saying once how to get it back; shown again, it
    // is a new one.
    QSignalSpy told(&windows, &WindowManager::closedWithoutTray);
    first->close();
    QTRY_VERIFY(!first); // deleted on close
    QCOMPARE(closed.count(), 1);
    windows.showTerminalWindow();
    QLabel* status = windows.terminalWindow()->statusLine();
    QVERIFY(!status->text().isEmpty());
    QCOMPARE(QAccessible::queryAccessibleInterface(status)->textInterface()->text(0, -1),
             status->text());
    windows.terminalWindow()->close();
    QCOMPARE(quit.count(), 1);
    QCOMPARE(told.count(), 1);
}

void TestAppShell::trayTellsOfNewBuilds_data() {
    QTest::addColumn<QStringList>("staged"); // one state each, running since 09:14
    QTest::addColumn<QString>("lastResult");
    QTest::addColumn<int>("notifications");
    QTest::newRow("up to date") << QStringList{u""_s} << u"up to date"_s << 0;
    QTest::newRow("a failed check is no notification")
        << QStringList{u""_s} << u"Download failed: timed out"_s << 0;
    QTest::newRow("staged, told once")
        << QStringList{u""_s, u"12.3 MB"_s, u"12.3 MB"_s} << u"new build ready"_s << 1;
    QTest::newRow("a newer one, told again")
        << QStringList{u"12.3 MB"_s, u"12.4 MB"_s} << u"new build ready"_s << 2;
    QTest::newRow("dropped, offered again: not told again")
        << QStringList{u"12.3 MB"_s, u""_s, u"12.3 MB"_s} << u"new build ready"_s << 1;
}

void TestAppShell::trayTellsOfNewBuilds() {
    QFETCH(QStringList, staged);
    QFETCH(QString, lastResult);
    CountingNotifier notifier;
    TrayController tray;
    tray.announceThrough(&notifier);
    SupervisorState state = SupervisorState::of(SupervisorState::Phase::Running);
    state.runningSince = QDateTime(QDate(2020, 1, 2), QTime(9, 14));
    state.build = u"20.0 MB, SHA-256 0011aabb"_s;
    state.lastCheck = QDateTime(QDate(2020, 1, 2), QTime(14, 2));
    state.lastCheckResult = lastResult;
    for (const QString& build : staged) {
        state.stagedBuild = build;
        tray.showState(state);
    }
    const bool ready = !staged.last().isEmpty();
    QCOMPARE(tray.restartAction()->text(), ready ? u"Restart CLI to Update"_s : u"Restart CLI"_s);
    QCOMPARE(TrayController::tooltipFor(state),
             u"Vantrel\nRunning since 2020-01-02 09:14 · 20.0 MB, SHA-256 0011aabb\n"_s +
                 (ready ? u"New build ready (%1): Restart CLI starts it\n"_s.arg(staged.last())
                        : QString()) +
                 u"Last checked for a new build 2020-01-02 14:02: "_s + lastResult);
    QTEST(int(notifier.sent.size()), "notifications");
}

void TestAppShell::updateCheckSetting_data() {
    QTest::addColumn<QByteArray>("value"); // in the settings file, none when empty
    QTest::addColumn<int>("minutes");      // 360 for a value: it was refused with a warning
    QTest::newRow("none") << QByteArray() << 360;
    QTest::newRow("off") << "0"_ba << 0;
    QTest::newRow("hourly") << "60"_ba << 60;
    QTest::newRow("negative") << "-5"_ba << 360;
    QTest::newRow("not a number") << "soon"_ba << 360;
    QTest::newRow("a list") << "1,5"_ba << 360;
}

void TestAppShell::updateCheckSetting() {
    QFETCH(QByteArray, value);
    QFETCH(int, minutes);
    QTemporaryFile file;
    QVERIFY(file.open());
    file.write("[General]\nhasEnabledLoginItem=true\n");
    file.write(value.isEmpty() ? QByteArray() : "checkForUpdatesMinutes=" + value + '\n');
    file.close();
    QStringList said;
    const Logger log([&said](const QString& line) { said << line; });
    QCOMPARE(UpdateCheckSetting::minutes(QSettings(file.fileName(), QSettings::IniFormat), log),
             minutes);
    QCOMPARE(said.size(), !value.isEmpty() && minutes == 360 ? 1 : 0);
    if (!said.isEmpty()) // naming the key, its value and the file
        QVERIFY2(said[0].contains("checkForUpdatesMinutes=" + value) &&
                     said[0].contains(file.fileName()),
                 qPrintable(said[0]));
}

void TestAppShell::findBarFromTheKeyboard() {
    SupervisorSandbox sandbox;
    TerminalWindow window(new TerminalViewModel(&sandbox.manager()), nullptr);
    window.resize(800, 600);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    TerminalView* view = window.view();
    QString output;
    for (int i = 0; i < 300; ++i)
        output += i % 100 == 50 ? u"a needle %1\n"_s.arg(i) : u"hay %1\n"_s.arg(i);
    sandbox.manager().outputHandler(output);
    QTRY_VERIFY(view->buffer().lineCount() > 300);
    FindBar* bar = window.findBar();
    QVERIFY(!bar->isVisible());
    auto* count = qobject_cast<LiveLabel*>(bar->matchCount());
    QSignalSpy heard(count, &LiveLabel::announced);
    count->setAnnounceInterval(3600 * 1000);

    QTest::keyClick(&window, Qt::Key_F, Qt::ControlModifier);
    QVERIFY(bar->isVisible() && bar->field()->hasFocus());
    QTest::keyClicks(bar->field(), u"NEEDLE"_s);
    QTRY_COMPARE(bar->matchCount()->text(), u"3 of 3"_s); // the newest, nearest the end
    QAccessibleInterface* counted = QAccessible::queryAccessibleInterface(count);
    QCOMPARE(counted->text(QAccessible::Name), u"Matches"_s);
    QCOMPARE(counted->textInterface()->text(0, -1), u"3 of 3"_s);
    QScrollBar* scroll = view->verticalScrollBar();
    // Each step shows its match, wherever it is.
    const auto shown = [&] {
        const qint64 line = view->search()->match(view->search()->currentIndex()).line;
        return view->positionAt({}).line <= line &&
               line <= view->positionAt({0, view->viewport()->height()}).line;
    };
    for (auto [key, modifiers, expected] : {std::tuple{Qt::Key_Return, Qt::NoModifier, "1 of 3"},
                                            {Qt::Key_Return, Qt::NoModifier, "2 of 3"},
                                            {Qt::Key_Return, Qt::ShiftModifier, "1 of 3"},
                                            {Qt::Key_F3, Qt::ShiftModifier, "3 of 3"},
                                            {Qt::Key_F3, Qt::NoModifier, "1 of 3"}}) {
        QTest::keyClick(bar->field(), key, modifiers);
        QCOMPARE(bar->matchCount()->text(), QString::fromLatin1(expected));
        QVERIFY(shown());
    }
    // Told at once, then once an interval with the latest: not at every step.
    QCOMPARE(heard.size(), 1);
    count->setAnnounceInterval(0);
    QTRY_COMPARE(heard.size(), 2);
    QCOMPARE(heard.last().first(), u"1 of 3"_s);
    QVERIFY(scroll->value() < scroll->maximum() && !view->isFollowing());
    bar->caseSensitive()->click();
    QTRY_COMPARE(bar->matchCount()->text(), u"No matches"_s);
    QTest::keyClick(bar->field(), Qt::Key_Escape);
    QVERIFY(!bar->isVisible() && view->search()->pattern().isEmpty());

    // Every control says what it is to a screen reader.
    for (QWidget* control : window.findChildren<QWidget*>())
        if ((control->focusPolicy() != Qt::NoFocus || qobject_cast<QAbstractButton*>(control)) &&
            control != view->viewport())
            QVERIFY2(
                !QAccessible::queryAccessibleInterface(control)->text(QAccessible::Name).isEmpty(),
                control->metaObject()->className());
}

#ifdef Q_OS_LINUX
// Without a notification service on the bus, the tray item's own message is the way, once there
// is an item.
void TestAppShell::desktopServicesOnAPrivateBus() {
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
        TrayController tray;
        DBusNotifier notifier(QDBusConnection::connectToBus(address, u"app"_s), u"test"_s, &tray);
        QVERIFY(!notifier.notify(u"nobody listens"_s, {}));
        tray.setTrayHostPresent(true);
        QVERIFY(notifier.notify(u"the tray item says it"_s, {}));
        FakeNotifications fake;
        QDBusConnection service = QDBusConnection::connectToBus(address, u"service"_s);
        QVERIFY(service.registerObject(u"/org/freedesktop/Notifications"_s, &fake,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerService(u"org.freedesktop.Notifications"_s));
        QVERIFY(notifier.notify(u"gave up"_s, u"crashed"_s));
        QVERIFY(notifier.notify(u"rolled back"_s, u"build 2"_s));
        QTRY_COMPARE(fake.received, (QStringList{u"gave up|crashed"_s, u"rolled back|build 2"_s}));
        // A wake from suspend is told; going to sleep is not.
        FakeLogind logind;
        QVERIFY(service.registerObject(u"/org/freedesktop/login1"_s, &logind,
                                       QDBusConnection::ExportAllSignals));
        QVERIFY(service.registerService(u"org.freedesktop.login1"_s));
        ResumeWatcher watcher(QDBusConnection::connectToBus(address, u"app"_s));
        QVERIFY(watcher.isWatching());
        QSignalSpy resumed(&watcher, &ResumeWatcher::resumed);
        for (bool start : {true, true, false})
            Q_EMIT logind.PrepareForSleep(start);
        QTRY_COMPARE(resumed.count(), 1);
    }
    for (const QString& name : {u"app"_s, u"service"_s})
        QDBusConnection::disconnectFromBus(name);
    daemon.terminate();
    QVERIFY(daemon.waitForFinished(10000));
}
#endif

void TestAppShell::networkIsOnlineWhileADefaultRouteIsUp_data() {
    QTest::addColumn<QByteArray>("ipv4");
    QTest::addColumn<QByteArray>("ipv6");
    QTest::addColumn<bool>("online");
    const QByteArray head =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\n";
    const QByteArray subnet = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\n";
    const auto v4 = [&](const char* iface, const char* flags) {
        return head + subnet + iface + "\t00000000\t010200C0\t" + flags +
               "\t0\t0\t0\t00000000\t0\n";
    };
    const QByteArray zero(32, '0');
    const auto v6 = [&](const char* flags, const char* iface) {
        return "fe800000000000000000000000000000 40 " + zero + " 00 " + zero +
               " 00000100 00000001 00000000 00000001 eth0\n" + zero + " 00 " + zero + " 00 " +
               zero + " 00000400 00000002 00000000 " + flags + "     " + iface + '\n';
    };
    QTest::newRow("IPv4 default route up") << v4("eth0", "0003") << QByteArray() << true;
    QTest::newRow("IPv4 default route down") << v4("eth0", "0002") << QByteArray() << false;
    QTest::newRow("IPv4 default on the loopback") << v4("lo", "0003") << QByteArray() << false;
    QTest::newRow("IPv4 subnet only") << head + subnet << QByteArray() << false;
    QTest::newRow("IPv6 default route up") << head << v6("00000003", "eth0") << true;
    QTest::newRow("IPv6 unreachable default") << head << v6("00200200", "lo") << false;
    QTest::newRow("IPv6 rejected default") << head << v6("00200201", "eth0") << false;
    QTest::newRow("no tables") << QByteArray() << QByteArray() << false;
}

// The tables are read again on each change netlink tells of; a change that leaves the answer
// as it was says nothing.
void TestAppShell::networkIsOnlineWhileADefaultRouteIsUp() {
    QFETCH(QByteArray, ipv4);
    QFETCH(QByteArray, ipv6);
    QFETCH(bool, online);
    QCOMPARE(NetworkWatch::hasDefaultRoute(ipv4, ipv6), online);
#ifdef Q_OS_LINUX
    QTemporaryDir dir;
    const NetworkWatch::Tables tables{dir.filePath(QStringLiteral("route")),
                                      dir.filePath(QStringLiteral("ipv6_route"))};
    const auto write = [](const QString& path, const QByteArray& text) {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
    };
    QVERIFY(write(tables.ipv4, {}) && write(tables.ipv6, {}));
    NetworkWatch watch(tables);
    QVERIFY(watch.isWatching());
    QCOMPARE(watch.online(), std::optional<bool>(false));
    QSignalSpy changed(&watch, &NetworkWatch::onlineChanged);
    QVERIFY(write(tables.ipv4, ipv4) && write(tables.ipv6, ipv6));
    watch.reconsider();
    watch.reconsider();
    QCOMPARE(watch.online(), std::optional<bool>(online));
    QCOMPARE(changed.count(), online ? 1 : 0);
#endif
}

void TestAppShell::oneInstanceLockInAPrivateFolder_data() {
    QTest::addColumn<Spoil>("runtime");    // what is wrong with $XDG_RUNTIME_DIR
    QTest::addColumn<int>("takenFolders"); // how many of the own folders another user made first
    QTest::addColumn<bool>("unmakeable");  // TMPDIR and XDG_CACHE_HOME where nothing can be made
    QTest::addColumn<Where>("where");
    QTest::newRow("runtime folder") << Spoil::Nothing << 0 << false << Where::Runtime;
    QTest::newRow("runtime folder not writable") << Spoil::NotWritable << 0 << false << Where::Temp;
    QTest::newRow("another user's runtime folder") << Spoil::Owner << 0 << false << Where::Temp;
    QTest::newRow("runtime folder open to all") << Spoil::OpenMode << 0 << false << Where::Temp;
    QTest::newRow("temporary folder taken") << Spoil::Owner << 1 << false << Where::Cache;
    QTest::newRow("no private folder anywhere") << Spoil::Owner << 2 << false << Where::Nowhere;
    QTest::newRow("nothing can be made") << Spoil::Missing << 0 << true << Where::Nowhere;
}

// Another user is played by an inspection that reports a different owner. Without a folder
// the guard is a socket name, and still only one launch runs.
void TestAppShell::oneInstanceLockInAPrivateFolder() {
    QFETCH(Spoil, runtime);
    QFETCH(int, takenFolders);
    QFETCH(bool, unmakeable);
    QFETCH(Where, where);
    QTemporaryDir temp;
    QProcessEnvironment system = QProcessEnvironment::systemEnvironment();
    const QString base = unmakeable ? u"/proc/halvane-none"_s : temp.path();
    system.insert(u"TMPDIR"_s, base);
    system.insert(u"XDG_CACHE_HOME"_s, unmakeable ? base : system.value(u"XDG_CACHE_HOME"_s));
    if (runtime == Spoil::Missing)
        system.insert(u"XDG_RUNTIME_DIR"_s, temp.path() + u"/gone"_s);
    const Environment environment = Environment::fromSystem(system);
    const QString runtimeDir = environment.runtimeDir();
    const QStringList own = {base + u"/halvane-%1"_s.arg(::getuid()),
                             environment.cacheHome() + u"/halvane-runtime"_s};
    const SingleInstance::Inspect inspect = [&](const QString& path) {
        SingleInstance::Folder folder = SingleInstance::inspectFolder(path);
        if (path == runtimeDir) {
            folder.writable = folder.writable && runtime != Spoil::NotWritable;
            folder.owner += runtime == Spoil::Owner ? 1 : 0;
            folder.mode |= runtime == Spoil::OpenMode ? 0777 : 0;
        } else if (own.indexOf(path) >= 0 && own.indexOf(path) < takenFolders) {
            folder.owner += 1;
        }
        return folder;
    };
    const qsizetype before = console_.text().size();
    SingleInstance first(environment, nullptr, inspect);
    QSignalSpy shown(&first, &SingleInstance::showRequested);
    QVERIFY(first.claim());
    first.listen();
    QCOMPARE(first.directory(), (QStringList{runtimeDir} + own << QString()).at(int(where)));
    if (where == Where::Nowhere) {
        // Each folder is named with its reason.
        const QString said = console_.text().mid(before);
        for (const QString& named : QStringList{runtimeDir, own[0], own[1]})
            QVERIFY2(said.contains(named + u' '), qPrintable(said));
        QVERIFY2(!said.contains(u"()"_s), qPrintable(said));
    } else {
        QCOMPARE(QFileInfo(first.directory()).permissions() & 0x77, QFileDevice::Permissions());
    }
    // A second launch, on a thread of its own since the first answers on this one.
    std::atomic<int> second = -1;
    std::thread launch([&] {
        SingleInstance instance(environment, nullptr, inspect);
        bool answered = false;
        second = instance.claim(&answered) ? 2 : answered ? 1 : 0;
    });
    QTRY_VERIFY(second != -1);
    launch.join();
    QCOMPARE(second, 1); // not primary, and the first answered
    QCOMPARE(shown.count(), 1);
}

// The lock is still held but nobody answers: the first instance is on its way out (or not yet
// listening). Once the lock is free, the launch is the first instance instead of giving up.
void TestAppShell::launchWhileTheFirstIsLeavingTakesOver() {
    const Environment environment = Environment::fromProcess();
    QLockFile leaving(SingleInstance::runtimeDirectory(environment) + u"/halvane.lock"_s);
    QVERIFY(leaving.tryLock(0));
    std::atomic<int> launched = -1;
    std::thread launch([&] {
        SingleInstance instance(environment);
        bool answered = false;
        launched = instance.claim(&answered) ? 2 : answered ? 1 : 0;
    });
    QTimer::singleShot(300, [&] { leaving.unlock(); });
    QTRY_VERIFY(launched != -1);
    launch.join();
    QCOMPARE(launched, 2);

    // An instance that is quitting says so, and a launch waits for it to be gone and takes
    // its place instead of having it show a window that is about to close.
    auto quitting = std::make_unique<SingleInstance>(environment);
    QSignalSpy shown(quitting.get(), &SingleInstance::showRequested);
    QVERIFY(quitting->claim());
    quitting->listen();
    quitting->leave();
    launched = -1;
    std::thread relaunch([&] { launched = SingleInstance(environment).claim() ? 2 : 0; });
    QTimer::singleShot(300, [&] { quitting.reset(); });
    QTRY_VERIFY(launched != -1);
    relaunch.join();
    QCOMPARE(launched, 2);
    QCOMPARE(shown.count(), 0);
}

// Qt's own quit (a logout, QCoreApplication::quit() during exec()) is held until the CLI's
// stop has reported, however often it is asked for, and a window closed meanwhile tells
// nobody that the CLI keeps running.
void TestAppShell::quitIsHeldUntilTheStopHasReported() {
    SupervisorSandbox sandbox;
    const QString pidFile = sandbox.path() + u"/cli.pid"_s;
    sandbox.writeCli("echo $$ > " + pidFile.toUtf8() +
                     "; trap 'sleep 0.5; exit 0' TERM; while :; do sleep 0.05; done");
    sandbox.manager().runCLI();
    QTRY_VERIFY(!readFile(pidFile).isEmpty());
    const pid_t cli = pid_t(readFile(pidFile).trimmed().toLongLong());
    WindowManager windows(&sandbox.manager(), nullptr);
    windows.setStandalone(true);
    windows.showTerminalWindow();
    QuitGate gate(&sandbox.manager());
    connect(&gate, &QuitGate::quitting, &windows, &WindowManager::setLeaving);
    QSignalSpy left(&gate, &QuitGate::leave);
    QSignalSpy told(&windows, &WindowManager::closedWithoutTray);
    bool aliveWhenLeft = true;
    connect(&gate, &QuitGate::leave, this, [&] { aliveWhenLeft = ProcessGroup::isAlive(cli); });
    // What QCoreApplication::quit(), a logout or a platform's quit request sends.
    QEvent quit(QEvent::Quit);
    QCoreApplication::sendEvent(qApp, &quit);
    QVERIFY(gate.isQuitting() && left.isEmpty() && !quit.isAccepted());
    windows.terminalWindow()->close();
    QCoreApplication::sendEvent(qApp, &quit);
    QTRY_COMPARE(left.count(), 1);
    QVERIFY(!aliveWhenLeft);
    QCOMPARE(told.count(), 0);
}

void TestAppShell::commandLine_data() {
    using A = CommandLine::Action;
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("action");
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QString>("error");
    const auto row = [](const char* name, QStringList args, A action, QByteArray request = {},
                        QString error = {}) {
        args.prepend(QStringLiteral("halvane"));
        QTest::newRow(name) << args << int(action) << request << error;
    };
    row("nothing", {}, A::Run);
    row("help wins over a command", {"--quit", "--help"}, A::Help);
    const std::pair<const char*, A> commands[] = {{"--show", A::Show},
                                                  {"--restart-cli", A::RestartCLI},
                                                  {"--update-cli", A::UpdateCLI},
                                                  {"--quit", A::Quit},
                                                  {"--status", A::Status}};
    for (auto [option, action] : commands)
        row(option, {option}, action, QByteArray(option + 2));
    row("status as JSON", {"--json", "--status"}, A::Status, "status json");
    row("Qt's options", {"-platform", "offscreen", "--style=fusion", "-reverse", "--show"}, A::Show,
        "show");
    row("a word", {"status"}, A::Invalid, {}, "unknown option 'status'");
    row("a prefix of Qt's", {"-plat", "x"}, A::Invalid, {}, "unknown option '-plat'");
    row("Qt's option missing its value", {"-platform"}, A::Invalid, {},
        "option '-platform' needs a value");
    row("two commands", {"--quit", "--restart-cli"}, A::Invalid, {},
        "'--restart-cli' cannot be combined with another command");
    row("json without status", {"--json"}, A::Invalid, {}, "'--json' goes with '--status'");
}

// Read before anything starts: what runs, what the running instance is asked, and the words of
// a mistake.
void TestAppShell::commandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(int, action);
    const CommandLine line = CommandLine::parse(arguments);
    QCOMPARE(int(line.action), action);
    QTEST(line.request(), "request");
    QTEST(line.error, "error");
    QCOMPARE(line.isInstanceCommand(), !line.request().isEmpty());
}

HALVANE_TEST_WIDGETS_MAIN(TestAppShell)
#include "tst_appshell.moc"
