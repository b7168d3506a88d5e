#include "output/OutputLog.h"
#include "output/Console.h"
#include "output/LogFile.h"

#include <QPointer>
#include <QStringDecoder>

#include <bit>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string.h> // memrchr
#include <vector>

namespace {
// How far the disk, and the main thread beyond what the tail keeps, may fall behind a reader
// before it is held back.
constexpr qsizetype kMaxPendingBytes = 16 * 1024 * 1024;
constexpr qsizetype kMaxPendingFileBytes = 8 * 1024 * 1024;
// What the main thread parses in one turn of its event loop, at most one piece more.
constexpr qsizetype kSliceBytes = 1024 * 1024;
// Under a flood, hand-overs are this far apart.
constexpr int kSpacingMs = 8;
// The writer gathers smaller pieces into one write.
constexpr qsizetype kGatherBytes = 1024 * 1024;

// Runs over everything a flood brings: memchr is vectorised, a loop of our own is not at this
// build's optimisation level.
qsizetype countNewlines(QByteArrayView bytes) {
    const char* at = bytes.data();
    const char* const end = at + bytes.size();
    qsizetype count = 0;
    while ((at = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at))))) {
        ++count;
        ++at;
    }
    return count;
}

// Whether the escape sequence at `at` may move the cursor up, or save or restore it.
bool movesUp(const uchar* at, const uchar* end) {
    if (++at == end)
        return false;
    if (*at == '7' || *at == '8')
        return true;
    if (*at != '[')
        return false;
    for (++at; at < end && *at >= 0x20 && *at <= 0x3f;)
        ++at;
    if (at == end)
        return false;
    switch (*at) {
    case 'A': // up, to a previous line, to a position or row; save and restore
    case 'F':
    case 'H':
    case 'f':
    case 'd':
    case 's':
    case 'u':
        return true;
    default:
        return false;
    }
}

// Whether a sequence complete in `bytes` may move the cursor up, or save or restore it: the
// output can then rewrite lines written before it, so its line breaks do not push them out.
// Conservative: a false alarm only holds a skip back. A C1 CSI counts as a move. Coloured
// output has an escape every few characters: they are found 16 bytes at a time.
bool mayMoveUp(QByteArrayView bytes) {
    const auto* at = reinterpret_cast<const uchar*>(bytes.data());
    const auto* const end = at + bytes.size();
    const auto c1 = [end](const uchar* c) { return c + 1 < end && c[1] == 0x9b; };
#ifdef __SSE2__
    const __m128i escape = _mm_set1_epi8(0x1b);
    const __m128i c1Lead = _mm_set1_epi8(char(0xc2));
    for (; end - at >= 16; at += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        for (auto m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(block, escape))); m; m &= m - 1)
            if (movesUp(at + std::countr_zero(m), end))
                return true;
        for (auto m = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(block, c1Lead))); m; m &= m - 1)
            if (c1(at + std::countr_zero(m)))
                return true;
    }
#endif
    for (; at < end; ++at)
        if ((*at == 0x1b && movesUp(at, end)) || (*at == 0xc2 && c1(at)))
            return true;
    return false;
}

// Where an escape or control sequence left unfinished at the end of `bytes` starts, or -1.
qsizetype unfinishedFrom(QByteArrayView bytes) {
    const auto* escape =
        static_cast<const char*>(::memrchr(bytes.data(), 0x1b, size_t(bytes.size())));
    if (!escape)
        return -1;
    const char* const end = bytes.data() + bytes.size();
    const char* at = escape + 1;
    if (at < end && *at == '[')
        for (++at; at < end && uchar(*at) >= 0x20 && uchar(*at) <= 0x3f;)
            ++at;
    return at == end ? escape - bytes.data() : -1;
}

struct Piece {
    QByteArray bytes;
    qsizetype lineBreaks = 0;
    bool moves = false; // see mayMoveUp
    qsizetype credit() const { return moves ? 0 : lineBreaks; }
};
} // namespace

