// The real application in a real X session: Xvfb, openbox and the tint2 tray, driven with
// xdotool, against an HTTPS download server in this process. Each case has its own display,
// HOME, XDG folders and sweep pattern, and ends only the processes it started.
#include "DownloadServer.h"
#include "TestEnvironment.h"
#include "VantrelManager.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <optional>

#include <csignal>
#include <sys/stat.h>

namespace {

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// /proc/<pid>/stat: state, parent and process group, or nothing once the process is gone.
struct ProcStat {
    char state = '?';
    qint64 ppid = 0;
    qint64 pgrp = 0;
};
std::optional<ProcStat> procStat(qint64 pid) {
    const QByteArray text = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() < 3)
        return std::nullopt;
    return ProcStat{fields[0].isEmpty() ? '?' : fields[0][0], fields[1].toLongLong(),
                    fields[2].toLongLong()};
}
bool alive(qint64 pid) {
    const auto stat = procStat(pid);
    return stat && stat->state != 'Z';
}
QList<qint64> allPids() {
    QList<qint64> pids;
    const auto entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString& entry : entries) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok)
            pids.append(pid);
    }
    return pids;
}
// Live members of a process group; zombies are dead even while nobody reaps them.
QList<qint64> groupMembers(qint64 pgrp) {
    QList<qint64> members;
    for (qint64 pid : allPids()) {
        const auto stat = procStat(pid);
        if (stat && stat->pgrp == pgrp && stat->state != 'Z')
            members.append(pid);
    }
    return members;
}

// Runs a short X tool to its end; these answer in milliseconds.
QString runTool(const QString& display, const QString& program, const QStringList& arguments,
                int* exitCode = nullptr) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), display);
    process.setProcessEnvironment(environment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(1000);
    }
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return QString::fromUtf8(process.readAllStandardOutput());
}

// Stops a process this test started: SIGTERM, then SIGKILL if it does not go.
void stop(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(2000);
    }
}

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    QPoint centre() const { return {x + width / 2, y + height / 2}; }
};

