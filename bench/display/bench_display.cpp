// Display figures beside references measured in the same run. Each case runs in a child
// process of its own, so one case's peak RSS cannot hide the other's; the table goes to
// standard output.
#include "Console.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "VantrelManager.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QUuid>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <vector>

namespace {

constexpr qsizetype BatchChars = 4096;
constexpr int EdgeBatches = 1000; // early and late windows of the per-batch cost

// VmHWM or VmRSS of this process in KiB.
qint64 statusKiB(const char* key) {
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : file.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

bool spinUntil(const std::function<bool()>& done, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

// Log-like lines of about 100 visible characters in 16, 256 and true colours. 1009 lines, so
// the 4 KiB batch boundaries fall at ever different places, inside lines and escapes alike.
QString colouredPattern() {
    static const char* const levels[] = {"\x1b[32mINFO \x1b[0m", "\x1b[33mWARN \x1b[0m",
                                         "\x1b[1;31mERROR\x1b[0m", "\x1b[2;37mDEBUG\x1b[0m"};
    QString pattern;
    for (int i = 0; i < 1009; ++i) {
        QString line = QStringLiteral("\x1b[2m2024-05-01T12:%1:%2.%3Z\x1b[0m %4 "
                                      "\x1b[38;5;%5mworker-%6\x1b[0m request %7 took "
                                      "\x1b[38;2;%8;160;40m%9 ms\x1b[0m path=/api/v1/items/")
                           .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
                           .arg(i % 60, 2, 10, QLatin1Char('0'))
                           .arg(i * 7 % 1000, 3, 10, QLatin1Char('0'))
                           .arg(QLatin1String(levels[i % 4]))
                           .arg(16 + i * 37 % 216)
                           .arg(i % 16, 2, 10, QLatin1Char('0'))
                           .arg(i * 7919 % 1000000, 6, 10, QLatin1Char('0'))
                           .arg(i * 53 % 256)
                           .arg(i * 13 % 997, 3);
        // Pads the visible text to 100 characters with a varying tail.
        qsizetype visible = 0;
        for (qsizetype at = 0; at < line.size(); ++at) {
            if (line[at] == QLatin1Char('\x1b')) {
                while (at < line.size() && !line[at].isLetter())
                    ++at;
                continue;
            }
            ++visible;
        }
        while (visible < 100) {
            line += QLatin1Char(char('a' + (i + visible) % 26));
            ++visible;
        }
        pattern += line + QLatin1Char('\n');
    }
    return pattern;
}

// Drops CSI sequences, carrying a sequence cut by a batch boundary over to the next batch.
class EscapeStripper {
public:
    QString strip(const QString& text) {
        QString out;
        out.reserve(text.size());
        for (QChar c : text) {
            const ushort u = c.unicode();
            switch (state_) {
            case State::Text:
                if (u == 0x1b)
                    state_ = State::Escape;
                else
                    out += c;
                break;
            case State::Escape:
                state_ = u == '[' ? State::Csi : State::Text;
                break;
            case State::Csi:
                if (u >= 0x40 && u <= 0x7e)
                    state_ = State::Text;
                break;
            }
        }
        return out;
    }

private:
    enum class State { Text, Escape, Csi };
    State state_ = State::Text;
};

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

SupervisorOptions optionsIn(const QTemporaryDir& dir) {
    SupervisorOptions options;
    options.installDir = dir.path() + QStringLiteral("/bin");
    options.stateDir = dir.path() + QStringLiteral("/state");
    options.logDir = options.stateDir;
    options.baseURL = QUrl(QStringLiteral("https://127.0.0.1:9/static/cli"));
    options.sweepPattern = QStringLiteral("halvane-bench-display-") +
                           QUuid::createUuid().toString(QUuid::Id128).left(12);
    return options;
}

// One case in this process: `megabytes` of coloured lines through a supervisor into either
// the terminal view or a QPlainTextEdit, 4 KiB per batch, the event loop run between batches
// until the batch has reached the widget. Prints "key value" lines.
int runCase(const QString& which, double megabytes) {
    Console::setSink([](const QString&) {}); // the supervisor echoes every chunk
    QTemporaryDir dir;
    VantrelManager manager(optionsIn(dir));
    const bool view = which == QLatin1String("view");

    qint64 delivered = 0;
    std::unique_ptr<QWidget> widget;
    QWidget* painted = nullptr;
    TerminalView* terminal = nullptr;
    EscapeStripper stripper;
    if (view) {
        auto* model = new TerminalViewModel(&manager);
        terminal = new TerminalView(model);
        widget.reset(terminal);
        painted = terminal->viewport();
        QObject::connect(model, &TerminalViewModel::outputAppended,
                         [&](const QString&) { ++delivered; });
    } else {
        auto* edit = new QPlainTextEdit;
        widget.reset(edit);
        painted = edit->viewport();
        edit->setReadOnly(true);
        edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        // The terminal view's line bound; it has no character bound to match.
        edit->setMaximumBlockCount(int(manager.options().retainedLines));
        edit->setPlainText(manager.output());
        QObject::connect(&manager, &VantrelManager::outputAppended, edit,
                         [&, edit](const QString& batch) {
                             edit->moveCursor(QTextCursor::End);
                             edit->insertPlainText(stripper.strip(batch));
                             ++delivered;
                         });
    }
    PaintCounter counter;
    painted->installEventFilter(&counter);
    widget->resize(800, 600);
    widget->show();
    const bool ready = spinUntil(
        [&] {
            return widget->windowHandle() && widget->windowHandle()->isExposed() &&
                   counter.paints > 0 &&
                   (!terminal || terminal->model()->output() == manager.output());
        },
        10000);
    if (!ready) {
        std::fprintf(stderr, "bench_display: %s not shown\n", qPrintable(which));
        return 1;
    }

    const QString pattern = colouredPattern();
    const QString twice = pattern + pattern; // any 4 KiB window of the endless stream is in here
    const qint64 totalChars = qint64(megabytes * 1e6);
    const qint64 batches = (totalChars + BatchChars - 1) / BatchChars;
    std::vector<qint64> batchNs;
    batchNs.reserve(size_t(batches));

    const qint64 rssBefore = statusKiB("VmRSS");
    const int paintsBefore = counter.paints;
    QElapsedTimer total;
    total.start();
    qint64 fed = 0;
    for (qint64 i = 0; i < batches; ++i) {
        QElapsedTimer one;
        one.start();
        const qsizetype length = qsizetype(std::min<qint64>(BatchChars, totalChars - fed));
        manager.outputHandler(twice.mid(qsizetype(fed % pattern.size()), length));
        fed += length;
        // Only processes what is due, so the view's coalescing timer decides when it paints.
        while (delivered <= i)
            QCoreApplication::processEvents();
        batchNs.push_back(one.nsecsElapsed());
    }
    const double seconds = double(total.nsecsElapsed()) / 1e9;
    const int paints = counter.paints - paintsBefore;
    // The last coalesced repaint still shows the end.
    spinUntil([] { return false; }, 3 * TerminalView::RefreshIntervalMs);
    const qint64 peak = statusKiB("VmHWM");

    auto meanUs = [&](size_t from, size_t to) {
        qint64 sum = 0;
        for (size_t i = from; i < to; ++i)
            sum += batchNs[i];
        return to > from ? double(sum) / double(to - from) / 1e3 : 0.0;
    };
    const size_t edge = std::min<size_t>(EdgeBatches, batchNs.size() / 2);
    std::printf("mb %.3f\n", double(fed) / 1e6);
    std::printf("seconds %.6f\n", seconds);
    std::printf("batches %lld\n", qlonglong(batches));
    std::printf("paints %d\n", paints);
    std::printf("rss_before_kib %lld\n", qlonglong(rssBefore));
    std::printf("hwm_kib %lld\n", qlonglong(peak));
    std::printf("early_us %.3f\n", meanUs(0, edge));
    std::printf("late_us %.3f\n", meanUs(batchNs.size() - edge, batchNs.size()));
    if (terminal)
        std::printf("retained_lines %lld\n", qlonglong(terminal->buffer().lineCount()));
    else
        std::printf("retained_lines %d\n",
                    static_cast<QPlainTextEdit*>(widget.get())->document()->blockCount());
    std::fflush(stdout);
    return 0;
}

// Runs one case in a child process with its own HOME and XDG folders.
std::map<QString, double> runChild(const QString& which, double megabytes,
                                   const QTemporaryDir& home) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("HOME"), home.path());
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME",
                             "XDG_RUNTIME_DIR"}) {
        const QString path = home.path() + QLatin1Char('/') + QString::fromLatin1(name).toLower();
        QDir().mkpath(path);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert(QLatin1String(name), path);
    }
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--case"), which, QString::number(megabytes)});
    std::map<QString, double> values;
    if (!child.waitForFinished(300000)) {
        std::fprintf(stderr, "bench_display: %s case did not finish\n", qPrintable(which));
        child.kill(); // our own child, by its handle
        child.waitForFinished(5000);
        return values;
    }
    for (const QByteArray& line : child.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2)
            values[QString::fromLatin1(parts[0])] = parts[1].toDouble();
    }
    if (child.exitCode() != 0)
        values.clear();
    return values;
}

