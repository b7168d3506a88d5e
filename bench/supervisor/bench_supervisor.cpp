// Supervisor figures beside references measured in the same run. Console lines of the code
// under test go to standard output (send it to /dev/null); the table goes to standard error.
#include "BenchSupport.h"
#include "DownloadServer.h"
#include "SupervisorSandbox.h"
#include "VantrelManager.h"
#include "install/CliInstaller.h"
#include "output/Console.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>

#include <sys/resource.h>
#include <unistd.h>

namespace {

void row(const char* name, double value, const char* unit, const char* reference,
         double referenceValue, double ratio) {
    std::fprintf(stderr, "| %s | %.2f %s | %s | %.2f %s | %.2f |\n", name, value, unit, reference,
                 referenceValue, unit, ratio);
    std::fflush(stderr);
}

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

double runShell(const QString& command) {
    QElapsedTimer timer;
    timer.start();
    QProcess::execute(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    return double(timer.nsecsElapsed()) / 1e9;
}

// The CLI writes `bytes` of 80-column lines; the same file through cat is the reference.
void throughput(qint64 bytes) {
    static const QByteArray endMarker = "end of the throughput run\n";
    SupervisorSandbox sandbox;
    const QString source = sandbox.path() + QStringLiteral("/lines");
    {
        QFile file(source);
        file.open(QIODevice::WriteOnly);
        QByteArray block;
        while (block.size() < 1024 * 1024)
            block += QByteArray(79, 'x') + '\n';
        block.truncate(1024 * 1024 / 80 * 80);
        for (qint64 written = 0; written < bytes; written += block.size())
            file.write(block.left(qMin<qint64>(block.size(), bytes - written)));
        file.write(endMarker);
    }
    const qint64 size = QFileInfo(source).size();
    // Best of three, so the reference runs from a warm page cache as the runner does.
    double catSeconds = 1e9;
    for (int i = 0; i < 3; ++i) {
        catSeconds =
            std::min(catSeconds,
                     runShell(QStringLiteral("cat '%1' > '%2/copy'").arg(source, sandbox.path())));
        QFile::remove(sandbox.path() + QStringLiteral("/copy"));
    }
    // The runner cannot beat a pipe: this reference shows what the pipe alone costs.
    double pipeSeconds = 1e9;
    for (int i = 0; i < 3; ++i) {
        pipeSeconds = std::min(
            pipeSeconds,
            runShell(QStringLiteral("cat '%1' | cat > '%2/copy'").arg(source, sandbox.path())));
        QFile::remove(sandbox.path() + QStringLiteral("/copy"));
    }

    VantrelManager manager(sandbox.options);
    sandbox.writeCli("#!/bin/sh\nexec cat '" + source.toUtf8() + "'\n");
    QElapsedTimer timer;
    timer.start();
    manager.runCLI();
    // The tail keeps only the newest lines of a flood: the end marker in it, once the CLI has
    // exited and the log is flushed, says that everything went through.
    spinUntil([&] { return manager.state().phase == SupervisorState::Phase::Exited; }, 600000);
    bool written = false;
    manager.whenLogWritten(&manager, [&written] { written = true; });
    spinUntil([&] { return written && !manager.outputLog().hasPending(); }, 60000);
    const double runnerSeconds = double(timer.nsecsElapsed()) / 1e9;
    if (!manager.output().contains(QString::fromLatin1(endMarker)))
        std::fprintf(stderr, "throughput: the end of the output did not arrive\n");
    const double mb = double(size) / 1e6;
    const double runnerRate = mb / runnerSeconds;
    const double catRate = mb / catSeconds;
    row("CLI output through the runner (MB/s)", runnerRate, "MB/s", "cat into a file", catRate,
        runnerRate / catRate);
    row("CLI output through the runner (MB/s)", runnerRate, "MB/s",
        "cat piped into cat, into a file", mb / pipeSeconds, runnerRate * pipeSeconds / mb);
    row("peak RSS while streaming (MiB)", peakRssMiB(), "MiB", "target", 100.0,
        peakRssMiB() / 100.0);
}

// 20 processes that obey SIGTERM and 2 that ignore it.
// Stale CLIs: scripts named like the CLI, below the sandbox the sweep is narrowed to.
QList<QProcess*> startTargets(const SupervisorSandbox& sandbox, QObject* parent) {
    const QString plain =
        sandbox.writeScript(QStringLiteral("plain/vantrel"), "while :; do sleep 0.05; done");
    const QString stubborn = sandbox.writeScript(QStringLiteral("stubborn/vantrel"),
                                                 "trap '' TERM; while :; do sleep 0.05; done");
    QList<QProcess*> processes;
    for (int i = 0; i < 22; ++i) {
        auto* process = new QProcess(parent);
        process->start(i < 20 ? plain : stubborn, {});
        process->waitForStarted();
        processes.append(process);
    }
    return processes;
}

void reap(const QList<QProcess*>& processes) {
    for (QProcess* process : processes) {
        if (process->state() != QProcess::NotRunning) {
            ::kill(pid_t(process->processId()), SIGKILL);
            process->waitForFinished(2000);
        }
        delete process;
    }
}

void sweep() {
    QObject owner;
    SupervisorSandbox sandbox;
    // The reference: each process in turn gets SIGTERM, half a second, then SIGKILL.
    QList<QProcess*> targets = startTargets(sandbox, &owner);
    QElapsedTimer timer;
    timer.start();
    for (QProcess* process : targets) {
        ::kill(pid_t(process->processId()), SIGTERM);
        QThread::msleep(500);
        if (::kill(pid_t(process->processId()), 0) == 0)
            ::kill(pid_t(process->processId()), SIGKILL);
    }
    const double sequential = double(timer.nsecsElapsed()) / 1e9;
    reap(targets);

    SupervisorOptions options = sandbox.options;
    targets = startTargets(sandbox, &owner);
    VantrelManager manager(options);
    timer.restart();
    manager.killExistingProcesses();
    // The sweep's waits run on timers: done once the supervisor is idle again.
    spinUntil([&] { return manager.stage() == CliLifecycle::Stage::Idle; }, 30000);
    const double shared = double(timer.nsecsElapsed()) / 1e9;
    reap(targets);
    row("sweep of 20 + 2 stale processes (s)", shared, "s", "one wait per process", sequential,
        shared / sequential);
}

// The development server in a process of its own, so its buffers do not count as ours.
// Returns the base URL, or an empty string.
QString startServer(QProcess& server, const QString& dir, const TestPki& pki,
                    const QStringList& args) {
    const QString portFile = dir + QStringLiteral("/port");
    QFile::remove(portFile);
    server.start(QStringLiteral(HALVANE_DEVSERVER),
                 QStringList{QStringLiteral("--cert"), pki.serverCert, QStringLiteral("--key"),
                             pki.serverKey, QStringLiteral("--port-file"), portFile} +
                     args);
    if (!spinUntil([&] { return QFileInfo(portFile).size() > 0; }, 10000)) {
        std::fprintf(stderr, "download: the development server did not start\n");
        return {};
    }
    QFile portIn(portFile);
    portIn.open(QIODevice::ReadOnly);
    return QStringLiteral("https://127.0.0.1:%1/static/cli")
        .arg(QString::fromLatin1(portIn.readAll()).trimmed());
}

qint64 statusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    return 0;
}

// Peak and kept RSS growth while the installer takes a download of `mib` MiB.
void downloadMemory(int mib) {
    QTemporaryDir dir;
    QString error;
    const auto pki = TestPki::create(dir.path(), &error);
    if (!pki)
        return void(std::fprintf(stderr, "download memory: %s\n", qPrintable(error)));
    QProcess server;
    const QString base = startServer(
        server, dir.path(), *pki, {QStringLiteral("--mode"), QStringLiteral("large:%1").arg(mib)});
    if (base.isEmpty())
        return;
    SupervisorSandbox sandbox;
    SupervisorOptions options = sandbox.options;
    options.baseURL = QUrl(base);
    options.caCertificates = pki->caCert;
    CliInstaller installer(options, Logger());
    bool done = false, ok = false;
    QObject::connect(&installer, &CliInstaller::finished, [&](const InstallResult& result) {
        done = true;
        ok = result.ok();
        if (!ok)
            std::fprintf(stderr, "download memory: %s\n", qPrintable(result.reason));
    });
    // Resets the peak, so earlier figures of this process do not count.
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    const qint64 before = statusKiB("VmRSS:");
    installer.installCLI();
    spinUntil([&] { return done; }, 600000);
    QCoreApplication::processEvents();
    const qint64 peak = statusKiB("VmHWM:"), after = statusKiB("VmRSS:");
    server.terminate();
    server.waitForFinished(3000);
    if (!ok)
        return;
    row("peak RSS growth, 200 MiB download (target < 50 MB = 47.7 MiB)", (peak - before) / 1024.0,
        "MiB", "size of the download", mib, (peak - before) / 1024.0 / mib);
    row("RSS kept after the download", (after - before) / 1024.0, "MiB", "size of the download",
        mib, (after - before) / 1024.0 / mib);
}

// A CLI build of `bytes`: the script, then comment lines. Returns its path.
QString writeAsset(const QString& dir, const QByteArray& script, qint64 bytes) {
    const QString asset = dir + QStringLiteral("/asset");
    QFile file(asset);
    file.open(QIODevice::WriteOnly);
    file.write(script);
    const QByteArray filler = QByteArray(1023, '#') + '\n';
    while (file.size() < bytes)
        file.write(filler);
    // On disk before either download, or the first would race its write-back.
    file.flush();
    ::fsync(file.handle());
    return asset;
}

// Passes loopback connections on to a port, counting the bytes both ways.
class ByteRelay {
public:
    explicit ByteRelay(quint16 target) {
        listener_.listen(QHostAddress::LocalHost);
        QObject::connect(&listener_, &QTcpServer::newConnection, [this, target] {
            while (QTcpSocket* in = listener_.nextPendingConnection()) {
                auto* out = new QTcpSocket(in);
                out->connectToHost(QHostAddress::LocalHost, target);
                for (auto [from, to] : {std::pair{in, out}, std::pair{out, in}}) {
                    QObject::connect(from, &QTcpSocket::readyRead, to, [this, from, to] {
                        const QByteArray data = from->readAll();
                        bytes += data.size();
                        to->write(data);
                    });
                    QObject::connect(from, &QTcpSocket::disconnected, to,
                                     [to] { to->disconnectFromHost(); });
                }
                QObject::connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
            }
        });
    }
    quint16 port() const { return listener_.serverPort(); }
    qint64 bytes = 0;

private:
    QTcpServer listener_;
};

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.value(values.size() / 2);
}

