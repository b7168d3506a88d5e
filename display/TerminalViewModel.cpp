#include "TerminalViewModel.h"

#include "output/Console.h"

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
    // The log is announced on the next turn and every later batch behind it, so nothing is
    // missed; a batch added in between is in both (views read the tail itself, so they draw it
    // once). Both deliveries are bound to this object: whatever is still queued when it is
    // destroyed is dropped with it.
    connect(manager_, &VantrelManager::outputAppended, this, &TerminalViewModel::deliver,
            Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, &TerminalViewModel::deliverAll, Qt::QueuedConnection);
}

TerminalViewModel::~TerminalViewModel() {
    Console::log(QStringLiteral("🖥️ TerminalViewModel deinit called - cleaning up"));
}

QString TerminalViewModel::output() const {
    if (!delivered_)
        return startingMessage;
    return manager_ ? manager_->output() : QString();
}

QString TerminalViewModel::logFilePath() const {
    return manager_ ? manager_->logFilePath() : QString();
}

void TerminalViewModel::whenLogWritten(QObject* context, std::function<void()> done) const {
    if (manager_)
        manager_->whenLogWritten(context, std::move(done));
    else
        QMetaObject::invokeMethod(context, std::move(done), Qt::QueuedConnection);
}

void TerminalViewModel::deliverAll() {
    delivered_ = true;
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
    Console::log(QStringLiteral("🖥️ TerminalViewModel received new output: ") +
                 characters(batch.size()));
    Console::log(QStringLiteral("🖥️ TerminalViewModel output updated to: ") +
                 characters(manager_->outputLog().size()));
    Q_EMIT outputAppended(batch);
}
