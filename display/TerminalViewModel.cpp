#include "TerminalViewModel.h"

#include "Console.h"

namespace {
const QString startingMessage = QStringLiteral("🚀 Starting Vantrel CLI setup...\n");

QString characters(qsizetype n) {
    return QStringLiteral("%1 characters").arg(n);
}
} // namespace

TerminalViewModel::TerminalViewModel(VantrelManager* manager, QObject* parent)
    : QObject(parent), manager_(manager) {
    Console::log(QStringLiteral("🖥️ TerminalViewModel init called"));
    Console::log(QStringLiteral("🖥️ TerminalViewModel initial output: ") + startingMessage);
    if (!manager_)
        return;
    // The log as it is now, shown on the next turn; every later batch is queued behind it, so
    // nothing is missed and nothing arrives twice. Both deliveries are bound to this object:
    // whatever is still queued when it is destroyed is dropped with it.
    const qint64 end = manager_->outputLog().end();
    connect(manager_, &VantrelManager::outputAppended, this, &TerminalViewModel::deliver,
            Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        this, [this, end] { deliverAll(end); }, Qt::QueuedConnection);
}

TerminalViewModel::~TerminalViewModel() {
    Console::log(QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up"));
}

QString TerminalViewModel::output() const {
    if (!delivered_)
        return startingMessage;
    return manager_ ? manager_->outputLog().textUpTo(end_) : QString();
}

QString TerminalViewModel::logFilePath() const {
    return manager_ ? manager_->logFilePath() : QString();
}

void TerminalViewModel::deliverAll(qint64 end) {
    delivered_ = true;
    end_ = end;
    const QString text = output();
    Console::log(QStringLiteral("🖥️ TerminalViewModel received new output: ") +
                 characters(text.size()));
    Console::log(QStringLiteral("🖥️ TerminalViewModel output updated to: ") +
                 characters(text.size()));
    Q_EMIT outputReset(text);
}

void TerminalViewModel::deliver(const QString& batch) {
    if (!manager_)
        return;
    end_ += batch.size();
    Console::log(QStringLiteral("🖥️ TerminalViewModel received new output: ") +
                 characters(batch.size()));
    const OutputLog& log = manager_->outputLog();
    Console::log(QStringLiteral("🖥️ TerminalViewModel output updated to: ") +
                 characters(end_ - (log.end() - log.size())));
    Q_EMIT outputAppended(batch);
}