// What the producers, the main thread and the file writer share. Outlives the OutputLog for
// writers still held by other threads. The pieces are shared, not copied, between the main
// thread's queue and the file writer's.
struct OutputLog::Inbox {
    std::mutex mutex;
    std::condition_variable fileWork; // the file writer waits here
    std::condition_variable room;     // readers held back wait here
    std::deque<Piece> pending;        // for the main thread
    qsizetype pendingBytes = 0;
    qint64 pendingCredit = 0; // line breaks of pieces that cannot move the cursor up
    qint64 pendingMoves = 0;  // pieces that may
    QByteArray openTail;      // a sequence the last piece left unfinished
    int screenRows = 0;       // the most the tail's screen has had
    // The parser as it stands where `pending` begins; unknown while the main thread parses
    // what it took last, since only it sees that text whole.
    AnsiParser startState;
    bool startKnown = true;
    bool scanning = false;    // the parser's state is being carried across a cut
    qint64 skippedBreaks = 0; // cut from the front since the main thread last took
    qsizetype keptLines = 1;
    qsizetype addedSinceTake = 0;     // while the main thread parses: is the flood still going?
    std::deque<QByteArray> fileBytes; // for the file writer
    qsizetype fileSize = 0;
    qint64 fileQueued = 0;      // bytes ever handed to the file writer
    qint64 fileHandled = 0;     // of those, written or given up on
    bool reportWritten = false; // the main thread waits to hear of fileHandled
    bool handOverQueued = false;
    bool writing = false;
    bool stopping = false;
    int readersWaiting = 0;
    OutputLog* owner = nullptr;

    // Called with the mutex held, so all three channels see the same order; `breaks` and
    // `moves` are found before, without it. The CLI's own output has a capped share of the
    // console.
    void add(const QByteArray& utf8, qsizetype breaks, bool moves, bool fromCli) {
        static const QString echo = QStringLiteral("🔧 VantrelManager outputHandler called with: ");
        if (fromCli)
            Console::logOutput(echo, utf8);
        else
            Console::log(echo, utf8);
        // A sequence cut between two pieces acts in the second: it is read across the cut.
        constexpr qsizetype longest = 64; // beyond any sequence a program means
        const qsizetype own = unfinishedFrom(utf8);
        QByteArray tail = own >= 0 ? utf8.sliced(own) : QByteArray();
        if (!openTail.isEmpty()) {
            const QByteArray joined = openTail + utf8.first(std::min(utf8.size(), longest));
            moves = moves || mayMoveUp(joined);
            const qsizetype still = unfinishedFrom(joined);
            if (own < 0 && still >= 0 && still < openTail.size()) {
                if (joined.size() - still > longest)
                    moves = true;
                else
                    tail = joined.sliced(still);
            }
        }
        openTail = tail;
        pending.push_back({utf8, breaks, moves});
        pendingBytes += utf8.size();
        addedSinceTake += utf8.size();
        pendingCredit += pending.back().credit();
        pendingMoves += pending.back().moves;
        // A busy writer comes back for more by itself; waking costs a system call.
        if (fileBytes.empty() && !writing)
            fileWork.notify_one();
        fileBytes.push_back(utf8);
        fileSize += utf8.size();
        fileQueued += utf8.size();
        if (handOverQueued || !owner)
            return;
        handOverQueued = true;
        QMetaObject::invokeMethod(owner, &OutputLog::handOver, Qt::QueuedConnection);
    }
    // Drops whole pieces from the front while what follows them makes more new lines than the
    // tail keeps, so every line they touch would be trimmed before anyone saw it. Line breaks
    // after a cursor that may stand a screen's height up, once and after each piece that may
    // move it up, move it down instead; and a piece that may move or save the cursor is never
    // dropped. The scan that carries the parser's state across them runs with the mutex
    // released.
    void cutFront(std::unique_lock<std::mutex>& lock) {
        if (!startKnown || scanning)
            return;
        std::vector<QByteArray> cut;
        qint64 breaks = 0;
        const auto enoughAfter = [this] {
            const qint64 credit = pendingCredit - pending.front().credit();
            return credit - qint64(screenRows) * (pendingMoves + 2) >= keptLines;
        };
        while (pending.size() > 1 && !pending.front().moves && enoughAfter()) {
            Piece& front = pending.front();
            breaks += front.lineBreaks;
            pendingCredit -= front.credit();
            pendingBytes -= front.bytes.size();
            cut.push_back(std::move(front.bytes));
            pending.pop_front();
        }
        if (cut.empty())
            return;
        scanning = true;
        AnsiParser state = startState;
        lock.unlock();
        for (const QByteArray& bytes : cut)
            state.skip(bytes);
        cut.clear();
        lock.lock();
        startState = state;
        skippedBreaks += breaks;
        scanning = false;
        room.notify_all();
    }
    void madeRoom() {
        if (readersWaiting > 0)
            room.notify_all();
    }
};

// Who asked to hear when the file holds the first `target` bytes handed to the writer.
struct OutputLog::WrittenWaiter {
    qint64 target;
    QPointer<QObject> context;
    std::function<void()> done;
};

