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
    void startPanel() {
        said_.clear();
        startDetached(panel_, u"/usr/bin/python3"_s, {QStringLiteral(HALVANE_SNI_PANEL)});
    }
    QString visibleWindow() const {
        return desktop_->tool("xdotool", {"search", "--onlyvisible", "--classname", "halvane"})
            .section(u'\n', 0, 0);
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
    QString said_, item_;
};

void TestTray::initTestCase() {
    for (const char* tool : {"Xvfb", "openbox", "xdotool", "dbus-daemon"})
        HALVANE_REQUIRE_TOOL(TestDesktop::installed(tool), tool);
    QProcess probe;
    probe.start(u"/usr/bin/python3"_s, {"-c", "import dbus_next"});
    HALVANE_REQUIRE_TOOL(probe.waitForFinished(10000) && probe.exitCode() == 0,
                         "python3-dbus-next");
}

void TestTray::cleanup() {
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

    if (panelFirst)
        startPanel();
    startDetached(app_, QStringLiteral(HALVANE_APP_BINARY), {});
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow().isEmpty(), kSlowMs);
    if (!panelFirst)
        startPanel();
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

    // Activate brings back a minimized window.
    const QString window = visibleWindow();
    desktop_->tool("xdotool", {"windowminimize", "--sync", window});
    QTRY_VERIFY_WITH_TIMEOUT(visibleWindow().isEmpty(), kSlowMs);
    call(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"Activate"_s, {0, 0});
    QTRY_VERIFY_WITH_TIMEOUT(!visibleWindow().isEmpty(), kSlowMs);
    QCOMPARE(
        call(u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s, u"ContextMenu"_s, {0, 0})
            .type(),
        QDBusMessage::ReplyMessage);

    TestDesktop::stop(panel_);
    startPanel();
    QTRY_VERIFY_WITH_TIMEOUT(!(item_ = registeredItem()).isEmpty(), kSlowMs);

    // The last entry quits, as it does in the tray's own menu.
    call(menu, u"com.canonical.dbusmenu"_s, u"Event"_s,
         {items.last().first, u"clicked"_s, QVariant::fromValue(QDBusVariant(0)), 0u});
    QTRY_COMPARE_WITH_TIMEOUT(app_.state(), QProcess::NotRunning, kSlowMs);
    QVERIFY(app_.exitStatus() == QProcess::NormalExit && app_.exitCode() == 0);
}

HALVANE_TEST_GUILESS_MAIN(TestTray)

#include "tst_tray.moc"
