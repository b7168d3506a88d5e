#pragma once

#include <QProcess>
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
