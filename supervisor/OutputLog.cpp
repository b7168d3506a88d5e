#include "OutputLog.h"
#include "Console.h"
#include "LogFile.h"

#include <QCoreApplication>

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {
// How far the main thread and the disk may fall behind a reader before it is held back.
constexpr qsizetype kMaxPendingChars = 4 * 1024 * 1024;
constexpr qsizetype kMaxPendingFileBytes = 16 * 1024 * 1024;

qsizetype countNewlines(QStringView text) {
    return text.count(QLatin1Char('\n'));
}
} // namespace

// What the producers, the main thread and the file writer share. Outlives the OutputLog for
// writers still held by other threads.
struct OutputLog::Inbox {
    std::mutex mutex;
    std::condition_variable changed;
    QString pending;          // for the main thread
    QByteArray fileBytes;     // for the file writer
    bool handOverQueued = false;
    bool writing = false;
    bool stopping = false;
    OutputLog* owner = nullptr;

    // Called with the mutex held, so all three channels see the same order.
    void add(const QString& text, const QByteArray& utf8) {
        Console::log(QStringLiteral("🔧 VantrelManager outputHandler called with: "), utf8);
        pending += text;
        fileBytes += utf8;
        changed.notify_all();
        if (handOverQueued || !owner)
            return;
        handOverQueued = true;
        QMetaObject::invokeMethod(owner, &OutputLog::takePending, Qt::QueuedConnection);
    }
};

OutputLog::OutputLog(const SupervisorOptions& options, const QString& initialText, QObject* parent)
    : QObject(parent), options_(options), inbox_(std::make_shared<Inbox>()) {
    inbox_->owner = this;
    inbox_->fileBytes = initialText.toUtf8();
    text_ = initialText;
    lines_ = countNewlines(text_);
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
            inbox->changed.wait(lock, [&] { return inbox->stopping || !inbox->fileBytes.isEmpty(); });
            if (inbox->fileBytes.isEmpty())
                return; // stopping, and everything is written
            const QByteArray bytes = std::exchange(inbox->fileBytes, QByteArray());
            inbox->writing = true;
            lock.unlock();
            file.write(bytes);
            lock.lock();
            inbox->writing = false;
            inbox->changed.notify_all();
        }
    });
}

OutputLog::~OutputLog() {
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->owner = nullptr;
        inbox_->stopping = true;
    }
    inbox_->changed.notify_all();
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
    // Woken by the main thread and the file writer; the timeout only notices `cancelled`.
    while (behind() && !inbox_->stopping && !cancelled)
        inbox_->changed.wait_for(lock, std::chrono::milliseconds(20));
    inbox_->add(text, utf8);
}

QString OutputLog::textUpTo(qint64 position) const {
    const qint64 length = std::min<qint64>(position - dropped_, size());
    if (length <= 0)
        return {};
    return length == size() ? text() : text_.sliced(head_, length);
}

QString OutputLog::filePath() const {
    return options_.logDir + QLatin1Char('/') + options_.logFileName;
}

void OutputLog::takePending() {
    QString batch;
    {
        std::lock_guard lock(inbox_->mutex);
        inbox_->handOverQueued = false;
        batch = std::exchange(inbox_->pending, QString());
    }
    inbox_->changed.notify_all();
    if (batch.isEmpty())
        return;
    Console::log(QStringLiteral("🔧 VantrelManager updating output on main thread"));
    retain(batch);
    Console::log(QStringLiteral("🔧 VantrelManager output is now: %1 characters").arg(size()));
    Q_EMIT appended(batch);
}

void OutputLog::retain(const QString& batch) {
    text_ += batch;
    lines_ += countNewlines(batch);
    if (size() <= options_.retainedChars && lines_ <= options_.retainedLines)
        return;
    // Trim to 90 % of the bounds at once, so trimming stays rare under a flood.
    const qsizetype dropChars = size() - options_.retainedChars * 9 / 10;
    const qsizetype dropLines = lines_ - options_.retainedLines * 9 / 10;
    qsizetype cut = head_;
    qsizetype lines = 0;
    while (cut < text_.size() && (cut - head_ < dropChars || lines < dropLines)) {
        const qsizetype newline = text_.indexOf(QLatin1Char('\n'), cut);
        if (newline < 0) {
            cut = std::max(cut, head_ + dropChars); // one enormous line: cut inside it
            break;
        }
        cut = newline + 1;
        ++lines;
    }
    dropped_ += cut - head_;
    head_ = cut;
    lines_ -= lines;
    // The dropped prefix is given back only once it outgrows the tail, so a flood moves each
    // character about once instead of on every trim.
    if (head_ > options_.retainedChars) {
        text_.remove(0, head_);
        head_ = 0;
    }
}

void OutputLog::flush() {
    takePending();
    std::unique_lock lock(inbox_->mutex);
    inbox_->changed.wait_for(lock, std::chrono::seconds(2), [this] {
        return inbox_->fileBytes.isEmpty() && !inbox_->writing;
    });
}
