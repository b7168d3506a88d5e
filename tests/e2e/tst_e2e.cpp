// The real application in a real X session (Xvfb, openbox, the tint2 tray, driven with xdotool)
// against this process's HTTPS server: the journey only a real desktop shows; the rest is held
// by the unit and application-process suites. Each case has its own display, HOME, XDG folders and
// sweep pattern.
#include "TestDesktop.h"
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "VantrelManager.h"

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

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firstLaunchInstallsRunsShowsColoursAndQuitsFromTheTray();

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
    // A visible window of the application's within these sizes: its window is the big one, the
    // icon tint2 embedded a tray-sized one, a popup menu one in between.
    std::optional<Window> window(int minSide, int maxSide) const {
        static const QRegularExpression shell(
            uR"(WINDOW=(\d+)\s+X=-?\d+\s+Y=-?\d+\s+WIDTH=(\d+)\s+HEIGHT=(\d+))"_s);
        const QString said =
            desktop_->tool("xdotool", {"search", "--onlyvisible", "--classname", "halvane",
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
            const auto menuShown = [&] { return (menu = window(41, 399)).has_value(); };
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
};

void TestEndToEnd::initTestCase() {
    for (const char* tool : {"Xvfb", "openbox", "tint2", "xdotool", "import"})
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
    desktop_.reset();
}

void TestEndToEnd::firstLaunchInstallsRunsShowsColoursAndQuitsFromTheTray() {
    QProcess& app = launch();
    QVERIFY2(cliRunning(app), app.readAll().right(3000).constData());
    std::optional<Window> icon, shown;
    QTRY_VERIFY_WITH_TIMEOUT((icon = window(8, 56)).has_value(), kSlowMs);
    // Waiting for the window also keeps its opening from taking the focus off the menu later.
    QTRY_VERIFY_WITH_TIMEOUT((shown = window(400, 4000)).has_value(), kSlowMs);
    // The demo CLI's red and blue words: its colour escapes reached the view and were drawn.
    const QString shot = folders_->root() + u"/window.png"_s;
    const auto coloured = [&] {
        desktop_->tool("import", {"-window", shown->id, shot});
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

HALVANE_TEST_GUILESS_MAIN(TestEndToEnd)

#include "tst_e2e.moc"
