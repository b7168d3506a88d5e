// The real application in a real X session (Xvfb, openbox, the tint2 tray, driven with xdotool)
// against this process's HTTPS server: the journey only a real desktop shows; the rest is held
// by the unit and application-process suites. Each case has its own display, HOME, XDG folders and
// sweep pattern.
#include "TestDesktop.h"
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "VantrelManager.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <memory>
#include <optional>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kSlowMs = TestDesktop::kSlowMs;

struct Window {
    QString id;
    int width = 0, height = 0;
};

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

public Q_SLOTS:
    void onAccessibilityEvent(const QDBusMessage& message) {
        // The terminal's announcements only: the status line announces its changes too.
        if (message.arguments().value(0).toString() == u"insert"_s &&
            message.path() == terminalPath_)
            inserted_.append(
                message.arguments().value(3).value<QDBusVariant>().variant().toString());
    }

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firstLaunchInstallsRunsShowsColoursAndQuitsFromTheTray();
    void screenReaderReadsTheOutputOverAtSpi();

private:
    // Whether anything of the group is left; init reaps its orphaned zombies at once.
    static bool groupAlive(qint64 group) { return ::kill(pid_t(-group), 0) == 0; }
    QProcess& launch() {
        QProcess& app = *apps_.emplace_back(std::make_unique<QProcess>());
        app.setProcessEnvironment(desktop_->environment());
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.setStandardInputFile(QProcess::nullDevice());
        app.start(QStringLiteral(HALVANE_APP_BINARY), {});
        return app;
    }
    // The demo CLI's own banner in the log: installed, started, and its output carried.
    bool cliRunning(QProcess& app) {
        const QString log = folders_->home() + u"/.local/state/halvane/cli.log"_s;
        const bool up = QTest::qWaitFor(
            [&] { return readFile(log).contains("demo CLI") && !cliGroupsOf(app).isEmpty(); },
            kSlowMs);
        cliGroups_ += cliGroupsOf(app);
        return up;
    }
    // The groups the application leads its CLI in: its children that lead a group.
    QList<qint64> cliGroupsOf(const QProcess& app) const {
        QList<qint64> groups;
        const QString children = desktop_->tool("pgrep", {"-P", QString::number(app.processId())});
        for (const QString& child : children.split(u'\n', Qt::SkipEmptyParts))
            if (const pid_t pid = pid_t(child.toLongLong()); ::getpgid(pid) == pid)
                groups.append(pid);
        return groups;
    }
    // A shown window of the application's within these sizes: the icon tint2 embedded is a
    // tray-sized one, a popup menu a bigger one. Chained, xdotool needs a pattern besides the PID.
    std::optional<Window> window(const QProcess& app, int minSide, int maxSide) const {
        static const QRegularExpression shell(
            uR"(WINDOW=(\d+)\s+X=-?\d+\s+Y=-?\d+\s+WIDTH=(\d+)\s+HEIGHT=(\d+))"_s);
        const QString said =
            desktop_->tool("xdotool", {"search", "--all", "--onlyvisible", "--pid",
                                       QString::number(app.processId()), "--classname", "halvane",
                                       "getwindowgeometry", "--shell", "%@"});
        for (const QRegularExpressionMatch& m : shell.globalMatch(said)) {
            const Window w{m.captured(1), m.captured(2).toInt(), m.captured(3).toInt()};
            if (qMin(w.width, w.height) >= minSide && qMax(w.width, w.height) <= maxSide)
                return w;
        }
        return std::nullopt;
    }
    // Opens the icon's menu and clicks its last entry, Quit, until the application has ended.
    // A popup is mapped before it grabs the pointer, and a click before the grab is lost.
    bool quitFromTrayMenu(const Window& icon, const QProcess& app) const {
        const auto click = [this](const Window& w, int x, int y, int button) {
            desktop_->tool("xdotool", {"mousemove", "--window", w.id, QString::number(x),
                                       QString::number(y), "click", QString::number(button)});
        };
        for (int attempt = 0; attempt < 5 && app.state() != QProcess::NotRunning; ++attempt) {
            std::optional<Window> menu;
            const auto menuShown = [&] { return (menu = window(app, 41, 399)).has_value(); };
            if (!menuShown()) {
                click(icon, icon.width / 2, icon.height / 2, 3);
                if (!QTest::qWaitFor(menuShown, 5000))
                    continue;
            }
            click(*menu, menu->width / 2, menu->height - 12, 1);
            if (QTest::qWaitFor([&] { return app.state() == QProcess::NotRunning; }, 5000))
                return true;
        }
        return app.state() == QProcess::NotRunning;
    }
    std::unique_ptr<TestHttps> https_;
    std::unique_ptr<TestEnvironment> folders_;
    std::unique_ptr<TestDesktop> desktop_;
    std::vector<std::unique_ptr<QProcess>> apps_;
    QList<qint64> cliGroups_;
    QProcess sessionBus_, busLauncher_;
    QStringList inserted_;
    QString terminalPath_;
};

