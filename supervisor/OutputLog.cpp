#include "OutputLog.h"
#include "Console.h"
#include "LogFile.h"

#include <QCoreApplication>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {
// How far the main thread and the disk may fall behind a reader before it is held back.
constexpr qsizetype kMaxPendingChars = 2 * 1024 * 1024;
constexpr qsizetype kMaxPendingFileBytes = 8 * 1024 * 1024;

// Qt's count() compares one character at a time; this loop is one the compiler vectorises,
// and it runs over everything a flood brings.
qsizetype countNewlines(QStringView text) {
    qsizetype count = 0;
    const char16_t* const data = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i)
        count += data[i] == u'\n';
    return count;
}
} // namespace

// What the producers, the main thread and the file writer share. Outlives the OutputLog for
// writers still held by other threads.
struct OutputLog::Inbox {
    std::mutex mutex;
    std::condition_variable fileWork; // the file writer waits here
    std::condition_variable room;     // readers held back wait here
    QString pending;                  // for the main thread
    QByteArray fileBytes;             // for the file writer
    bool handOverQueued = false;
    bool writing = false;
    bool stopping = false;
    int readersWaiting = 0;
    OutputLog* owner = nullptr;

    // Called with the mutex held, so all three channels see the same order.
    void add(const QString& text, const QByteArray& utf8) {
        Console::log(QStringLiteral("🔧 VantrelManager outputHandler called with: "), utf8);
        pending += text;
        // A busy writer comes back for more by itself; waking costs a system call.
        if (fileBytes.isEmpty() && !writing)
            fileWork.notify_one();
        fileBytes += utf8;
        if (handOverQueued || !owner)
            return;
        handOverQueued = true;
        QMetaObject::invokeMethod(owner, &OutputLog::handOver, Qt::QueuedConnection);
    }
    void madeRoom() {
        if (readersWaiting > 0)
            room.notify_all();
    }
};

OutputLog::OutputLog(const SupervisorOptions& options, const QString& initialText, QObject* parent)
    : QObject(parent), options_(options), inbox_(std::make_shared<Inbox>()) {
    inbox_->owner = this;
    inbox_->fileBytes = initialText.toUtf8();
    retain(initialText);
    // Under a flood the hand-overs are spaced out, so each batch is worth its fixed costs;
    // a lone line after a quiet spell still goes at once.
    handOverTimer_.setSingleShot(true);
    connect(&handOverTimer_, &QTimer::timeout, this, &OutputLog::takePending);
    sinceHandOver_.start();
    fileWriter_ = std::thread([inbox = inbox_, options = options_] {
        const auto report = [weak = std::weak_ptr<Inbox>(inbox)](const QString& message) {
            if (const auto inbox = weak.lock()) {
                std::lock_guard lock(inbox->mutex);
                inbox->add(message, message.toUtf8());
            }
        };
        LogFile file(options.logDir, options.logFileName, options.logRotateBytes,
                     options.logKeepFiles, report);
        std::unique_lock lock(inbox->mutex);
        for (;;) {
            inbox->fileWork.wait(lock,
                                 [&] { return inbox->stopping || !inbox->fileBytes.isEmpty(); });
            if (inbox->fileBytes.isEmpty())
                return; // stopping, and everything is written
            const QByteArray bytes = std::exchange(inbox->fileBytes, QByteArray());
            inbox->writing = true;
            lock.unlock();
            file.write(bytes);
            lock.lock();
            inbox->writing = false;
            inbox->madeRoom();
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
            std::lock_guard lock(inbox->mutex);
            inbox->add(text, utf8);
        }
    };
}

void OutputLog::appendFromReader(const QString& text, const QByteArray& utf8,
                                 const std::atomic<bool>& cancelled) {
    std::unique_lock lock(inbox_->mutex);
    const auto behind = [this] {
        return inbox_->pending.size() > kMaxPendingChars ||
               inbox_->fileBytes.size() > kMaxPendingFileBytes;
    };
    ++inbox_->readersWaiting;
    // Woken by the main thread and the file writer; the timeout only notices `cancelled`.
    while (behind() && !inbox_->stopping && !cancelled)
        inbox_->room.wait_for(lock, std::chrono::milliseconds(50));
    --inbox_->readersWaiting;
    inbox_->add(text, utf8);
}

QString OutputLog::textUpTo(qint64 position) const {
    qsizetype length = std::min<qint64>(position - dropped_, size_);
    QString text;
    if (length <= 0)
        return text;
    if (chunks_.size() == 1 && head_ == 0 && length == size_)
        return chunks_.front(); // shared, not copied
    text.reserve(length);
    qsizetype from = head_;
    for (const QString& chunk : chunks_) {
        const qsizetype take = std::min(chunk.size() - from, length);
        text.append(QStringView(chunk).sliced(from, take));
        length -= take;
        from = 0;
        if (length == 0)
            break;
    }
    return text;
}

QString OutputLog::filePath() const {
    return options_.logDir + QLatin1Char('/') + options_.logFileName;
}

void OutputLog::handOver() {
    constexpr int spacingMs = 8;
    const qint64 since = sinceHandOver_.elapsed();
    if (since >= spacingMs)
        takePending();
    else if (!handOverTimer_.isActive())
        handOverTimer_.start(int(spacingMs - since));
}

void OutputLog::takePending() {
    handOverTimer_.stop();
    sinceHandOver_.restart();
    QString batch;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->handOverQueued = false;
        batch = std::exchange(inbox_->pending, QString());
        inbox_->madeRoom();
    }
    if (batch.isEmpty())
        return;
    Console::log(QStringLiteral("🔧 VantrelManager updating output on main thread"));
    retain(batch);
    Console::log(QStringLiteral("🔧 VantrelManager output is now: %1 characters").arg(size_));
    Q_EMIT appended(batch);
}