// One case's world: its folders, its X session and the application runs it starts.
class Session {
public:
    explicit Session(const QString& baseUrl, const QString& caCerts) {
        root_.setAutoRemove(true);
        home_ = root_.path() + QStringLiteral("/home");
        environment_ = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY",
                                 "SESSION_MANAGER", "QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME"})
            environment_.remove(QString::fromLatin1(name));
        QDir().mkpath(home_);
        set(QStringLiteral("HOME"), home_);
        const std::pair<const char*, const char*> xdg[] = {{"XDG_CONFIG_HOME", ".config"},
                                                           {"XDG_STATE_HOME", ".local/state"},
                                                           {"XDG_DATA_HOME", ".local/share"},
                                                           {"XDG_CACHE_HOME", ".cache"}};
        for (const auto& [name, sub] : xdg) {
            const QString path = home_ + QLatin1Char('/') + QLatin1String(sub);
            QDir().mkpath(path);
            set(QString::fromLatin1(name), path);
        }
        const QString runtime = root_.path() + QStringLiteral("/runtime");
        QDir().mkpath(runtime);
        ::chmod(QFile::encodeName(runtime).constData(), 0700);
        set(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        set(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        set(QStringLiteral("HALVANE_BASE_URL"), baseUrl);
        set(QStringLiteral("HALVANE_CA_CERTS"), caCerts);
        // Only this case's CLI carries its install path, so the sweep can reach nothing else.
        set(QStringLiteral("HALVANE_SWEEP_PATTERN"), cliPath());
        set(QStringLiteral("HALVANE_STALL_TIMEOUT_MS"), QStringLiteral("1500"));
    }
    ~Session() {
        for (auto& app : apps_)
            stop(*app);
        // Whatever of the application's CLI outlived it is ours to end, by its group.
        for (qint64 group : std::as_const(cliGroups_))
            if (!groupMembers(group).isEmpty())
                ::kill(pid_t(-group), SIGKILL);
        stop(tint2_);
        stop(openbox_);
        stop(xvfb_);
    }

    QString home() const { return home_; }
    QString cliPath() const { return home_ + QStringLiteral("/.vantrel/bin/vantrel"); }
    QString cliLog() const { return home_ + QStringLiteral("/.local/state/halvane/cli.log"); }
    QString display() const { return display_; }
    QString file(const QString& name) const { return root_.path() + QLatin1Char('/') + name; }

    // Xvfb on a free display, openbox, and (when asked) tint2 with its tray up.
    bool startDesktop(bool withTray, QString* error) {
        if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty()) {
            *error = QStringLiteral("Xvfb is not installed");
            return false;
        }
        // -displayfd 1: the free display number Xvfb picked arrives once it accepts clients.
        xvfb_.setProcessEnvironment(environment_);
        xvfb_.start(QStringLiteral("Xvfb"),
                    {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                     QStringLiteral("0"), QStringLiteral("1280x800x24"),
                     QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QElapsedTimer timer;
        timer.start();
        QByteArray number;
        while (!number.contains('\n') && timer.elapsed() < 15000 &&
               xvfb_.state() != QProcess::NotRunning) {
            xvfb_.waitForReadyRead(200);
            number += xvfb_.readAllStandardOutput();
        }
        if (!number.contains('\n')) {
            *error = QStringLiteral("Xvfb did not start: ") +
                     QString::fromLocal8Bit(xvfb_.readAllStandardError()).trimmed();
            return false;
        }
        display_ = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
        set(QStringLiteral("DISPLAY"), display_);

        openbox_.setProcessEnvironment(environment_);
        openbox_.setProcessChannelMode(QProcess::MergedChannels);
        openbox_.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        if (!openbox_.waitForStarted(5000)) {
            *error = QStringLiteral("openbox did not start: ") + openbox_.errorString();
            return false;
        }
        // Other windows are only managed once openbox owns the screen.
        if (!waitFor([&] {
                return runTool(
                           display_, QStringLiteral("xprop"),
                           {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
                    .contains(QLatin1String("window id"));
            })) {
            *error = QStringLiteral("openbox did not take the screen (%1): %2")
                         .arg(openbox_.state() == QProcess::Running ? "running" : "exited",
                              QString::fromLocal8Bit(openbox_.readAll()));
            return false;
        }
        if (!withTray)
            return true;
        tint2_.setProcessEnvironment(environment_);
        tint2_.setProcessChannelMode(QProcess::MergedChannels);
        tint2_.start(QStringLiteral("tint2"), {});
        QByteArray said;
        const bool up = waitFor([&] {
            said += tint2_.readAll();
            return said.contains("systray started");
        });
        if (!up)
            *error =
                QStringLiteral("tint2 did not start its tray: ") + QString::fromLocal8Bit(said);
        return up;
    }

    // Starts build/bin/halvane; its console is kept for the checks.
    QProcess& launch() {
        auto app = std::make_unique<QProcess>();
        app->setProcessEnvironment(environment_);
        app->setProcessChannelMode(QProcess::MergedChannels);
        app->setStandardInputFile(QProcess::nullDevice());
        app->start(QStringLiteral(HALVANE_APP_BINARY), {});
        apps_.push_back(std::move(app));
        return *apps_.back();
    }
    QString console(QProcess& app) {
        consoles_[&app] += QString::fromUtf8(app.readAll());
        return consoles_[&app];
    }

    // The process groups the application leads its CLI in: its children that lead a group.
    QList<qint64> cliGroupsOf(const QProcess& app) {
        QList<qint64> groups;
        const qint64 appPid = app.processId();
        for (qint64 pid : allPids()) {
            const auto stat = procStat(pid);
            if (stat && stat->ppid == appPid && stat->pgrp == pid && stat->state != 'Z') {
                groups.append(pid);
                if (!cliGroups_.contains(pid))
                    cliGroups_.append(pid);
            }
        }
        return groups;
    }

    // The application's tray icon, once tint2 has embedded it.
    std::optional<Geometry> trayIcon() const {
        const QString tree = runTool(display_, QStringLiteral("xwininfo"),
                                     {QStringLiteral("-root"), QStringLiteral("-tree")});
        int tint2Depth = -1;
        static const QRegularExpression geometry(
            QStringLiteral(R"((\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$)"));
        for (const QString& line : tree.split(QLatin1Char('\n'))) {
            const int depth = int(line.size() - line.trimmed().size());
            if (line.contains(QLatin1String("(\"tint2\" \"Tint2\")"))) {
                tint2Depth = depth;
                continue;
            }
            if (tint2Depth < 0 || line.trimmed().isEmpty())
                continue;
            if (depth <= tint2Depth && line.contains(QLatin1String("0x"))) {
                tint2Depth = -1;
                continue;
            }
            if (line.contains(QLatin1String("(\"halvane\" \"halvane\")"))) {
                const auto match = geometry.match(line);
                if (match.hasMatch())
                    return Geometry{match.captured(3).toInt(), match.captured(4).toInt(),
                                    match.captured(1).toInt(), match.captured(2).toInt()};
            }
        }
        return std::nullopt;
    }

    // Visible top-level windows titled "Vantrel Halvane", with their size.
    QList<std::pair<QString, Geometry>> windows() const {
        QList<std::pair<QString, Geometry>> found;
        const QString ids =
            runTool(display_, QStringLiteral("xdotool"),
                    {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                     QStringLiteral("--name"), QStringLiteral("^Vantrel Halvane$")});
        for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const Geometry geometry = geometryOf(id.trimmed());
            // The tray icon carries the same name; the window is the big one.
            if (geometry.width >= 300)
                found.append({id.trimmed(), geometry});
        }
        return found;
    }

    void xdotool(const QStringList& arguments) const {
        runTool(display_, QStringLiteral("xdotool"), arguments);
    }
    void click(const QPoint& at, int button) const {
        xdotool({QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                 QStringLiteral("click"), QString::number(button)});
    }
    // Closes a window as its close button would: the window manager asks it to close.
    void closeWindow(const QString& id) const {
        xdotool({QStringLiteral("windowactivate"), QStringLiteral("--sync"), id,
                 QStringLiteral("key"), QStringLiteral("alt+F4")});
    }
    // Right-clicks the tray icon until its menu is up, then clicks its last entry, Quit.
    bool quitFromTrayMenu(const Geometry& icon) const {
        for (int attempt = 0; attempt < 3; ++attempt) {
            click(icon.centre(), 3);
            std::optional<Geometry> menu;
            if (waitFor([&] { return bool(menu = shownMenu()); }, 3000)) {
                // The popup is mapped before it takes the pointer; a moment lets it settle.
                QTest::qWait(300);
                if (!shownMenu())
                    continue;
                click({menu->x + menu->width / 2, menu->y + menu->height - 12}, 1);
                return true;
            }
        }
        return false;
    }
    // A popup of the application's that is neither its tray icon nor its window.
    std::optional<Geometry> shownMenu() const {
        const QString ids = runTool(display_, QStringLiteral("xdotool"),
                                    {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                                     QStringLiteral("--class"), QStringLiteral("halvane")});
        for (const QString& id : ids.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const Geometry geometry = geometryOf(id.trimmed());
            if (geometry.width > 60 && geometry.width < 400 && geometry.height > 40 &&
                geometry.height < 400)
                return geometry;
        }
        return std::nullopt;
    }
    Geometry geometryOf(const QString& id) const {
        const QString info =
            runTool(display_, QStringLiteral("xwininfo"), {QStringLiteral("-id"), id});
        auto field = [&](const char* name) {
            const QRegularExpression re(QString::fromLatin1(name) +
                                        QStringLiteral(R"(:\s*(-?\d+))"));
            return re.match(info).captured(1).toInt();
        };
        return {field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"),
                field("Height")};
    }

    template <typename Predicate> static bool waitFor(Predicate predicate, int ms = 15000) {
        QElapsedTimer timer;
        timer.start();
        while (!predicate()) {
            if (timer.elapsed() > ms)
                return false;
            QTest::qWait(100);
        }
        return true;
    }

private:
    void set(const QString& name, const QString& value) { environment_.insert(name, value); }

    QTemporaryDir root_{QDir::tempPath() + QStringLiteral("/halvane-e2e-XXXXXX")};
    QString home_, display_;
    QProcessEnvironment environment_;
    QProcess xvfb_, openbox_, tint2_;
    std::vector<std::unique_ptr<QProcess>> apps_;
    QHash<const QProcess*, QString> consoles_;
    QList<qint64> cliGroups_;
};

// A CLI that ignores SIGTERM and leaves a grandchild behind in its group.
QByteArray stubbornCli(const QString& grandchildPidFile) {
    return QStringLiteral("#!/bin/sh\n"
                          "trap '' TERM\n"
                          "sleep 300 &\n"
                          "echo $! > '%1'\n"
                          "echo 'stubborn CLI up'\n"
                          "while :; do sleep 0.2; done\n")
        .arg(grandchildPidFile)
        .toUtf8();
}

// The share of black pixels and the counts of the demo CLI's red, yellow and blue glyphs.
struct Colours {
    qint64 total = 0, black = 0, red = 0, yellow = 0, blue = 0;
};
Colours coloursOf(const QImage& image) {
    Colours c;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            const int r = qRed(p), g = qGreen(p), b = qBlue(p);
            ++c.total;
            c.black += r < 30 && g < 30 && b < 30;
            c.red += r > 150 && g < 100;
            c.yellow += r > 150 && g > 150 && b < 100;
            c.blue += b > 150 && r < 100;
        }
    return c;
}

} // namespace

class TestEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void trayIconAndColouredWindowAtLaunch();
    void closingTheWindowKeepsTheCliAndTheTrayReopensIt();
    void quitFromTheTrayMenuStopsTheCliFirst();
    void cliIgnoringTermAndItsGrandchildAreGoneAfterQuit();
    void killedApplicationsCliIsSweptByTheNextLaunch();
    void secondLaunchShowsTheFirstWindowAndExits();
    void withoutATrayClosingTheWindowQuits();
    void failedDownloadStartsTheInstalledCli_data();
    void failedDownloadStartsTheInstalledCli();

private:
    // Starts the desktop and the application, and waits for the CLI's first lines.
    // Null when it could not (the test has been failed or skipped then).
    QProcess* launchAndWaitForCli(bool withTray = true);
    std::optional<Geometry> waitForTrayIcon();
    std::optional<std::pair<QString, Geometry>> waitForWindow();

    QTemporaryDir pkiDir_;
    std::optional<TestPki> pki_;
    std::unique_ptr<DownloadServer> server_;
    std::unique_ptr<Session> session_;
};

void TestEndToEnd::initTestCase() {
    for (const char* tool : {"openbox", "tint2", "xdotool", "xwininfo", "xprop", "import"})
        QVERIFY2(!QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty(),
                 qPrintable(QStringLiteral("%1 is missing: run scripts/setup").arg(tool)));
    QString error;
    pki_ = TestPki::create(pkiDir_.path(), &error);
    QVERIFY2(pki_, qPrintable(error));
}

