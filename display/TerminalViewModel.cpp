#include "TerminalViewModel.h"

#include "Console.h"
#include "VantrelManager.h"

namespace {
QString characters(qsizetype n) {
    return QStringLiteral("%1 characters").arg(n);
}
} // namespace

TerminalViewModel::TerminalViewModel() : TerminalViewModel(VantrelManager::shared()) {}

TerminalViewModel::TerminalViewModel(VantrelManager* manager, QObject* parent)
    : QObject(parent), manager_(manager) {
    Console::log(QStringLiteral("🖥️ TerminalViewModel init called"));
    output_ = QStringLiteral("🚀 Starting Vantrel CLI setup...\n");
    outputLines_ = 1;
    Console::log(QStringLiteral("🖥️ TerminalViewModel initial output: ") + output_);
    if (!manager_)
        return;
    // The log as it is now, shown on the next turn; every later batch is queued behind it, so
    // nothing is missed and nothing arrives twice. Both deliveries are bound to this object:
    // whatever is still queued when it is destroyed is dropped with it.
    const QString retained = manager_->output();
    connect(manager_, &VantrelManager::outputAppended, this, &TerminalViewModel::append,
            Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        this, [this, retained] { takeRetained(retained); }, Qt::QueuedConnection);
}

TerminalViewModel::~TerminalViewModel() {
    Console::log(QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up"));
    if (manager_)
        disconnect(manager_, nullptr, this, nullptr);
    manager_ = nullptr;
}

QString TerminalViewModel::logFilePath() const {
    return manager_ ? manager_->logFilePath() : QString();
}

void TerminalViewModel::takeRetained(const QString& retained) {
    Console::log(QStringLiteral("🖥️ TerminalViewModel received new output: ") +
                 characters(retained.size()));
    output_ = retained;
    outputLines_ = retained.count(QLatin1Char('\n'));
    trimToBounds();
    Console::log(QStringLiteral("🖥️ TerminalViewModel output updated to: ") +
                 characters(output_.size()));
    Q_EMIT outputReset(output_);
}

void TerminalViewModel::append(const QString& batch) {
    Console::log(QStringLiteral("🖥️ TerminalViewModel received new output: ") +
                 characters(batch.size()));
    output_ += batch;
    outputLines_ += batch.count(QLatin1Char('\n'));
    trimToBounds();
    Console::log(QStringLiteral("🖥️ TerminalViewModel output updated to: ") +
                 characters(output_.size()));
    Q_EMIT outputAppended(batch);
}

// The supervisor's own rule, applied to the same text, gives the same cut.
void TerminalViewModel::trimToBounds() {
    if (!manager_)
        return;
    const qsizetype maxChars = manager_->options().retainedChars;
    const qsizetype maxLines = manager_->options().retainedLines;
    if (output_.size() <= maxChars && outputLines_ <= maxLines)
        return;
    const qsizetype dropChars = output_.size() - maxChars * 9 / 10;
    const qsizetype dropLines = outputLines_ - maxLines * 9 / 10;
    qsizetype cut = 0;
    qsizetype lines = 0;
    while (cut < output_.size() && (cut < dropChars || lines < dropLines)) {
        const qsizetype newline = output_.indexOf(QLatin1Char('\n'), cut);
        if (newline < 0) {
            cut = std::max(cut, dropChars);
            break;
        }
        cut = newline + 1;
        ++lines;
    }
    output_.remove(0, cut);
    outputLines_ -= lines;
}
