// The real application in a real X session (Xvfb, openbox, the tint2 tray, driven with xdotool)
// against this process's HTTPS server: the journey only a real desktop shows; the rest is held
// by the unit and application-process suites. Each case has its own display, HOME, XDG folders and
// sweep pattern.
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "VantrelManager.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

#include <memory>
#include <optional>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

constexpr int kSlowMs = 30000; // generous: a 2-core CI machine runs other builds meanwhile

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void stop(QProcess& process) {
    process.terminate();
    if (!process.waitForFinished(5000))
        process.kill();
    process.waitForFinished(2000);
}

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
    // Xvfb on a display it picks, openbox owning the screen, tint2's tray up.
    QString startDesktop() {
        xvfb_.setProcessEnvironment(env_);
        xvfb_.start(u"Xvfb"_s,
                    {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        QByteArray number;
        if (!QTest::qWaitFor(
                [&] { return (number += xvfb_.readAllStandardOutput()).contains('\n'); }, kSlowMs))
            return u"Xvfb reported no display: "_s + QString::fromLocal8Bit(xvfb_.readAll());
        env_.insert(u"DISPLAY"_s, u":"_s + QString::fromLatin1(number.trimmed()));
        for (QProcess* desktop : {&openbox_, &tint2_}) {
            desktop->setProcessEnvironment(env_);
            desktop->setProcessChannelMode(QProcess::MergedChannels);
        }
        openbox_.start(u"openbox"_s, {"--sm-disable"});
        tint2_.start(u"tint2"_s, {});
        // Windows mapped before openbox owns the screen would never be managed; an openbox that
        // exits at once is left to the retry.
        QByteArray said;
        const auto up = [&] {
            return (said += tint2_.readAll()).contains("systray started") &&
                   tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains(u"window id"_s);
        };
        if (!QTest::qWaitFor([&] { return openbox_.state() == QProcess::NotRunning || up(); },
                             kSlowMs) ||
            openbox_.state() == QProcess::NotRunning)
            return u"the desktop did not come up: "_s +
                   QString::fromLocal8Bit(openbox_.readAll() + said);
        return {};
    }
    QProcess& launch() {
        QProcess& app = *apps_.emplace_back(std::make_unique<QProcess>());
        app.setProcessEnvironment(env_);
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
        const QString children = tool("pgrep", {"-P", QString::number(app.processId())});
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
        const QString said = tool("xdotool", {"search", "--onlyvisible", "--class", "halvane",
                                              "getwindowgeometry", "--shell", "%@"});
        for (const QRegularExpressionMatch& m : shell.globalMatch(said)) {
            const Window w{m.captured(1), m.captured(2).toInt(), m.captured(3).toInt()};
            if (qMin(w.width, w.height) >= minSide && qMax(w.width, w.height) <= maxSide)
                return w;
        }
        return std::nullopt;
    }
    // Right-clicks the icon until its menu is up, then clicks the last entry, Quit.
    bool quitFromTrayMenu(const Window& icon) const {
        const auto click = [this](const Window& w, int x, int y, int button) {
            tool("xdotool", {"mousemove", "--window", w.id, QString::number(x), QString::number(y),
                             "click", QString::number(button)});
        };
        for (int attempt = 0; attempt < 3; ++attempt) {
            click(icon, icon.width / 2, icon.height / 2, 3);
            // The popup is mapped before it grabs the pointer: let it settle, then look again.
            if (QTest::qWaitFor([&] { return window(41, 399).has_value(); }, 5000))
                QTest::qWait(300);
            if (const auto menu = window(41, 399)) {
                click(*menu, menu->width / 2, menu->height - 12, 1);
                return true;
            }
        }
        return false;
    }
    QString tool(const char* program, const QStringList& arguments) const {
        QProcess process;
        process.setProcessEnvironment(env_);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(QString::fromLatin1(program), arguments);
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(2000);
        return QString::fromUtf8(process.readAllStandardOutput());
    }

    std::unique_ptr<TestHttps> https_;
    std::unique_ptr<TestEnvironment> folders_;
    QProcessEnvironment env_;
    QProcess xvfb_, openbox_, tint2_;
    std::vector<std::unique_ptr<QProcess>> apps_;
    QList<qint64> cliGroups_;
};

void TestEndToEnd::initTestCase() {
    if (QStandardPaths::findExecutable(u"Xvfb"_s).isEmpty())
        QSKIP("Xvfb is not installed: no X server for the end-to-end tests");
}

void TestEndToEnd::init() {
    https_ = std::make_unique<TestHttps>();
    QVERIFY2(https_->error().isEmpty(), qPrintable(https_->error()));
    https_->setAssetFile(VantrelManager::assetName(), QStringLiteral(HALVANE_DEMO_CLI));
    folders_ = std::make_unique<TestEnvironment>(); // this case's HOME and XDG folders
    env_ = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "SESSION_MANAGER"})
        env_.remove(QString::fromLatin1(name));
    // No bus listens here: the tray falls back to XEmbed, and no bus of the user's is reached.
    env_.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=%1/no-bus"_s.arg(folders_->root()));
    env_.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    env_.insert(u"HALVANE_BASE_URL"_s, https_->baseUrl());
    env_.insert(u"HALVANE_CA_CERTS"_s, TestHttps::pki()->caCert);
    // Only this case's CLI carries its install path, so the sweep can reach nothing else.
    env_.insert(u"HALVANE_SWEEP_ROOT"_s, folders_->home() + u"/.vantrel/bin/vantrel"_s);
    QString error; // tried afresh: other suites' X servers come and go on this machine meanwhile

    for (int attempt = 0; attempt < 3 && !(error = startDesktop()).isEmpty(); ++attempt)
        cleanup();
    QVERIFY2(error.isEmpty(), qPrintable(error + u" (run scripts/setup)"_s));
}

