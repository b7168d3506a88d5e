// Find in a full scrollback, beside one unsliced pass over the same lines; the longest time
// the event loop was held, beside a frame. Prints markdown rows, medians of several runs with
// their spread.
#include "BenchSupport.h"
#include "TerminalSearch.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
constexpr int Runs = 7;
constexpr double FrameMs = 1000.0 / 60;

// 8 Mi characters of coloured 100-character lines, "Needle" in every 50th.
void fill(TerminalBuffer& buffer) {
    for (int i = 0; buffer.charCount() < buffer.limits().maxChars - 200 || i < 90000; ++i) {
        QString line = QStringLiteral("\x1b[3%1m%2 \x1b[0mstep %3 ").arg(i % 8).arg(i).arg(i * 7);
        line += i % 50 == 0 ? QStringLiteral("Found Needle here") : QStringLiteral("haystack");
        line += QString(100 - line.size(), QLatin1Char('.')) + QLatin1Char('\n');
        buffer.append(line);
    }
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures {
    std::vector<double> sliced, unsliced, held;
    qsizetype matches = 0;
};

Figures measure(const TerminalBuffer& buffer, Qt::CaseSensitivity sensitivity) {
    const QString pattern = QStringLiteral("Needle");
    Figures f;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        qsizetype found = 0;
        for (qsizetype i = 0; i < buffer.lineCount(); ++i) {
            const QStringView text = buffer.line(i).text;
            for (qsizetype at = text.indexOf(pattern, 0, sensitivity); at >= 0;
                 at = text.indexOf(pattern, at + pattern.size(), sensitivity))
                ++found;
        }
        f.unsliced.push_back(double(clock.nsecsElapsed()) / 1e6);

        TerminalSearch search(&buffer);
        bool done = false;
        QObject::connect(&search, &TerminalSearch::finished, [&] { done = true; });
        // A timer due every millisecond: the widest gap between its runs is the longest hold.
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(1);
        qint64 last = 0, widest = 0;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            widest = std::max(widest, clock.nsecsElapsed() - last);
            last = clock.nsecsElapsed();
        });
        clock.restart();
        last = 0;
        probe.start();
        search.setPattern(pattern, sensitivity, {});
        spinUntil([&] { return done; }, 10000);
        f.sliced.push_back(double(clock.nsecsElapsed()) / 1e6);
        f.held.push_back(double(widest) / 1e6);
        f.matches = search.matchCount();
        if (found != f.matches)
            std::fprintf(stderr, "bench_find: %lld matches, %lld in one pass\n",
                         qlonglong(f.matches), qlonglong(found));
    }
    return f;
}

void row(const char* figure, const std::vector<double>& value, const char* reference,
         double referenceValue, const char* referenceSpread = "") {
    const auto [lo, hi] = std::minmax_element(value.begin(), value.end());
    std::printf("| %s | %.1f ms (%.1f–%.1f) | %s | %.1f ms%s | %.2f |\n", figure, median(value),
                *lo, *hi, reference, referenceValue, referenceSpread,
                median(value) / referenceValue);
}
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    TerminalBuffer buffer;
    fill(buffer);
    const double mi = double(buffer.charCount()) / (1024 * 1024);
    for (auto [sensitivity, name] : {std::pair{Qt::CaseSensitive, "case-sensitive"},
                                     std::pair{Qt::CaseInsensitive, "any case"}}) {
        const Figures f = measure(buffer, sensitivity);
        const QByteArray what =
            QStringLiteral("find, %1 Mi characters in %2 lines, %3, %4 matches, "
                           "to all found (target well under 100 ms)")
                .arg(mi, 0, 'f', 1)
                .arg(buffer.lineCount())
                .arg(QLatin1String(name))
                .arg(f.matches)
                .toUtf8();
        const auto [lo, hi] = std::minmax_element(f.unsliced.begin(), f.unsliced.end());
        const QByteArray spread =
            QStringLiteral(" (%1–%2)").arg(*lo, 0, 'f', 1).arg(*hi, 0, 'f', 1).toUtf8();
        row(what.constData(), f.sliced,
            "one unsliced pass of QStringView::indexOf, the event loop held throughout",
            median(f.unsliced), spread.constData());
        const QByteArray held = QStringLiteral("find, %1, longest hold of the event loop")
                                    .arg(QLatin1String(name))
                                    .toUtf8();
        row(held.constData(), f.held, "a frame at 60 Hz", FrameMs);
    }
    // A one-letter pattern over the same scrollback: what its matches take, and that clearing
    // it gives that back.
    const qint64 before = statusKiB("VmRSS");
    TerminalSearch search(&buffer);
    bool done = false;
    QObject::connect(&search, &TerminalSearch::finished, [&] { done = true; });
    search.setPattern(QStringLiteral("."), Qt::CaseSensitive, {});
    spinUntil([&] { return done; }, 60000);
    const qint64 found = statusKiB("VmRSS");
    const qsizetype matches = search.matchCount();
    search.clear();
    const qint64 cleared = statusKiB("VmRSS");
    std::printf("| find, one-letter pattern over the full scrollback, %lld matches, RSS growth "
                "while they are kept | %.1f MiB | the scrollback's text (UTF-16) | %.1f MiB | "
                "%.2f |\n",
                qlonglong(matches), double(found - before) / 1024, mi * 2,
                double(found - before) / 1024 / (mi * 2));
    std::printf("| find, RSS after that find is cleared (target within 10 MB of before) | %.1f "
                "MiB | RSS before it | %.1f MiB | %.2f |\n",
                double(cleared) / 1024, double(before) / 1024, double(cleared) / double(before));
    return 0;
}
