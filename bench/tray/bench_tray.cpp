// The application left alone: the real binary in Xvfb with tint2's tray, its CLI running and
// silent, measured over 30 s beside a minimal Qt program that only shows a tray icon (this
// executable run with --minimal-tray) in the same desktop. Wakeups are context switches of all
// threads; the table goes to standard error.
#include "BenchSupport.h"
#include "TestEnvironment.h"
#include "TestHttps.h"
#include "VantrelManager.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QPixmap>
#include <QProcess>
#include <QSettings>
#include <QSystemTrayIcon>

#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// Past the start-up's one-time work: the new build's 10 s trial passing and the last one-shot
// timers, about 30 s after start. Idle is what follows.
constexpr int kSettleMs = 40000;
constexpr int kWindowMs = 30000;

struct Sample {
    QHash<QString, double> switches; // per thread, so threads that come and go do not count
    double cpuMs = 0, rssMiB = 0;
};

// Context switches of every thread, CPU time and resident memory of one process.
Sample sample(qint64 pid) {
    Sample s;
    const QString task = u"/proc/%1/task"_s.arg(pid);
    for (const QString& tid : QDir(task).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(task + u'/' + tid + u"/status"_s);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& line : file.readAll().split('\n'))
            if (line.contains("ctxt_switches:"))
                s.switches[tid] += line.split(':').value(1).trimmed().toDouble();
    }
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> f = text.mid(text.lastIndexOf(')') + 2).split(' ');
        s.cpuMs = (f.value(11).toDouble() + f.value(12).toDouble()) * 1000.0 / sysconf(_SC_CLK_TCK);
    }
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                s.rssMiB = line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    return s;
}

struct Idle {
    double wakeups = 0, cpuMs = 0, rssMiB = 0;
};

// Lets the process settle, then measures it over the window: per-second wakeups, CPU ms, RSS.
Idle idle(QProcess& process) {
    spinUntil([] { return false; }, kSettleMs);
    const Sample start = sample(process.processId());
    spinUntil([] { return false; }, kWindowMs);
    const Sample end = sample(process.processId());
    double switches = 0;
    for (auto it = end.switches.begin(); it != end.switches.end(); ++it)
        switches += it.value() - start.switches.value(it.key());
    return {switches * 1000.0 / kWindowMs, end.cpuMs - start.cpuMs, end.rssMiB};
}

void row(const char* name, double value, const char* unit, double reference,
         const char* against = "minimal Qt tray program") {
    std::fprintf(stderr, "| %s | %.2f %s | %s | %.2f %s | %.2f |\n", name, value, unit, against,
                 reference, unit, reference > 0 ? value / reference : 0.0);
}

int minimalTray(int argc, char** argv) {
    QApplication app(argc, argv);
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::green);
    QSystemTrayIcon icon{QIcon(pixmap)};
    icon.show();
    return QApplication::exec();
}
} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && qstrcmp(argv[1], "--minimal-tray") == 0)
        return minimalTray(argc, argv);
    TestEnvironment environment;
    QCoreApplication app(argc, argv);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
    env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=%1/no-bus"_s.arg(environment.root()));
    QProcess xvfb, tint2, reference, halvane;
    xvfb.start(u"Xvfb"_s, {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    if (!spinUntil([&] { return xvfb.canReadLine(); }, 30000))
        return std::fprintf(stderr, "| idle | Xvfb did not start | | | |\n"), 1;
    env.insert(u"DISPLAY"_s, u":"_s + QString::fromUtf8(xvfb.readLine()).trimmed());
    for (QProcess* p : {&reference, &halvane}) {
        p->setProcessEnvironment(env);
        p->setStandardOutputFile(QProcess::nullDevice());
        p->setStandardErrorFile(QProcess::nullDevice());
    }
    tint2.setProcessEnvironment(env);
    tint2.setProcessChannelMode(QProcess::MergedChannels);
    tint2.start(u"tint2"_s, {});
    // Without a window manager tint2 can take a good while to take the tray selection.
    QByteArray said;
    if (!spinUntil([&] { return (said += tint2.readAll()).contains("systray started"); }, 60000))
        return std::fprintf(stderr, "| idle | tint2's tray did not start | | | |\n"), 1;

    reference.start(QCoreApplication::applicationFilePath(), {"--minimal-tray"});
    const Idle ref = idle(reference);

    TestHttps https;
    https.serve("#!/bin/sh\nexec sleep 100000\n"); // a CLI that says nothing
    env.insert(u"HALVANE_BASE_URL"_s, https.baseUrl());
    env.insert(u"HALVANE_CA_CERTS"_s, TestHttps::pki()->caCert);
    env.insert(u"HALVANE_SWEEP_ROOT"_s, environment.home() + u"/.vantrel/bin/vantrel"_s);
    halvane.setProcessEnvironment(env);
    halvane.start(QStringLiteral(HALVANE_APP_BINARY), {});
    const Idle ours = idle(halvane);

    row("idle wakeups, quiet CLI, tray present", ours.wakeups, "/s", ref.wakeups);
    row("idle CPU time over 30 s", ours.cpuMs, "ms", ref.cpuMs);
    row("idle RSS", ours.rssMiB, "MiB", ref.rssMiB);

    // Once more with the periodic check for new builds off: its timer must cost nothing.
    halvane.terminate();
    halvane.waitForFinished(30000);
    QSettings(environment.home() + u"/.config/Halvane/halvane.conf"_s, QSettings::IniFormat)
        .setValue(u"checkForUpdatesMinutes"_s, 0);
    halvane.start(QStringLiteral(HALVANE_APP_BINARY), {});
    const Idle off = idle(halvane);
    const char* checkOff = "the same with the periodic check off";
    row("idle wakeups, periodic check every 6 h", ours.wakeups, "/s", off.wakeups, checkOff);
    row("idle RSS, periodic check every 6 h", ours.rssMiB, "MiB", off.rssMiB, checkOff);
    for (QProcess* p : {&halvane, &reference, &tint2, &xvfb}) {
        p->terminate();
        p->waitForFinished(10000);
    }
    return 0;
}