void TestEndToEnd::initTestCase() {
    for (const char* tool : {"Xvfb", "openbox", "tint2", "xdotool", "wmctrl", "import"})
        HALVANE_REQUIRE_TOOL(TestDesktop::installed(tool), tool);
}

void TestEndToEnd::init() {
    https_ = std::make_unique<TestHttps>();
    QVERIFY2(https_->error().isEmpty(), qPrintable(https_->error()));
    https_->setAssetFile(VantrelManager::assetName(), QStringLiteral(HALVANE_DEMO_CLI));
    folders_ = std::make_unique<TestEnvironment>(); // this case's HOME and XDG folders
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No bus listens here: the tray falls back to XEmbed, and no bus of the user's is reached.
    env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=%1/no-bus"_s.arg(folders_->root()));
    env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    env.insert(u"HALVANE_BASE_URL"_s, https_->baseUrl());
    env.insert(u"HALVANE_CA_CERTS"_s, TestHttps::pki()->caCert);
    // Only this case's CLI carries its install path, so the sweep can reach nothing else.
    env.insert(u"HALVANE_SWEEP_ROOT"_s, folders_->home() + u"/.vantrel/bin/vantrel"_s);
    desktop_ = std::make_unique<TestDesktop>(env, /*tray=*/true);
    const QString error = desktop_->start();
    QVERIFY2(error.isEmpty(), qPrintable(error));
}

// Ends only what this case started: the application, its CLI's groups, the desktop.
void TestEndToEnd::cleanup() {
    for (auto& app : apps_)
        TestDesktop::stop(*app);
    apps_.clear();
    for (qint64 group : std::as_const(cliGroups_))
        if (groupAlive(group))
            ::kill(pid_t(-group), SIGKILL);
    cliGroups_.clear();
    // The launcher ends its accessibility bus, and with it the registry that bus started.
    for (QProcess* p : {&busLauncher_, &sessionBus_})
        if (p->state() != QProcess::NotRunning)
            TestDesktop::stop(*p);
    for (const QString& name : {u"session"_s, u"a11y"_s})
        QDBusConnection::disconnectFromBus(name);
    desktop_.reset();
}

void TestEndToEnd::firstLaunchInstallsRunsShowsColoursAndQuitsFromTheTray() {
    QProcess& app = launch();
    QVERIFY2(cliRunning(app), app.readAll().right(3000).constData());
    std::optional<Window> icon;
    QTRY_VERIFY_WITH_TIMEOUT((icon = window(app, 8, 56)).has_value(), kSlowMs);
    // Once the window manager has given the window the focus, its opening can no longer take
    // the focus off the menu.
    QString shown;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(shown = desktop_->managedWindows(app.processId(), u"Vantrel Halvane"_s).value(0))
                .isEmpty() &&
            desktop_->isActive(shown),
        kSlowMs);
    // The demo CLI's red and blue words: its colour escapes reached the view and were drawn.
    const QString shot = folders_->root() + u"/window.png"_s;
    const auto coloured = [&] {
        desktop_->tool("import", {"-window", shown, shot});
        const QImage image(shot);
        int red = 0, blue = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QRgb p = image.pixel(x, y);
                red += qRed(p) > 150 && qGreen(p) < 100;
                blue += qBlue(p) > 150 && qRed(p) < 100;
            }
        return red > 20 && blue > 20;
    };
    QTRY_VERIFY_WITH_TIMEOUT(coloured(), kSlowMs);
    const QList<qint64> groups = cliGroupsOf(app);

    QVERIFY2(quitFromTrayMenu(*icon, app), "Quit from the tray menu did not end the application");
    QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
    for (qint64 group : groups)
        QTRY_VERIFY2(!groupAlive(group), "the CLI's group outlived the application");
}