void OutputLog::retain(const QString& batch) {
    if (batch.isEmpty())
        return;
    chunks_.push_back(batch);
    size_ += batch.size();
    lines_ += countNewlines(batch);
    // Trim to 90 % of the bounds at once, so trimming stays rare under a flood.
    if (size_ > options_.retainedChars || lines_ > options_.retainedLines)
        trimFront(size_ - options_.retainedChars * 9 / 10,
                  lines_ - options_.retainedLines * 9 / 10);
}

// Drops whole lines from the front until at least `chars` characters and `lines` lines are
// gone; only one enormous line is cut inside.
void OutputLog::trimFront(qsizetype chars, qsizetype lines) {
    qsizetype droppedChars = 0;
    qsizetype droppedLines = 0;
    bool midLine = false;
    const auto unfinished = [&](qsizetype extra) {
        return droppedChars + extra < chars || droppedLines < lines || midLine;
    };
    while (!chunks_.empty() && unfinished(0)) {
        const QStringView rest = QStringView(chunks_.front()).sliced(head_);
        const bool last = chunks_.size() == 1;
        qsizetype cut = 0;
        const qsizetype newlines = countNewlines(rest);
        if (!last && (droppedChars + rest.size() < chars || droppedLines + newlines < lines)) {
            // The trim cannot end inside this chunk: it goes whole.
            cut = rest.size();
            droppedLines += newlines;
            midLine = !rest.endsWith(QLatin1Char('\n'));
        } else {
            while (cut < rest.size() && unfinished(cut)) {
                const qsizetype newline = rest.indexOf(QLatin1Char('\n'), cut);
                if (newline < 0) {
                    // The rest of this chunk is part of a line: the next chunk finishes it,
                    // or, in the last one, one enormous line is cut inside.
                    cut = last ? std::max(cut, std::min(rest.size(), chars - droppedChars))
                               : rest.size();
                    midLine = !last;
                    break;
                }
                cut = newline + 1;
                ++droppedLines;
                midLine = false;
            }
        }
        droppedChars += cut;
        head_ += cut;
        if (head_ == chunks_.front().size()) {
            chunks_.pop_front();
            head_ = 0;
        } else {
            break;
        }
    }
    size_ -= droppedChars;
    lines_ -= droppedLines;
    dropped_ += droppedChars;
}

void OutputLog::flush() {
    takePending();
    std::unique_lock lock(inbox_->mutex);
    ++inbox_->readersWaiting;
    inbox_->room.wait_for(lock, std::chrono::seconds(2), [this] {
        return inbox_->fileBytes.isEmpty() && !inbox_->writing;
    });
    --inbox_->readersWaiting;
}