QString number(double value) {
    return QString::number(value, 'f', value >= 100 ? 0 : value >= 10 ? 1 : 2);
}

void row(const QString& figure, const QString& value, const QString& reference,
         const QString& referenceValue, double ratio) {
    std::printf("| %s | %s | %s | %s | %s |\n", qPrintable(figure), qPrintable(value),
                qPrintable(reference), qPrintable(referenceValue), qPrintable(number(ratio)));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--case") == 0) {
        QApplication app(argc, argv);
        return runCase(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]).toDouble());
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    const double viewMb = 50;
    // The same volume for both, so the reference also reaches its line bound.
    const double plainMb = viewMb;
    const auto view = runChild(QStringLiteral("view"), viewMb, home);
    const auto plain = runChild(QStringLiteral("plain"), plainMb, home);
    if (view.empty() || plain.empty())
        return 1;
    for (const auto* values : {&view, &plain})
        std::fprintf(
            stderr, "bench_display: %.0f MB in %lld batches, %.0f repaints, %.0f lines kept\n",
            values->at(QStringLiteral("mb")), qlonglong(values->at(QStringLiteral("batches"))),
            values->at(QStringLiteral("paints")), values->at(QStringLiteral("retained_lines")));

    const auto rate = [](const std::map<QString, double>& v) {
        return v.at(QStringLiteral("mb")) / v.at(QStringLiteral("seconds"));
    };
    const auto growthMiB = [](const std::map<QString, double>& v) {
        return (v.at(QStringLiteral("hwm_kib")) - v.at(QStringLiteral("rss_before_kib"))) / 1024;
    };
    const QString viewVolume = QStringLiteral("%1 MB").arg(viewMb);
    const QString plainVolume = QStringLiteral("%1 MB").arg(plainMb);
    row(QStringLiteral("view throughput, %1 coloured lines").arg(viewVolume),
        number(rate(view)) + QStringLiteral(" MB/s"),
        QStringLiteral("QPlainTextEdit, %1, escapes stripped").arg(plainVolume),
        number(rate(plain)) + QStringLiteral(" MB/s"), rate(view) / rate(plain));
    row(QStringLiteral("view peak RSS growth, %1").arg(viewVolume),
        number(growthMiB(view)) + QStringLiteral(" MiB"),
        QStringLiteral("QPlainTextEdit, %1, 100000-line bound").arg(plainVolume),
        number(growthMiB(plain)) + QStringLiteral(" MiB"), growthMiB(view) / growthMiB(plain));
    const double early = view.at(QStringLiteral("early_us"));
    const double late = view.at(QStringLiteral("late_us"));
    row(QStringLiteral("view, time per 4 KiB batch, last %1 batches (full scrollback)")
            .arg(EdgeBatches),
        number(late) + QStringLiteral(" µs"),
        QStringLiteral("first %1 batches of the same run").arg(EdgeBatches),
        number(early) + QStringLiteral(" µs"), late / early);
    return 0;
}