OutputLog::OutputLog(const SupervisorOptions& options, const QString& initialText, QObject* parent)
    : QObject(parent), options_(options),
      tail_(std::make_unique<TerminalBuffer>(TerminalBuffer::Limits{
          .maxLines = options.retainedLines, .maxChars = options.retainedChars})),
      inbox_(std::make_shared<Inbox>()) {
    tail_->append(initialText);
    inbox_->owner = this;
    inbox_->keptLines = tail_->limits().maxLines;
    inbox_->screenRows = tail_->screenRows();
    inbox_->startState = tail_->parser();
    inbox_->fileBytes.push_back(initialText.toUtf8());
    inbox_->fileSize = inbox_->fileBytes.back().size();
    inbox_->fileQueued = inbox_->fileSize;
    // Under a flood the hand-overs are spaced out, so each slice is worth its fixed costs;
    // a lone line after a quiet spell still goes at once.
    handOverTimer_.setSingleShot(true);
    connect(&handOverTimer_, &QTimer::timeout, this, &OutputLog::takePending);
    sinceHandOver_.start();
    fileWriter_ = std::thread([inbox = inbox_, options = options_] {
        const auto report = [weak = std::weak_ptr<Inbox>(inbox)](const QString& message) {
            if (const auto inbox = weak.lock()) {
                const QByteArray utf8 = message.toUtf8();
                const qsizetype breaks = countNewlines(utf8);
                std::lock_guard lock(inbox->mutex);
                inbox->add(utf8, breaks, mayMoveUp(utf8), false);
            }
        };
        LogFile file(options.logDir, options.logFileName, options.logRotateBytes,
                     options.logKeepFiles, report);
        QByteArray gathered;
        std::unique_lock lock(inbox->mutex);
        for (;;) {
            inbox->fileWork.wait(lock,
                                 [&] { return inbox->stopping || !inbox->fileBytes.empty(); });
            if (inbox->fileBytes.empty())
                return; // stopping, and everything is written
            const std::deque<QByteArray> pieces = std::exchange(inbox->fileBytes, {});
            const qsizetype batchBytes = std::exchange(inbox->fileSize, 0);
            inbox->writing = true;
            lock.unlock();
            for (const QByteArray& piece : pieces) {
                if (piece.size() >= kGatherBytes / 16) {
                    if (!gathered.isEmpty())
                        file.write(gathered);
                    gathered.truncate(0);
                    file.write(piece);
                    continue;
                }
                gathered += piece;
                if (gathered.size() >= kGatherBytes) {
                    file.write(gathered);
                    gathered.truncate(0);
                }
            }
            if (!gathered.isEmpty())
                file.write(gathered);
            gathered.truncate(0);
            lock.lock();
            inbox->writing = false;
            inbox->fileHandled += batchBytes;
            inbox->madeRoom();
            if (inbox->owner && std::exchange(inbox->reportWritten, false))
                QMetaObject::invokeMethod(
                    inbox->owner,
                    [log = inbox->owner, handled = inbox->fileHandled] {
                        log->reportWritten(handled);
                    },
                    Qt::QueuedConnection);
        }
    });
}

OutputLog::~OutputLog() {
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->owner = nullptr;
        inbox_->stopping = true;
    }
    inbox_->fileWork.notify_all();
    inbox_->room.notify_all();
    fileWriter_.join();
}

OutputLog::Writer OutputLog::writer() const {
    return [weak = std::weak_ptr<Inbox>(inbox_)](const QString& text) {
        if (text.isEmpty())
            return;
        if (const auto inbox = weak.lock()) {
            const QByteArray utf8 = text.toUtf8();
            const qsizetype breaks = countNewlines(utf8);
            const bool moves = mayMoveUp(utf8);
            std::unique_lock lock(inbox->mutex);
            inbox->add(utf8, breaks, moves, false);
            inbox->cutFront(lock);
        }
    };
}

void OutputLog::appendFromReader(const QByteArray& utf8, const std::atomic<bool>& cancelled) {
    if (utf8.isEmpty())
        return;
    const qsizetype breaks = countNewlines(utf8);
    const bool moves = mayMoveUp(utf8);
    std::unique_lock lock(inbox_->mutex);
    const auto behind = [&] {
        inbox_->cutFront(lock);
        return inbox_->pendingBytes > kMaxPendingBytes || inbox_->fileSize > kMaxPendingFileBytes;
    };
    ++inbox_->readersWaiting;
    // Woken by the main thread and the file writer; the timeout only notices `cancelled`.
    while (behind() && !inbox_->stopping && !cancelled)
        inbox_->room.wait_for(lock, std::chrono::milliseconds(50));
    --inbox_->readersWaiting;
    inbox_->add(utf8, breaks, moves, true);
    inbox_->cutFront(lock);
}

QString OutputLog::filePath() const {
    return options_.logDir + QLatin1Char('/') + options_.logFileName;
}