// A check for a new build when nothing changed, while the CLI runs: the supervisor's
// conditional request against curl's with the same ETag, on a fresh connection each (the
// server closes every one). Bytes are what the server process read and wrote for it.
void unchangedCheck() {
    QTemporaryDir dir;
    QString error;
    const auto pki = TestPki::create(dir.path(), &error);
    if (!pki)
        return void(std::fprintf(stderr, "check: %s\n", qPrintable(error)));
    const QString asset = writeAsset(dir.path(), "#!/bin/sh\nexec sleep 600\n", 20 * 1000 * 1000);
    QProcess server;
    const QString base =
        startServer(server, dir.path(), *pki, {QStringLiteral("--asset-file"), asset});
    if (base.isEmpty())
        return;
    // Both go through the relay, which counts what crosses the wire (TLS included).
    ByteRelay relay(QUrl(base).port());
    QUrl relayed(base);
    relayed.setPort(relay.port());
    SupervisorSandbox sandbox;
    SupervisorOptions options = sandbox.options;
    options.baseURL = relayed;
    options.caCertificates = pki->caCert;
    VantrelManager manager(options);
    int checks = 0;
    QString failed;
    QObject::connect(&manager, &VantrelManager::installFinished, [&](bool ok, const QString& why) {
        ++checks;
        if (!ok)
            failed = why;
    });
    manager.downloadAndRunCLI();
    spinUntil([&] { return checks == 1 && manager.currentProcess(); }, 120000);
    QFile body(asset);
    body.open(QIODevice::ReadOnly);
    const QStringList curlArguments{
        QStringLiteral("-s"),
        QStringLiteral("--cacert"),
        pki->caCert,
        QStringLiteral("-o"),
        QStringLiteral("/dev/null"),
        QStringLiteral("-w"),
        QStringLiteral("%{http_code}"),
        QStringLiteral("-H"),
        QStringLiteral("If-None-Match: ") +
            QString::fromLatin1(DownloadServer::etagFor(body.readAll())),
        relayed.toString() + QLatin1Char('/') + VantrelManager::assetName()};
    // Taken in turns, so a busy machine weighs on both alike.
    constexpr int kRounds = 9;
    QList<double> ms, bytes, curlMs, curlBytes;
    QString status;
    for (int i = 0; i < kRounds; ++i) {
        qint64 before = relay.bytes;
        QElapsedTimer timer;
        timer.start();
        manager.checkForUpdate();
        spinUntil([&] { return checks == i + 2; }, 60000);
        ms << double(timer.nsecsElapsed()) / 1e6;
        bytes << double(relay.bytes - before);

        before = relay.bytes;
        QProcess curl;
        timer.start();
        curl.start(QStringLiteral("curl"), curlArguments);
        spinUntil([&] { return curl.state() == QProcess::NotRunning; }, 60000);
        curlMs << double(timer.nsecsElapsed()) / 1e6;
        curlBytes << double(relay.bytes - before);
        status = QString::fromLatin1(curl.readAllStandardOutput());
    }
    // Nothing was installed again: each check was answered 304.
    const bool unchanged =
        failed.isEmpty() && !manager.output().contains(QStringLiteral("CLI updated"));
    manager.cleanup();
    spinUntil([&] { return manager.stage() == CliLifecycle::Stage::Finished; }, 10000);
    server.terminate();
    server.waitForFinished(3000);
    if (!unchanged || status != QLatin1String("304"))
        return void(std::fprintf(stderr, "check: not a 304 (%s; curl %s)\n", qPrintable(failed),
                                 qPrintable(status)));
    row("check for a new build, nothing changed: bytes on the wire (20 MB build), median of 9",
        median(bytes), "B", "curl's conditional request (If-None-Match)", median(curlBytes),
        median(bytes) / median(curlBytes));
    row("check for a new build, nothing changed: time, median of 9", median(ms), "ms",
        "curl's conditional request (If-None-Match)", median(curlMs), median(ms) / median(curlMs));
}