void TestEndToEnd::init() {
    server_ = std::make_unique<DownloadServer>(pki_->serverConfiguration());
    server_->setAssetFile(VantrelManager::assetName(), QStringLiteral(HALVANE_DEMO_CLI));
    QVERIFY(server_->listen());
    session_ = std::make_unique<Session>(server_->baseUrl(), pki_->caCert);
}

void TestEndToEnd::cleanup() {
    session_.reset();
    server_.reset();
}

QProcess* TestEndToEnd::launchAndWaitForCli(bool withTray) {
    QString error;
    if (!session_->startDesktop(withTray, &error)) {
        if (error.startsWith(QLatin1String("Xvfb")))
            QTest::qSkip(
                qPrintable(QStringLiteral("no X server for the end-to-end tests: ") + error),
                __FILE__, __LINE__);
        else
            QTest::qFail(qPrintable(error), __FILE__, __LINE__);
        return nullptr;
    }
    QProcess& app = session_->launch();
    const bool started = Session::waitFor([&] {
        return readFile(session_->cliLog()).contains("✅ CLI started successfully") &&
               !session_->cliGroupsOf(app).isEmpty();
    });
    if (!started) {
        QTest::qFail(qPrintable(QStringLiteral("the CLI did not start; console:\n") +
                                session_->console(app).right(3000)),
                     __FILE__, __LINE__);
        return nullptr;
    }
    return &app;
}

