// The application on a StatusNotifierItem panel (tests/tray/snipanel.py, a watcher and a host on a
// private session bus) in Xvfb with openbox: the item registers whether the panel is up first or
// comes later, exports its menu, opens the window on Activate, survives ContextMenu, comes back
// after the panel restarts, and quits from its exported menu.
#include "TestDesktop.h"
#include "TestEnvironment.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QtTest>

#include <algorithm>
#include <csignal>

using namespace Qt::StringLiterals;

namespace {
constexpr int kSlowMs = TestDesktop::kSlowMs;

// The labelled, clickable entries of a com.canonical.dbusmenu layout, as (id, label).
void entries(const QDBusArgument& node, QList<std::pair<int, QString>>& out) {
    int id = 0;
    QVariantMap props;
    node.beginStructure();
    node >> id >> props;
    node.beginArray();
    while (!node.atEnd()) {
        QDBusVariant child;
        node >> child;
        entries(child.variant().value<QDBusArgument>(), out);
    }
    node.endArray();
    node.endStructure();
    if (id != 0 && props.value(u"type"_s).toString() != u"separator"_s &&
        !props.value(u"label"_s).toString().isEmpty())
        out.append({id, props.value(u"label"_s).toString()});
}
} // namespace

class TestTray : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void itemOnAStatusNotifierPanel_data();
    void itemOnAStatusNotifierPanel();

private:
    void startDetached(QProcess& process, const QString& program, const QStringList& arguments) {
        process.setProcessEnvironment(env_);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(program, arguments);
    }
    // The service the panel was last told about, once it has been.
    QString registeredItem() {
        said_ += QString::fromUtf8(panel_.readAllStandardOutput());
        const qsizetype at = said_.lastIndexOf(u"item "_s);
        return at < 0 ? QString() : said_.mid(at + 5).section(u' ', 0, 0);
    }
    // Whether the panel's watcher and host came onto the bus: a panel that is only starting
    // may miss the second the application gives it to answer.
    bool startPanel() {
        said_.clear();
        startDetached(panel_, u"/usr/bin/python3"_s, {QStringLiteral(HALVANE_SNI_PANEL)});
        return QTest::qWaitFor(
            [this] {
                return (said_ += QString::fromUtf8(panel_.readAllStandardOutput()))
                    .contains(u"ready"_s);
            },
            kSlowMs);
    }
    // The application's own window, once the window manager manages and shows it.
    QString visibleWindow() const {
        return desktop_->managedWindows(app_.processId(), u"Vantrel Halvane"_s).value(0);
    }
    // Clicks the exported menu's entry of that label.
    void click(const QString& menu, const QList<std::pair<int, QString>>& items,
               const QString& label) {
        for (const auto& [id, text] : items)
            if (text == label)
                call(menu, u"com.canonical.dbusmenu"_s, u"Event"_s,
                     {id, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
    }
    QString log() const {
        return QString::fromUtf8(readFile(folders_.home() + u"/.local/state/halvane/cli.log"_s));
    }
    // The CLIs started so far, oldest first, and how many of them are alive.
    QList<pid_t> runs(int* alive = nullptr) const {
        QList<pid_t> pids;
        for (const QByteArray& line : readFile(folders_.home() + u"/runs"_s).split('\n'))
            if (!line.isEmpty())
                pids.append(pid_t(line.toLongLong()));
        if (alive)
            *alive = int(std::count_if(pids.begin(), pids.end(),
                                       [](pid_t pid) { return ::kill(pid, 0) == 0; }));
        return pids;
    }
    QDBusMessage call(const QString& path, const QString& interface, const QString& member,
                      const QVariantList& arguments) {
        QDBusMessage m = QDBusMessage::createMethodCall(item_, path, interface, member);
        m.setArguments(arguments);
        return QDBusConnection(u"tray-test"_s).call(m, QDBus::Block, 10000);
    }

    TestEnvironment folders_; // this case's HOME and XDG folders
    QProcessEnvironment env_;
    std::unique_ptr<TestDesktop> desktop_;
    QProcess bus_, panel_, app_;
    QString said_, item_, appSaid_;
};

void TestTray::initTestCase() {
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "wmctrl", "dbus-daemon"})
        HALVANE_REQUIRE_TOOL(TestDesktop::installed(tool), tool);
    QProcess probe;
    probe.start(u"/usr/bin/python3"_s, {"-c", "import dbus_next"});
    HALVANE_REQUIRE_TOOL(probe.waitForFinished(10000) && probe.exitCode() == 0,
                         "python3-dbus-next");
}

