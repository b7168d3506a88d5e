#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

// A private X session: Xvfb on a display it picks, openbox owning the screen, and tint2's tray
// when asked for. It ends only what it started, by PID, when it goes.
class TestDesktop {
public:
    explicit TestDesktop(QProcessEnvironment env, bool tray = false)
        : env_(std::move(env)), tray_(tray) {
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "SESSION_MANAGER"})
            env_.remove(QString::fromLatin1(name));
    }
    TestDesktop(const TestDesktop&) = delete;
    ~TestDesktop() {
        for (QProcess* p : {&tint2_, &openbox_, &xvfb_})
            stop(*p);
    }

    static constexpr int kSlowMs = 30000; // a 2-core CI machine runs other builds meanwhile

    static bool installed(const char* program) {
        return !QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty();
    }
    static void stop(QProcess& process) {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(2000);
    }

    // Empty once up. Tried afresh: other suites' X servers come and go on this machine, and an
    // openbox can fail to take a new screen.
    QString start() {
        QString error;
        for (int attempt = 0; attempt < 3 && !(error = startOnce()).isEmpty(); ++attempt)
            ;
        return error.isEmpty() ? error : error + QStringLiteral(" (run scripts/setup)");
    }
    // The X server's process, for a test that takes the display away.
    qint64 serverPid() const { return xvfb_.processId(); }
    // The desktop's environment, DISPLAY included once started.
    QProcessEnvironment& environment() { return env_; }
    // Runs a program on the desktop and returns its standard output.
    QString tool(const char* program, const QStringList& arguments) const {
        QProcess process;
        process.setProcessEnvironment(env_);
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(QString::fromLatin1(program), arguments);
        if (!process.waitForFinished(10000))
            process.kill();
        process.waitForFinished(2000);
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }
    // The shown windows of that process, as decimal X window ids: mapped, so neither minimized
    // nor closed, and none of its popups, tray icons or unmapped helper windows.
    QStringList windowsOf(qint64 pid) const {
        return tool("xdotool", {"search", "--all", "--onlyvisible", "--pid", QString::number(pid)})
            .split(u'\n', Qt::SkipEmptyParts);
    }
    // Of those, the top-level windows of that title the window manager has taken on as its
    // clients: only these can it focus, minimize or close.
    QStringList managedWindows(qint64 pid, const QString& title) const {
        static const QRegularExpression client(
            QStringLiteral(R"(^0x([0-9a-f]+) +-?\d+ +(\d+) +\S+ (.*)$)"),
            QRegularExpression::MultilineOption);
        const QStringList shown = windowsOf(pid);
        QStringList managed;
        for (const QRegularExpressionMatch& m : client.globalMatch(tool("wmctrl", {"-lp"}))) {
            const QString id = QString::number(m.captured(1).toULongLong(nullptr, 16));
            if (m.captured(2).toLongLong() == pid && m.captured(3) == title && shown.contains(id))
                managed.append(id);
        }
        return managed;
    }
    // Whether the window manager has given that window the focus.
    bool isActive(const QString& id) const {
        return !id.isEmpty() && tool("xprop", {"-root", "_NET_ACTIVE_WINDOW"})
                                        .section(u'#', 1)
                                        .trimmed()
                                        .toULongLong(nullptr, 0) == id.toULongLong();
    }
    // Asks the window manager to close that window, as its title bar's close button does:
    // whatever has the keyboard focus.
    void close(const QString& id) const {
        tool("wmctrl", {"-i", "-c", QStringLiteral("0x") + QString::number(id.toULongLong(), 16)});
    }

private:
    QString startOnce() {
        for (QProcess* p : {&tint2_, &openbox_, &xvfb_})
            stop(*p);
        env_.remove(QStringLiteral("DISPLAY"));
        xvfb_.setProcessEnvironment(env_);
        xvfb_.setStandardInputFile(QProcess::nullDevice());
        xvfb_.start(QStringLiteral("Xvfb"),
                    {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
        if (!QTest::qWaitFor([&] { return xvfb_.canReadLine(); }, kSlowMs))
            return QStringLiteral("Xvfb reported no display: ") +
                   QString::fromLocal8Bit(xvfb_.readAllStandardError());
        env_.insert(QStringLiteral("DISPLAY"),
                    QLatin1Char(':') + QString::fromLatin1(xvfb_.readLine().trimmed()));
        for (QProcess* p : {&openbox_, &tint2_}) {
            p->setProcessEnvironment(env_);
            p->setProcessChannelMode(QProcess::MergedChannels);
            p->setStandardInputFile(QProcess::nullDevice());
        }
        openbox_.start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
        if (tray_)
            tint2_.start(QStringLiteral("tint2"), {});
        // Windows mapped before openbox owns the screen would never be managed.
        QByteArray said;
        const auto up = [&] {
            return (!tray_ || (said += tint2_.readAll()).contains("systray started")) &&
                   tool("xprop", {"-root", "_NET_SUPPORTING_WM_CHECK"}).contains(u"window id");
        };
        if (!QTest::qWaitFor([&] { return openbox_.state() == QProcess::NotRunning || up(); },
                             kSlowMs) ||
            openbox_.state() == QProcess::NotRunning)
            return QStringLiteral("the desktop did not come up: ") +
                   QString::fromLocal8Bit(openbox_.readAll() + said);
        return {};
    }

    QProcessEnvironment env_;
    const bool tray_;
    QProcess xvfb_, openbox_, tint2_;
};