void download(qint64 bytes) {
    QTemporaryDir dir;
    QString error;
    const auto pki = TestPki::create(dir.path(), &error);
    if (!pki) {
        std::fprintf(stderr, "download: %s\n", qPrintable(error));
        return;
    }
    const QString asset = writeAsset(dir.path(), "#!/bin/sh\nexit 0\n", bytes);
    QProcess server;
    const QString base =
        startServer(server, dir.path(), *pki, {QStringLiteral("--asset-file"), asset});
    if (base.isEmpty())
        return;

    SupervisorSandbox sandbox;
    SupervisorOptions options = sandbox.options;
    options.baseURL = QUrl(base);
    options.caCertificates = pki->caCert;
    bool started = false;
    QElapsedTimer clock;
    clock.start();
    Console::setSink([&](const QString& line) {
        if (qEnvironmentVariableIsSet("HALVANE_BENCH_TRACE") &&
            !line.contains(QStringLiteral("output")))
            std::fprintf(stderr, "%6lld ms %s\n", qlonglong(clock.elapsed()),
                         qPrintable(line.left(100)));
        if (line.contains(QStringLiteral("CLI started successfully")))
            started = true;
    });
    // From before the manager is made, so what it sets up at construction counts too.
    QElapsedTimer timer;
    timer.start();
    VantrelManager manager(options);
    manager.downloadAndRunCLI();
    spinUntil([&] { return started; }, 120000);
    const double launch = double(timer.nsecsElapsed()) / 1e9;
    Console::setSink({});
    manager.cleanup();
    spinUntil([&] { return manager.stage() == CliLifecycle::Stage::Finished; }, 10000);

    const double curl =
        runShell(QStringLiteral("curl -s --cacert '%1' -o '%2/curl-copy' '%3/%4'")
                     .arg(pki->caCert, dir.path(), base, VantrelManager::assetName()));
    server.terminate();
    server.waitForFinished(3000);
    row("launch to CLI started, 20 MB download (s)", launch, "s", "curl of the same file", curl,
        launch / curl);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString what = args.value(0, QStringLiteral("all"));
    const qint64 bytes = args.value(1, QStringLiteral("1073741824")).toLongLong();
    if (what == QLatin1String("throughput") || what == QLatin1String("all"))
        throughput(bytes);
    if (what == QLatin1String("sweep") || what == QLatin1String("all"))
        sweep();
    if (what == QLatin1String("download") || what == QLatin1String("all"))
        download(20 * 1000 * 1000);
    if (what == QLatin1String("download-memory") || what == QLatin1String("all"))
        downloadMemory(200);
    if (what == QLatin1String("check") || what == QLatin1String("all"))
        unchangedCheck();
    return 0;
}
