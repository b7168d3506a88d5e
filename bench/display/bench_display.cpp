// Display figures beside references measured in the same run. Each case runs in a child
// process of its own, so one case's peak RSS cannot hide the other's; the table goes to
// standard output.
#include "BenchSupport.h"
#include "SupervisorSandbox.h"
#include "TerminalSearch.h"
#include "TerminalView.h"
#include "TerminalViewModel.h"
#include "VantrelManager.h"
#include "output/Console.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProcess>
#include <QScopeGuard>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype BatchChars = 4096;
constexpr int EdgeBatches = 1000; // early and late windows of the per-batch cost
constexpr int ProbeIntervalMs = 10;
constexpr int CaseTimeoutMs = 120000;

qint64 nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
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

// Live displays as CLI libraries draw them, ASCII only, 1009 frames: a progress line rewritten
// after a carriage return, a line break every 100 frames ("progress"); or three lines redrawn
// after moving the cursor up over them, left standing every 100 frames ("redraw").
QString livePattern(bool redraw) {
    QString pattern;
    for (int i = 0; i < 1009; ++i) {
        const QString bar =
            QStringLiteral("\x1b[36mDownloading\x1b[0m \x1b[38;2;249;38;114m%1\x1b[38;5;237m%2"
                           "\x1b[0m \x1b[35m%3%\x1b[0m %4 MB/s")
                .arg(QString(i % 40, QLatin1Char('#')), QString(40 - i % 40, QLatin1Char('-')))
                .arg(i % 100, 3)
                .arg(i * 7 % 1000 / 10.0, 5, 'f', 1);
        if (redraw)
            pattern += QStringLiteral("\r\x1b[2A\x1b[2K%1\n\x1b[2K\x1b[32mInstalling\x1b[0m %2"
                                      "\n\x1b[2Kworker-%3 busy")
                           .arg(bar, bar.mid(5), QString::number(i % 16));
        else
            pattern += QLatin1Char('\r') + bar;
        if (i % 100 == 99)
            pattern += redraw ? QStringLiteral("\n\n\n") : QStringLiteral("\n");
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

// Calls back when a paint has finished, so "painted" means drawn, not merely begun.
template <typename Widget> class PaintTimed : public Widget {
public:
    using Widget::Widget;
    std::function<void()> painted;

protected:
    void paintEvent(QPaintEvent* event) override {
        Widget::paintEvent(event);
        if (painted)
            painted();
    }
};

// Takes what Open Log File hands to the desktop instead of starting a viewer.
class LogOpener : public QObject {
    Q_OBJECT
public:
    int opened = 0;
public Q_SLOTS:
    void open(const QUrl&) { ++opened; }
};

double percentileMs(std::vector<qint64> ns, double fraction) {
    if (ns.empty())
        return -1;
    std::sort(ns.begin(), ns.end());
    const size_t rank = size_t(std::ceil(fraction * double(ns.size())));
    return double(ns[std::clamp<size_t>(rank, 1, ns.size()) - 1]) / 1e6;
}

// One case in this process: `megabytes` of coloured lines through a supervisor into either
// the terminal view or a QPlainTextEdit, while a 10 ms timer on the same event loop records
// how late it fires. Prints "key value" lines to `results`.
//
// The feed is a thread of its own handing 4 KiB chunks of UTF-8 to the output log as the
// CLI's pipe reader does, held back only where the log holds a reader back. That is how a CLI
// floods the application: it writes as fast as it can, whether or not anything was painted,
// and the main thread takes what is waiting at each hand-over. A feed that spun the event loop
// itself until each batch arrived would decide when the loop turns, and the timer would then
// time the feed rather than the widget. The flood ends with a marker line; it is over when the
// marker reaches the widget.
int runCase(const QString& which, double megabytes, FILE* results) {
    SupervisorSandbox sandbox;
    VantrelManager manager(sandbox.options);
    // "openlog" is the view with Open Log File used every 100 ms while the flood lasts, "find"
    // the view with a one-letter find left active.
    const bool openingLog = which == QLatin1String("openlog");
    const bool finding = which == QLatin1String("find");
    const bool isView = which != QLatin1String("plain");
    const qint64 totalChars = qint64(megabytes * 1e6);
    const QString marker = QStringLiteral("end of the flood\n");

    qint64 deliveries = 0;
    qint64 delivered = 0;
    qint64 startNs = 0;
    qint64 doneNs = -1;
    QEventLoop loop;
    QTimer probe;
    const auto count = [&](const QString& batch) {
        ++deliveries;
        delivered += batch.size();
        if (doneNs < 0 && batch.endsWith(marker)) {
            doneNs = nowNs();
            probe.stop(); // the flood is over
        }
    };

    std::unique_ptr<QWidget> widget;
    std::function<bool()> showsEnd;
    int paints = 0;
    qint64 paintedNs = -1;
    const auto onPainted = [&] {
        ++paints;
        if (doneNs >= 0 && paintedNs < 0 && showsEnd()) {
            paintedNs = nowNs();
            loop.quit();
        }
    };
    TerminalView* terminal = nullptr;
    EscapeStripper stripper;
    if (isView) {
        auto* model = new TerminalViewModel(&manager);
        auto* view = new PaintTimed<TerminalView>(model);
        terminal = view;
        view->painted = onPainted;
        widget.reset(view);
        // The view lays out new lines on its own refresh timer: the end is painted once the
        // scroll range covers every row and the view sits at its bottom.
        showsEnd = [view] {
            const QScrollBar* bar = view->verticalScrollBar();
            const qint64 content =
                2 * TerminalView::Padding + view->layout().rowCount() * qint64(view->lineHeight());
            return bar->value() == bar->maximum() &&
                   bar->maximum() == std::max<qint64>(0, content - view->viewport()->height());
        };
        QObject::connect(model, &TerminalViewModel::outputAppended, count);
    } else {
        auto* edit = new PaintTimed<QPlainTextEdit>;
        edit->painted = onPainted;
        widget.reset(edit);
        edit->setReadOnly(true);
        edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        // The terminal view's line bound; it has no character bound to match.
        edit->setMaximumBlockCount(int(manager.options().retainedLines));
        edit->setPlainText(manager.output());
        // Its scroll range is an estimate over wrapped blocks, so the end of the text itself
        // must be in sight.
        showsEnd = [edit] {
            QTextCursor end(edit->document());
            end.movePosition(QTextCursor::End);
            return edit->viewport()->rect().intersects(edit->cursorRect(end));
        };
        QObject::connect(&manager, &VantrelManager::outputAppended, edit,
                         [&, edit](const QString& batch) {
                             edit->moveCursor(QTextCursor::End);
                             edit->insertPlainText(stripper.strip(batch));
                             // Follows the end, as the view does; inserting alone leaves the
                             // view where the cursor was before the batch.
                             edit->ensureCursorVisible();
                             count(batch);
                         });
    }
    widget->resize(800, 600);
    widget->show();
    const bool ready = spinUntil(
        [&] {
            return widget->windowHandle() && widget->windowHandle()->isExposed() && paints > 0 &&
                   (!terminal || terminal->model()->output() == manager.output());
        },
        10000);
    if (!ready) {
        std::fprintf(stderr, "bench_display: %s not shown\n", qPrintable(which));
        return 1;
    }
    const int paintsBefore = paints;

    // Re-armed at each timeout, so each sample is the delay of one timeout, not a drift carried
    // over from earlier ones.
    std::vector<qint64> latenessNs;
    qint64 armedNs = 0;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setSingleShot(true);
    probe.setInterval(ProbeIntervalMs);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = nowNs();
        latenessNs.push_back(std::max<qint64>(0, now - armedNs - ProbeIntervalMs * 1000000LL));
        armedNs = now;
        probe.start();
    });

    // The stream as UTF-8, twice over, so any 4 KiB window of the endless stream is in here.
    const QString pattern = which == QLatin1String("progress") ? livePattern(false)
                            : which == QLatin1String("redraw") ? livePattern(true)
                                                               : colouredPattern();
    const QByteArray twice = (pattern + pattern).toUtf8();
    const qsizetype patternBytes = twice.size() / 2;
    const qint64 rssBefore = statusKiB("VmRSS");
    std::atomic<qint64> lastChunkNs{-1};
    std::atomic<bool> cancelled{false};
    qint64 earlyNs = 0, lateStartNs = 0, lateEndNs = 0; // the feed's first and last EdgeBatches
    const qint64 chunks = (totalChars + BatchChars - 1) / BatchChars;
    OutputLog& log = manager.outputLog();
    startNs = nowNs();
    armedNs = startNs;
    probe.start();
    LogOpener opener;
    QTimer openLog;
    int openRequests = 0;
    const auto unsetOpener =
        qScopeGuard([] { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); });
    if (finding)
        terminal->search()->setPattern(QStringLiteral("a"), Qt::CaseSensitive, {});
    if (openingLog) {
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &opener, "open");
        QMenu* menu = terminal->createContextMenu();
        QAction* action = menu->actions().constLast();
        QObject::connect(&openLog, &QTimer::timeout, [&, action] {
            if (doneNs >= 0)
                return openLog.stop();
            ++openRequests;
            action->trigger();
        });
        openLog.start(100);
    }
    std::thread writer([&] {
        for (qint64 chunk = 0; chunk < chunks && !cancelled; ++chunk) {
            const qint64 at = chunk * BatchChars;
            const qsizetype length = qsizetype(std::min<qint64>(BatchChars, totalChars - at));
            // ASCII apart from nothing: byte and character offsets agree.
            log.appendFromReader(twice.mid(qsizetype(at % patternBytes), length), cancelled);
            if (chunk + 1 == EdgeBatches)
                earlyNs = nowNs();
            if (chunk == chunks - EdgeBatches)
                lateStartNs = nowNs();
        }
        lateEndNs = nowNs();
        lastChunkNs = nowNs();
        log.appendFromReader(marker.toUtf8(), cancelled);
    });
    QTimer::singleShot(CaseTimeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    cancelled = true;
    writer.join();
    probe.stop();
    if (paintedNs < 0) {
        std::fprintf(stderr, "bench_display: %s did not paint its end in time\n",
                     qPrintable(which));
        return 1;
    }
    const qint64 peak = statusKiB("VmHWM");

    std::fprintf(results, "mb %.3f\n", double(totalChars) / 1e6);
    std::fprintf(results, "seconds %.6f\n", double(doneNs - startNs) / 1e9);
    std::fprintf(results, "deliveries %lld\n", qlonglong(deliveries));
    std::fprintf(results, "delivered_mb %.1f\n", double(delivered) / 1e6);
    std::fprintf(results, "paints %d\n", paints - paintsBefore);
    std::fprintf(results, "rss_before_kib %lld\n", qlonglong(rssBefore));
    std::fprintf(results, "hwm_kib %lld\n", qlonglong(peak));
    std::fprintf(results, "samples %zu\n", latenessNs.size());
    std::fprintf(results, "p50_ms %.3f\n", percentileMs(latenessNs, 0.50));
    std::fprintf(results, "p99_ms %.3f\n", percentileMs(latenessNs, 0.99));
    std::fprintf(results, "max_ms %.3f\n", percentileMs(latenessNs, 1.0));
    std::fprintf(results, "last_painted_ms %.3f\n", double(paintedNs - lastChunkNs) / 1e6);
    std::fprintf(results, "early_us %.3f\n", double(earlyNs - startNs) / 1e3 / EdgeBatches);
    std::fprintf(results, "late_us %.3f\n", double(lateEndNs - lateStartNs) / 1e3 / EdgeBatches);
    std::fprintf(results, "log_opens %d\n", opener.opened);
    std::fprintf(results, "log_open_requests %d\n", openRequests);
    if (terminal)
        std::fprintf(results, "retained_lines %lld\n", qlonglong(terminal->buffer().lineCount()));
    else
        std::fprintf(results, "retained_lines %d\n",
                     static_cast<QPlainTextEdit*>(widget.get())->document()->blockCount());
    std::fflush(results);
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

// A figure beside its reference, and the ratio of the two.
void row(const QString& figure, double value, const QString& reference, double referenceValue,
         const QString& unit) {
    const QString ratio = referenceValue > 0 ? number(value / referenceValue) : QStringLiteral("–");
    std::printf("| %s | %s %s | %s | %s %s | %s |\n", qPrintable(figure), qPrintable(number(value)),
                qPrintable(unit), qPrintable(reference), qPrintable(number(referenceValue)),
                qPrintable(unit), qPrintable(ratio));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--case") == 0) {
        // The supervisor echoes every chunk on the console, as in the application, through its
        // console writer; that goes to /dev/null, the figures to the original standard output.
        FILE* results = fdopen(::dup(STDOUT_FILENO), "w");
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::close(null);
        QApplication app(argc, argv);
        return runCase(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]).toDouble(),
                       results);
    }
    QCoreApplication app(argc, argv);
    QTemporaryDir home;
    const double viewMb = 200;
    // Behind the same supervisor, the QPlainTextEdit is handed only what the tail keeps of a
    // flood, so it can take the same volume within the time budget.
    const double plainMb = viewMb;
    const auto view = runChild(QStringLiteral("view"), viewMb, home);
    const auto plain = runChild(QStringLiteral("plain"), plainMb, home);
    const auto openLog = runChild(QStringLiteral("openlog"), viewMb, home);
    const auto find = runChild(QStringLiteral("find"), viewMb, home);
    // Live displays are parsed whole, as no line break of theirs pushes anything out.
    const double liveMb = 50;
    const auto progress = runChild(QStringLiteral("progress"), liveMb, home);
    const auto redraw = runChild(QStringLiteral("redraw"), liveMb, home);
    if (view.empty() || plain.empty() || openLog.empty() || find.empty() || progress.empty() ||
        redraw.empty())
        return 1;
    for (const auto* values : {&view, &plain, &openLog, &find, &progress, &redraw})
        std::fprintf(stderr,
                     "bench_display: %.0f MB in %.0f deliveries carrying %.1f MB, %.0f repaints, "
                     "%.0f lines kept, %.0f timer samples, lateness max %.1f ms\n",
                     values->at(QStringLiteral("mb")), values->at(QStringLiteral("deliveries")),
                     values->at(QStringLiteral("delivered_mb")),
                     values->at(QStringLiteral("paints")),
                     values->at(QStringLiteral("retained_lines")),
                     values->at(QStringLiteral("samples")), values->at(QStringLiteral("max_ms")));

    const auto at = [](const std::map<QString, double>& v, const char* key) {
        return v.at(QString::fromLatin1(key));
    };
    const auto rate = [&](const std::map<QString, double>& v) {
        return at(v, "mb") / at(v, "seconds");
    };
    const auto peakMiB = [&](const std::map<QString, double>& v) {
        return at(v, "hwm_kib") / 1024;
    };
    const auto growthMiB = [&](const std::map<QString, double>& v) {
        return (at(v, "hwm_kib") - at(v, "rss_before_kib")) / 1024;
    };
    const QString viewVolume = QStringLiteral("%1 MB").arg(viewMb);
    const QString plainCase = QStringLiteral("QPlainTextEdit, %1 MB").arg(plainMb);
    row(QStringLiteral("view throughput, %1 coloured lines (target ≥ 300 MB/s)").arg(viewVolume),
        rate(view), plainCase + QStringLiteral(", escapes stripped"), rate(plain),
        QStringLiteral("MB/s"));
    row(QStringLiteral("view, lateness of a 10 ms timer during the %1 flood, p50").arg(viewVolume),
        at(view, "p50_ms"), plainCase, at(plain, "p50_ms"), QStringLiteral("ms"));
    row(QStringLiteral("view, lateness of a 10 ms timer during the %1 flood, p99 (target < 50 ms)")
            .arg(viewVolume),
        at(view, "p99_ms"), plainCase, at(plain, "p99_ms"), QStringLiteral("ms"));
    std::fprintf(stderr,
                 "bench_display: Open Log File used %.0f times during the flood, %.0f opened\n",
                 at(openLog, "log_open_requests"), at(openLog, "log_opens"));
    row(QStringLiteral("view, longest lateness of a 10 ms timer while Open Log File is used every "
                       "100 ms during the %1 flood (target < 50 ms)")
            .arg(viewVolume),
        at(openLog, "max_ms"), QStringLiteral("the same flood without Open Log File"),
        at(view, "max_ms"), QStringLiteral("ms"));
    row(QStringLiteral("view, last chunk handed over to painted (target < 100 ms)"),
        at(view, "last_painted_ms"), plainCase, at(plain, "last_painted_ms"), QStringLiteral("ms"));
    row(QStringLiteral("view peak RSS (VmHWM), %1 (target < 150 MB = 143 MiB)").arg(viewVolume),
        peakMiB(view), plainCase + QStringLiteral(", 100000-line bound"), peakMiB(plain),
        QStringLiteral("MiB"));
    row(QStringLiteral("view peak RSS (VmHWM) with a one-letter find active, %1 (target < 150 MB = "
                       "143 MiB)")
            .arg(viewVolume),
        peakMiB(find), QStringLiteral("the same flood without find"), peakMiB(view),
        QStringLiteral("MiB"));
    row(QStringLiteral("view peak RSS growth, %1").arg(viewVolume), growthMiB(view), plainCase,
        growthMiB(plain), QStringLiteral("MiB"));
    row(QStringLiteral("view, time per 4 KiB chunk written, last %1 chunks (full scrollback)")
            .arg(EdgeBatches),
        at(view, "late_us"), QStringLiteral("first %1 chunks of the same run").arg(EdgeBatches),
        at(view, "early_us"), QStringLiteral("µs"));
    const QString coloured = QStringLiteral("coloured lines, %1").arg(viewVolume);
    for (const auto& [name, values] : {std::pair{QStringLiteral("\\r progress updates"), &progress},
                                       std::pair{QStringLiteral("cursor-up redraws"), &redraw}}) {
        const QString live = QStringLiteral("%1 MB of %2").arg(liveMb).arg(name);
        row(QStringLiteral("view throughput, %1").arg(live), rate(*values), coloured, rate(view),
            QStringLiteral("MB/s"));
        row(QStringLiteral("view, lateness of a 10 ms timer during %1, p99").arg(live),
            at(*values, "p99_ms"), coloured, at(view, "p99_ms"), QStringLiteral("ms"));
    }
    return 0;
}

#include "bench_display.moc"