// Ends only what this case started: the application, its CLI's groups, the desktop.
void TestEndToEnd::cleanup() {
    for (auto& app : apps_)
        stop(*app);
    apps_.clear();
    for (qint64 group : std::as_const(cliGroups_))
        if (groupAlive(group))
            ::kill(pid_t(-group), SIGKILL);
    cliGroups_.clear();
    for (QProcess* desktop : {&tint2_, &openbox_, &xvfb_})
        stop(*desktop);
}

void TestEndToEnd::firstLaunchInstallsRunsShowsColoursAndQuitsFromTheTray() {
    QProcess& app = launch();
    QVERIFY2(cliRunning(app), app.readAll().right(3000).constData());
    QCOMPARE(readFile(folders_->home() + u"/.vantrel/bin/vantrel"_s),
             readFile(QStringLiteral(HALVANE_DEMO_CLI)));
    std::optional<Window> icon, shown;
    QTRY_VERIFY_WITH_TIMEOUT((icon = window(8, 56)).has_value(), kSlowMs);
    // Waiting for the window also keeps its opening from taking the focus off the menu later.
    QTRY_VERIFY_WITH_TIMEOUT((shown = window(400, 4000)).has_value(), kSlowMs);
    // The demo CLI's red and blue words: its colour escapes reached the view and were drawn.
    const QString shot = folders_->root() + u"/window.png"_s;
    const auto coloured = [&] {
        tool("import", {"-window", shown->id, shot});
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

    QVERIFY2(quitFromTrayMenu(*icon), "the tray menu did not open");
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, kSlowMs);
    QVERIFY(app.exitStatus() == QProcess::NormalExit && app.exitCode() == 0);
    for (qint64 group : groups)
        QTRY_VERIFY2(!groupAlive(group), "the CLI's group outlived the application");
}

HALVANE_TEST_GUILESS_MAIN(TestEndToEnd)

#include "tst_e2e.moc"