void TestTray::cleanup() {
    appSaid_.clear();
    for (QProcess* p : {&app_, &panel_})
        TestDesktop::stop(*p);
    desktop_.reset();
    TestDesktop::stop(bus_);
    QDBusConnection::disconnectFromBus(u"tray-test"_s);
}

void TestTray::itemOnAStatusNotifierPanel_data() {
    QTest::addColumn<bool>("panelFirst");
    QTest::newRow("panel already up") << true;
    QTest::newRow("panel starts after the application") << false;
}

void TestTray::itemOnAStatusNotifierPanel() {
    QFETCH(bool, panelFirst);
    env_ = QProcessEnvironment::systemEnvironment();
    env_.remove(u"DISPLAY"_s);
    startDetached(bus_, u"dbus-daemon"_s, {"--session", "--nofork", "--print-address"});
    QVERIFY(QTest::qWaitFor([&] { return bus_.canReadLine(); }, kSlowMs));
    const QString address = QString::fromUtf8(bus_.readLine()).trimmed();
    env_.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
    QVERIFY(QDBusConnection::connectToBus(address, u"tray-test"_s).isConnected());
    desktop_ = std::make_unique<TestDesktop>(env_);
    const QString error = desktop_->start();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    env_ = desktop_->environment();
    env_.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    // Nothing listens there: the download fails at once and the window shows that.
    env_.insert(u"HALVANE_BASE_URL"_s, closedBaseUrl());
    env_.insert(u"HALVANE_SWEEP_ROOT"_s, folders_.home() + u"/.vantrel/bin/vantrel"_s);

    // A CLI that takes 0.7 s to end on SIGTERM, and notes each start.
    QFile::remove(folders_.home() + u"/runs"_s);
    QDir(folders_.home() + u"/.local/state/halvane"_s).removeRecursively();
    QDir().mkpath(folders_.home() + u"/.vantrel/bin"_s);
    QFile cli(folders_.home() + u"/.vantrel/bin/vantrel"_s);
    QVERIFY(cli.open(QIODevice::WriteOnly));
    cli.write("#!/bin/bash\ntrap 'sleep 0.7; exit 0' TERM\necho $$ >> \"$HOME/runs\"\n"
              "while :; do sleep 0.05; done\n");
    cli.close();
    cli.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    if (panelFirst)
        QVERIFY(startPanel());
    startDetached(app_, QStringLiteral(HALVANE_APP_BINARY), {});
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow().isEmpty(), kSlowMs);
    QTRY_VERIFY_WITH_TIMEOUT(runs().size() == 1, kSlowMs);
    if (!panelFirst) {
        // No tray yet: closing the window only hides it, and says how to get it back; the CLI
        // keeps running, and a second launch shows the window again.
        QTRY_VERIFY_WITH_TIMEOUT((appSaid_ += QString::fromUtf8(app_.readAllStandardOutput()))
                                     .contains(u"No system tray found"_s),
                                 kSlowMs);
        desktop_->close(visibleWindow());
        QTRY_VERIFY_WITH_TIMEOUT(visibleWindow().isEmpty(), kSlowMs);
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(u"🪟 The window is closed."_s), kSlowMs);
        int alive = 0;
        QCOMPARE(runs(&alive).size(), 1);
        QCOMPARE(alive, 1);
        QCOMPARE(app_.state(), QProcess::Running);
        QProcess second;
        startDetached(second, QStringLiteral(HALVANE_APP_BINARY), {});
        QVERIFY(second.waitForFinished(kSlowMs) && second.exitCode() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow().isEmpty(), kSlowMs);
        QVERIFY(startPanel());
    }
    // With the panel up from the start, its answer is waited for: no false warning.
    appSaid_ += QString::fromUtf8(app_.readAllStandardOutput());
    QCOMPARE(appSaid_.contains(u"No system tray found"_s), !panelFirst);
    QTRY_VERIFY_WITH_TIMEOUT(!(item_ = registeredItem()).isEmpty(), kSlowMs);

    const auto property = [&](const QString& name) {
        return call(u"/StatusNotifierItem"_s, u"org.freedesktop.DBus.Properties"_s, u"Get"_s,
                    {u"org.kde.StatusNotifierItem"_s, name})
            .arguments()
            .value(0)
            .value<QDBusVariant>()
            .variant();
    };
    QCOMPARE(property(u"Title"_s).toString(), u"Vantrel"_s);
    const QString menu = property(u"Menu"_s).value<QDBusObjectPath>().path();
    const QDBusMessage layout =
        call(menu, u"com.canonical.dbusmenu"_s, u"GetLayout"_s, {0, -1, QStringList()});
    QCOMPARE(layout.type(), QDBusMessage::ReplyMessage);
    QList<std::pair<int, QString>> items;
    entries(layout.arguments().value(1).value<QDBusArgument>(), items);
    QVERIFY2(items.size() >= 3, qPrintable(layout.errorMessage()));

    // Activate brings back a minimized window. Minimized only once it has the focus: the
    // activation the application asks for as it shows the window would undo it otherwise.
    QString window;
    QTRY_VERIFY_WITH_TIMEOUT(desktop_->isActive(window = visibleWindow()), kSlowMs);
    desktop_->tool("xdotool", {"windowminimize", "--sync", window});
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindow().isEmpty(), kSlowMs);
    call(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"Activate"_s, {0, 0});
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow().isEmpty(), kSlowMs);
    QCOMPARE(
        call(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"ContextMenu"_s, {0, 0})
            .type(),
        QDBusMessage::ReplyMessage);

    TestDesktop::stop(panel_);
    QVERIFY(startPanel());
    QTRY_VERIFY_WITH_TIMEOUT(!(item_ = registeredItem()).isEmpty(), kSlowMs);

    // A double click on Restart CLI: the second joins the first's stop, one CLI runs after.
    click(menu, items, u"Restart CLI"_s);
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(u"🔄 Restarting the CLI..."_s), kSlowMs);
    click(menu, items, u"Restart CLI"_s);
    int alive = 0;
    QTRY_VERIFY_WITH_TIMEOUT(runs(&alive).size() == 2 && alive == 1, kSlowMs);
    QVERIFY(::kill(runs().last(), 0) == 0);
    QVERIFY(!log().contains(u"SIGKILL"_s) && !log().contains(u"Restarting the CLI in"_s));

    // Quit right after a Restart CLI: the stop under way is the one Quit waits for.
    click(menu, items, u"Restart CLI"_s);
    QTRY_VERIFY_WITH_TIMEOUT(log().count(u"🔄 Restarting the CLI..."_s) == 2, kSlowMs);
    // The last entry quits, as it does in the tray's own menu.
    call(menu, u"com.canonical.dbusmenu"_s, u"Event"_s,
         {items.last().first, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
    QTRY_COMPARE_WITH_TIMEOUT(app_.state(), QProcess::NotRunning, kSlowMs);
    QVERIFY(app_.exitStatus() == QProcess::NormalExit && app_.exitCode() == 0);
    QCOMPARE(runs(&alive).size(), 2);
    QCOMPARE(alive, 0);
}

HALVANE_TEST_GUILESS_MAIN(TestTray)

#include "tst_tray.moc"