std::optional<Geometry> TestEndToEnd::waitForTrayIcon() {
    std::optional<Geometry> icon;
    Session::waitFor([&] { return bool(icon = session_->trayIcon()); });
    return icon;
}

std::optional<std::pair<QString, Geometry>> TestEndToEnd::waitForWindow() {
    QList<std::pair<QString, Geometry>> shown;
    if (!Session::waitFor([&] { return !(shown = session_->windows()).isEmpty(); }))
        return std::nullopt;
    return shown.first();
}

// The launch as a user sees it: the icon in the tray, the window with the CLI's colours.
void TestEndToEnd::trayIconAndColouredWindowAtLaunch() {
    QProcess* app_ = launchAndWaitForCli();
    if (!app_)
        return;
    QProcess& app = *app_;
    QVERIFY2(waitForTrayIcon(), "the tray icon was never embedded in tint2");
    const auto window = waitForWindow();
    QVERIFY2(window, "the window was never mapped");
    QCOMPARE(window->second.width, 800);
    QCOMPARE(window->second.height, 600);
    QVERIFY(!session_->console(app).contains(QLatin1String("No system tray found")));

    // The demo CLI's colour line comes right after its start; give the view a moment to paint.
    QVERIFY(Session::waitFor([&] { return readFile(session_->cliLog()).contains("magenta"); }));
    const QString shot = session_->file(QStringLiteral("window.png"));
    Colours colours;
    QVERIFY2(Session::waitFor(
                 [&] {
                     runTool(session_->display(), QStringLiteral("import"),
                             {QStringLiteral("-window"), window->first, shot});
                     colours = coloursOf(QImage(shot));
                     return colours.red > 20 && colours.yellow > 20 && colours.blue > 20;
                 },
                 8000),
             qPrintable(QStringLiteral("no coloured CLI text in the window: red %1, yellow %2, "
                                       "blue %3 of %4 pixels")
                            .arg(colours.red)
                            .arg(colours.yellow)
                            .arg(colours.blue)
                            .arg(colours.total)));
    QVERIFY2(colours.black * 2 > colours.total, "the window is not mostly black");
}

void TestEndToEnd::closingTheWindowKeepsTheCliAndTheTrayReopensIt() {
    QProcess* app_ = launchAndWaitForCli();
    if (!app_)
        return;
    QProcess& app = *app_;
    const auto icon = waitForTrayIcon();
    QVERIFY(icon);
    const auto window = waitForWindow();
    QVERIFY(window);
    const QList<qint64> groups = session_->cliGroupsOf(app);

    session_->closeWindow(window->first);
    QVERIFY2(Session::waitFor([&] { return session_->windows().isEmpty(); }),
             "the window did not close");
    QTest::qWait(500);
    QCOMPARE(app.state(), QProcess::Running);
    QCOMPARE(session_->cliGroupsOf(app), groups);

    session_->click(icon->centre(), 1);
    const auto reopened = waitForWindow();
    QVERIFY2(reopened, "activating the tray icon did not show the window");
    QVERIFY(reopened->first != window->first);
    QCOMPARE(reopened->second.width, 800);
}