void TestEndToEnd::screenReaderReadsTheOutputOverAtSpi() {
    const QString launcher = u"/usr/libexec/at-spi-bus-launcher"_s;
    HALVANE_REQUIRE_TOOL(QFileInfo(launcher).isExecutable(), "at-spi2-core");
    // A session bus of this case's own, and on it the launcher of the accessibility bus.
    QFile config(folders_->root() + u"/bus.conf"_s);
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(R"(<busconfig><type>session</type><auth>EXTERNAL</auth><policy context="default">
        <allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/>
        </policy><listen>unix:dir=)" +
                 folders_->root().toUtf8() + "</listen></busconfig>");
    config.close();
    sessionBus_.start(u"dbus-daemon"_s, {u"--nofork"_s, u"--print-address"_s,
                                         u"--config-file="_s + config.fileName()});
    QVERIFY2(sessionBus_.waitForReadyRead(kSlowMs), qPrintable(sessionBus_.errorString()));
    const QString address = QString::fromUtf8(sessionBus_.readLine()).trimmed();
    desktop_->environment().insert(u"DBUS_SESSION_BUS_ADDRESS"_s, address);
    busLauncher_.setProcessEnvironment(desktop_->environment());
    busLauncher_.start(launcher, {u"--launch-immediately"_s});
    QDBusConnection session = QDBusConnection::connectToBus(address, u"session"_s);
    QDBusMessage reply;
    QTRY_VERIFY_WITH_TIMEOUT(
        (reply = session.call(QDBusMessage::createMethodCall(u"org.a11y.Bus"_s, u"/org/a11y/bus"_s,
                                                             u"org.a11y.Bus"_s, u"GetAddress"_s)))
                .type() == QDBusMessage::ReplyMessage,
        kSlowMs);
    QDBusConnection bus =
        QDBusConnection::connectToBus(reply.arguments().value(0).toString(), u"a11y"_s);
    QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
    const auto call = [&bus](const QString& service, const QString& path, const char* interface,
                             const char* method, const QVariantList& arguments = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(service, path, QLatin1String(interface),
                                                        QLatin1String(method));
        m.setArguments(arguments);
        return bus.call(m, QDBus::Block, 5000).arguments().value(0);
    };
    // As a screen reader does: ask the registry for text changes, then walk the tree.
    call(u"org.a11y.atspi.Registry"_s, u"/org/a11y/atspi/registry"_s, "org.a11y.atspi.Registry",
         "RegisterEvent", {u"object:text-changed"_s});
    QVERIFY(bus.connect({}, {}, u"org.a11y.atspi.Event.Object"_s, u"TextChanged"_s, this,
                        SLOT(onAccessibilityEvent(QDBusMessage))));
    desktop_->environment().insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
    QProcess& app = launch();
    QVERIFY2(cliRunning(app), app.readAll().right(3000).constData());

    const std::function<QString(const QString&, const QString&, int)> terminalText =
        [&](const QString& service, const QString& path, int depth) -> QString {
        if (call(service, path, "org.a11y.atspi.Accessible", "GetRoleName").toString() ==
            u"terminal"_s) {
            terminalPath_ = path;
            return call(service, path, "org.a11y.atspi.Text", "GetText", {0, -1}).toString();
        }
        const QVariant listed = call(service, path, "org.a11y.atspi.Accessible", "GetChildren");
        if (listed.userType() != qMetaTypeId<QDBusArgument>())
            return {}; // not an accessible object
        const auto children = listed.value<QDBusArgument>();
        QString text;
        children.beginArray();
        while (!children.atEnd() && text.isNull() && depth > 0) {
            QString child;
            QDBusObjectPath childPath;
            children.beginStructure();
            children >> child >> childPath;
            children.endStructure();
            text = terminalText(child, childPath.path(), depth - 1);
        }
        return text;
    };
    // The registry's children are the applications.
    const auto shownText = [&] {
        return terminalText(u"org.a11y.atspi.Registry"_s, u"/org/a11y/atspi/accessible/root"_s, 7);
    };
    QTRY_VERIFY_WITH_TIMEOUT(shownText().contains(u"demo CLI"_s), kSlowMs);
    // New output is announced as inserted text, a few times a second at most, however much
    // arrives; the CLI writes about a line a second.
    inserted_.clear();
    QElapsedTimer clock;
    clock.start();
    QTRY_VERIFY_WITH_TIMEOUT(inserted_.size() >= 2, kSlowMs);
    QVERIFY2(inserted_.size() <= 2 + clock.elapsed() / 300, qPrintable(inserted_.join(u'|')));
    for (const QString& text : std::as_const(inserted_))
        QVERIFY(!text.isEmpty() && text.size() <= 4096);
}

HALVANE_TEST_GUILESS_MAIN(TestEndToEnd)

#include "tst_e2e.moc"