void OutputLog::handOver() {
    const qint64 since = sinceHandOver_.elapsed();
    if (since >= kSpacingMs)
        takePending();
    else if (!handOverTimer_.isActive())
        handOverTimer_.start(int(kSpacingMs - since));
}

bool OutputLog::takePending() {
    handOverTimer_.stop();
    sinceHandOver_.restart();
    std::deque<Piece> taken;
    qsizetype bytes = 0;
    qint64 skipped = 0;
    AnsiParser skippedTo;
    bool more = false;
    {
        std::lock_guard lock(inbox_->mutex);
        Inbox& inbox = *inbox_;
        if (inbox.scanning) {
            // Where the waiting text starts is being worked out: soon, and off this thread.
            inbox.handOverQueued = true;
            handOverTimer_.start(1);
            return false;
        }
        while (!inbox.pending.empty() && bytes < kSliceBytes) {
            bytes += inbox.pending.front().bytes.size();
            inbox.pendingBytes -= inbox.pending.front().bytes.size();
            inbox.pendingCredit -= inbox.pending.front().credit();
            inbox.pendingMoves -= inbox.pending.front().moves;
            taken.push_back(std::move(inbox.pending.front()));
            inbox.pending.pop_front();
        }
        skipped = std::exchange(inbox.skippedBreaks, 0);
        if (skipped > 0)
            skippedTo = inbox.startState;
        inbox.startKnown = taken.empty();
        inbox.addedSinceTake = 0;
        more = !inbox.pending.empty();
        // A slice still waiting is taken on this log's own schedule.
        inbox.handOverQueued = more;
        inbox.madeRoom();
    }
    if (taken.empty())
        return false;
    Console::log(QStringLiteral("🔧 VantrelManager updating output on main thread"));
    if (skipped > 0)
        tail_->skip(skippedTo, skipped);
    // Decoded once, here, and only what the tail keeps. Each piece is whole characters, so it
    // is decoded on its own: what is not UTF-8, a character cut short included, shows as U+FFFD.
    QString batch(bytes, Qt::Uninitialized);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QChar* end = batch.data();
    for (const Piece& piece : taken)
        end = decoder.appendToBuffer(end, piece.bytes);
    batch.truncate(end - batch.constData());
    taken.clear();
    tail_->append(batch);
    Console::log(QStringLiteral("🔧 VantrelManager output is now: %1 characters").arg(size()));
    bool flooding = false;
    {
        std::unique_lock lock(inbox_->mutex);
        inbox_->startState = tail_->parser();
        inbox_->startKnown = true;
        inbox_->screenRows = std::max(inbox_->screenRows, tail_->screenRows());
        flooding = inbox_->addedSinceTake > 0;
        inbox_->madeRoom();
        inbox_->cutFront(lock);
    }
    Q_EMIT appended(batch);
    // While the flood goes on, the next slice waits for the spacing after this one's end, so
    // the main thread keeps time for everything else and more of the flood is skipped. Once it
    // is over, what is left is all kept: it goes slice by slice, a turn of the loop apart.
    sinceHandOver_.restart();
    if (more && !handOverTimer_.isActive())
        handOverTimer_.start(flooding ? kSpacingMs : 0);
    return more;
}

void OutputLog::whenWritten(QObject* context, std::function<void()> done) {
    {
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->fileHandled < inbox_->fileQueued) {
            inbox_->reportWritten = true;
            writtenWaiters_.push_back({inbox_->fileQueued, context, std::move(done)});
            return;
        }
    }
    // Already written: still on a later turn, as when the writer reports.
    QMetaObject::invokeMethod(context, std::move(done), Qt::QueuedConnection);
}

void OutputLog::reportWritten(qint64 handled) {
    std::vector<WrittenWaiter> due;
    std::erase_if(writtenWaiters_, [&](WrittenWaiter& waiter) {
        if (waiter.target > handled)
            return false;
        due.push_back(std::move(waiter));
        return true;
    });
    if (!writtenWaiters_.empty()) {
        // A later report may already have been taken by this one; ask again if so.
        std::lock_guard lock(inbox_->mutex);
        if (inbox_->fileHandled > handled)
            QMetaObject::invokeMethod(
                this, [this, now = inbox_->fileHandled] { reportWritten(now); },
                Qt::QueuedConnection);
        else
            inbox_->reportWritten = true;
    }
    for (WrittenWaiter& waiter : due)
        if (waiter.context)
            waiter.done();
}

bool OutputLog::hasPending() const {
    std::lock_guard lock(inbox_->mutex);
    return !inbox_->pending.empty() || inbox_->scanning;
}