void TestEndToEnd::quitFromTheTrayMenuStopsTheCliFirst() {
    QProcess* app_ = launchAndWaitForCli();
    if (!app_)
        return;
    QProcess& app = *app_;
    const auto icon = waitForTrayIcon();
    QVERIFY(icon);
    // The window opening half a second in takes the focus and would close an earlier menu.
    QVERIFY(waitForWindow());
    const QList<qint64> groups = session_->cliGroupsOf(app);
    QVERIFY(!groups.isEmpty());

    QVERIFY2(session_->quitFromTrayMenu(*icon), "the tray menu did not open");
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 10000);
    QCOMPARE(app.exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.exitCode(), 0);
    for (qint64 group : groups)
        QVERIFY2(groupMembers(group).isEmpty(), "the CLI's process group outlived the application");
    const QString console = session_->console(app);
    const qsizetype cliGone = console.indexOf(QStringLiteral("✅ CLI process cleanup completed"));
    const qsizetype appDone =
        console.indexOf(QStringLiteral("🛑 App termination cleanup completed"));
    QVERIFY2(appDone > 0, qPrintable(console.right(2000)));
    QVERIFY2(cliGone >= 0 && cliGone < appDone, qPrintable(console.right(2000)));
}

void TestEndToEnd::cliIgnoringTermAndItsGrandchildAreGoneAfterQuit() {
    const QString grandchildFile = session_->file(QStringLiteral("grandchild.pid"));
    server_->setAsset(VantrelManager::assetName(), stubbornCli(grandchildFile));
    QProcess* app_ = launchAndWaitForCli();
    if (!app_)
        return;
    QProcess& app = *app_;
    QVERIFY(Session::waitFor([&] { return !readFile(grandchildFile).trimmed().isEmpty(); }));
    const qint64 grandchild = readFile(grandchildFile).trimmed().toLongLong();
    QVERIFY(alive(grandchild));
    const QList<qint64> groups = session_->cliGroupsOf(app);
    const auto icon = waitForTrayIcon();
    QVERIFY(icon);
    QVERIFY(waitForWindow());

    QElapsedTimer timer;
    timer.start();
    QVERIFY2(session_->quitFromTrayMenu(*icon), "the tray menu did not open");
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 10000);
    QCOMPARE(app.exitCode(), 0);
    QVERIFY(!alive(grandchild));
    for (qint64 group : groups)
        QVERIFY(groupMembers(group).isEmpty());
    // About 2 s of grace, then the group is killed; the menu itself takes half a second.
    QVERIFY2(timer.elapsed() < 6000, qPrintable(QString::number(timer.elapsed())));
}

void TestEndToEnd::killedApplicationsCliIsSweptByTheNextLaunch() {
    QProcess* first_ = launchAndWaitForCli();
    if (!first_)
        return;
    QProcess& first = *first_;
    const QList<qint64> oldGroups = session_->cliGroupsOf(first);
    QVERIFY(!oldGroups.isEmpty());
    QList<qint64> oldMembers;
    for (qint64 group : oldGroups)
        oldMembers += groupMembers(group);

    first.kill();
    QVERIFY(first.waitForFinished(5000));
    QTest::qWait(300);
    for (qint64 pid : std::as_const(oldMembers))
        QVERIFY2(alive(pid), "the CLI died with the killed application");

    QProcess& second = session_->launch();
    QVERIFY2(Session::waitFor([&] {
                 for (qint64 pid : std::as_const(oldMembers))
                     if (alive(pid))
                         return false;
                 return true;
             }),
             qPrintable(session_->console(second).right(2000)));
    QVERIFY2(Session::waitFor([&] { return !session_->cliGroupsOf(second).isEmpty(); }),
             qPrintable(session_->console(second).right(2000)));
    const QString console = session_->console(second);
    QVERIFY2(console.contains(QStringLiteral("✅ All existing vantrel processes terminated")),
             qPrintable(console));
}

void TestEndToEnd::secondLaunchShowsTheFirstWindowAndExits() {
    QProcess* first_ = launchAndWaitForCli();
    if (!first_)
        return;
    QProcess& first = *first_;
    const auto window = waitForWindow();
    QVERIFY(window);
    const QList<qint64> groups = session_->cliGroupsOf(first);
    session_->closeWindow(window->first);
    QVERIFY(Session::waitFor([&] { return session_->windows().isEmpty(); }));

    QProcess& second = session_->launch();
    QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 10000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(session_->console(second).contains(QLatin1String("already running")),
             qPrintable(session_->console(second)));
    QVERIFY2(waitForWindow(), "the first instance did not show its window");
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(session_->cliGroupsOf(first), groups);
    for (qint64 group : groups)
        QVERIFY(!groupMembers(group).isEmpty());
}

void TestEndToEnd::withoutATrayClosingTheWindowQuits() {
    QProcess* app_ = launchAndWaitForCli(false);
    if (!app_)
        return;
    QProcess& app = *app_;
    const auto window = waitForWindow();
    QVERIFY(window);
    QVERIFY(session_->console(app).contains(QLatin1String("No system tray found")));
    const QList<qint64> groups = session_->cliGroupsOf(app);

    session_->closeWindow(window->first);
    QTRY_COMPARE_WITH_TIMEOUT(app.state(), QProcess::NotRunning, 10000);
    QCOMPARE(app.exitCode(), 0);
    for (qint64 group : groups)
        QVERIFY(groupMembers(group).isEmpty());
    QVERIFY(
        session_->console(app).contains(QStringLiteral("🛑 App termination cleanup completed")));
}

void TestEndToEnd::failedDownloadStartsTheInstalledCli_data() {
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("parameter");
    QTest::newRow("404") << int(DownloadServer::Mode::Status) << 404;
    QTest::newRow("stall") << int(DownloadServer::Mode::Stall) << 64;
    QTest::newRow("dropped connection") << int(DownloadServer::Mode::CutOff) << 64;
}

void TestEndToEnd::failedDownloadStartsTheInstalledCli() {
    QFETCH(int, mode);
    QFETCH(int, parameter);
    QVERIFY(QDir().mkpath(QFileInfo(session_->cliPath()).path()));
    QVERIFY(QFile::copy(QStringLiteral(HALVANE_DEMO_CLI), session_->cliPath()));
    QVERIFY(QFile::setPermissions(session_->cliPath(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QByteArray installed = readFile(session_->cliPath());
    server_->setAsset(VantrelManager::assetName(),
                      QByteArray("#!/bin/sh\necho new build\n") + QByteArray(4096, '#'));
    server_->setMode(DownloadServer::Mode(mode), parameter);

    QProcess* app_ = launchAndWaitForCli();
    if (!app_)
        return;
    QProcess& app = *app_;
    QVERIFY(waitForWindow());
    const QByteArray log = readFile(session_->cliLog());
    QVERIFY2(log.contains("❌ Download error"), log.right(2000).constData());
    QVERIFY2(log.contains("⚠️ Starting the installed CLI instead"),
             log.right(2000).constData());
    QVERIFY(Session::waitFor([&] { return readFile(session_->cliLog()).contains("demo CLI"); }));
    QCOMPARE(readFile(session_->cliPath()), installed);
    QVERIFY(QDir(QFileInfo(session_->cliPath()).path()).entryList(QDir::Files).size() == 1);
    QCOMPARE(app.state(), QProcess::Running);
}

HALVANE_TEST_GUILESS_MAIN(TestEndToEnd)

#include "tst_e2e.moc"
