#include "VantrelManager.h"
#include "CliProcess.h"
#include "Console.h"
#include "LogFile.h"
#include "ProcessGroup.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMutex>
#include <QThread>

#include <csignal>
#include <cstring>

#ifndef HALVANE_DEFAULT_BASE_URL
#define HALVANE_DEFAULT_BASE_URL "https://downloads.halvane.dev/static/cli"
#endif

namespace {
QString xdgDir(const char* variable, const QString& fallback) {
    const QString value = qEnvironmentVariable(variable);
    // Relative values are invalid by the XDG rules and must be ignored.
    return (!value.isEmpty() && QDir::isAbsolutePath(value)) ? value : fallback;
}
qsizetype countNewlines(const QByteArray& bytes) {
    qsizetype count = 0;
    const char* at = bytes.constData();
    const char* end = at + bytes.size();
    while ((at = static_cast<const char*>(std::memchr(at, '\n', size_t(end - at))))) {
        ++count;
        ++at;
    }
    return count;
}
} // namespace

// Chunks written from any thread wait here; the first chunk of a batch posts one hand-over
// to the main thread, later ones only join the batch. A flood therefore costs one queued
// event per batch, however many chunks it has.
struct OutputInbox {
    QMutex mutex;
    QString pending;
    bool queued = false;
    QPointer<VantrelManager> owner;

    static void post(const std::shared_ptr<OutputInbox>& inbox, const QString& chunk) {
        Console::log(QStringLiteral("🔧 VantrelManager outputHandler called with: ") + chunk);
        bool postNow = false;
        {
            QMutexLocker lock(&inbox->mutex);
            inbox->pending += chunk;
            postNow = !inbox->queued;
            inbox->queued = true;
        }
        if (!postNow)
            return;
        std::weak_ptr<OutputInbox> weak = inbox;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [weak] {
                Console::log(QStringLiteral("🔧 VantrelManager updating output on main thread"));
                const auto inbox = weak.lock();
                VantrelManager* manager = inbox ? inbox->owner.data() : nullptr;
                if (!manager) {
                    Console::log(QStringLiteral("🔧 VantrelManager output is now: nil"));
                    return;
                }
                manager->takeInbox();
                Console::log(QStringLiteral("🔧 VantrelManager output is now: %1 characters")
                                 .arg(manager->outputSize()));
            },
            Qt::QueuedConnection);
    }

    QString take() {
        QMutexLocker lock(&mutex);
        queued = false;
        return std::exchange(pending, QString());
    }
};

SupervisorOptions SupervisorOptions::fromEnvironment() {
    SupervisorOptions options;
    const QString home = QDir::homePath();
    options.installDir = home + QStringLiteral("/.vantrel/bin");
#ifdef Q_OS_MACOS
    options.stateDir = home + QStringLiteral("/Library/Application Support/Vantrel Halvane");
    options.logDir = home + QStringLiteral("/Library/Logs/Vantrel Halvane");
#else
    options.stateDir = xdgDir("XDG_STATE_HOME", home + QStringLiteral("/.local/state")) +
                       QStringLiteral("/halvane");
    options.logDir = options.stateDir;
#endif
    const QUrl compiled(QStringLiteral(HALVANE_DEFAULT_BASE_URL));
    options.baseURL = compiled;
    const QString override = qEnvironmentVariable("HALVANE_BASE_URL");
    if (!override.isEmpty()) {
        const QUrl url(override, QUrl::StrictMode);
        if (url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty())
            options.baseURL = url;
        else
            Console::log(QStringLiteral("⚠️ HALVANE_BASE_URL is not an https URL, using ") +
                         compiled.toString());
    }
    options.caCertificates = qEnvironmentVariable("HALVANE_CA_CERTS");
    // For the application's own end-to-end tests, which must never sweep real CLIs.
    const QString pattern = qEnvironmentVariable("HALVANE_SWEEP_PATTERN");
    if (!pattern.isEmpty())
        options.sweepPattern = pattern;
    // Lets those tests see a stalled download give up in seconds rather than half a minute.
    bool ok = false;
    const int stallMs = qEnvironmentVariableIntValue("HALVANE_STALL_TIMEOUT_MS", &ok);
    if (ok && stallMs >= 100 && stallMs <= 600000)
        options.stallTimeoutMs = stallMs;
    return options;
}

VantrelManager::VantrelManager(SupervisorOptions options, QObject* parent)
    : QObject(parent), options_(std::move(options)), inbox_(std::make_shared<OutputInbox>()) {
    qRegisterMetaType<SupervisorState>();
    inbox_->owner = this;
    std::weak_ptr<OutputInbox> weak = inbox_;
    outputHandler = [weak](const QString& chunk) {
        if (const auto inbox = weak.lock())
            OutputInbox::post(inbox, chunk);
    };
    log_ = std::make_unique<LogFile>(options_.logDir, options_.logFileName, options_.logRotateBytes,
                                     options_.logKeepFiles, options_.logFlushMs,
                                     [this](const QString& message) { say(message); });
    output_ = QStringLiteral("🔧 Vantrel Manager initialized\n");
    outputLines_ = 1;
    log_->write(output_);
}

VantrelManager::~VantrelManager() {
    inbox_->owner = nullptr;
    flushLog();
}

VantrelManager* VantrelManager::shared() {
    static VantrelManager* instance = new VantrelManager();
    return instance;
}

QString VantrelManager::cliPath() const {
    return options_.installDir + QStringLiteral("/vantrel");
}

QString VantrelManager::logFilePath() const {
    return log_->path();
}

void VantrelManager::say(const QString& message) const {
    if (outputHandler)
        outputHandler(message);
}

void VantrelManager::takeInbox() {
    const QString batch = inbox_->take();
    if (!batch.isEmpty())
        appendToLog(batch);
}

void VantrelManager::appendToLog(const QString& batch) {
    const QByteArray bytes = batch.toUtf8();
    log_->writeUtf8(bytes);
    output_ += batch;
    outputLines_ += countNewlines(bytes);
    if (outputSize() > options_.retainedChars || outputLines_ > options_.retainedLines) {
        // Trim to 90 % of the bounds at once, so trimming stays rare under a flood.
        const qsizetype dropChars = outputSize() - options_.retainedChars * 9 / 10;
        const qsizetype dropLines = outputLines_ - options_.retainedLines * 9 / 10;
        qsizetype cut = head_;
        qsizetype lines = 0;
        while (cut < output_.size() && (cut - head_ < dropChars || lines < dropLines)) {
            const qsizetype newline = output_.indexOf(QLatin1Char('\n'), cut);
            if (newline < 0) {
                cut = std::max(cut, head_ + dropChars); // one enormous line: cut inside it
                break;
            }
            cut = newline + 1;
            ++lines;
        }
        head_ = cut;
        outputLines_ -= lines;
        // The dropped prefix is given back only once it outgrows the tail, so a flood
        // moves each character about once instead of on every trim.
        if (head_ > options_.retainedChars) {
            output_.remove(0, head_);
            head_ = 0;
        }
    }
    Q_EMIT outputAppended(batch);
}

void VantrelManager::flushLog() {
    if (QThread::currentThread() == thread())
        takeInbox();
    log_->flush();
}

void VantrelManager::setState(SupervisorState state) {
    if (state == state_)
        return;
    state_ = std::move(state);
    Q_EMIT stateChanged(state_);
}

void VantrelManager::forgetDeadGroups() {
    ownedGroups_.removeIf([](pid_t group) { return !ProcessGroup::hasLiveMembers(group); });
}

void VantrelManager::cleanup() {
    Console::log(QStringLiteral("🧹 VantrelManager cleanup called"));
    say(QStringLiteral("🧹 Cleaning up CLI process...\n"));
    forgetDeadGroups();
    CliProcess* process = currentProcess_;
    const bool running = process && process->state() != QProcess::NotRunning;
    if (!running && ownedGroups_.isEmpty()) {
        Console::log(QStringLiteral("ℹ️ No running CLI process to clean up"));
        flushLog();
        return;
    }
    Console::log(QStringLiteral("🧹 Terminating running CLI process"));
    if (process)
        process->requestStop();
    for (pid_t group : std::as_const(ownedGroups_))
        ProcessGroup::signal(group, SIGTERM);

    // The shell alone exiting is not enough: the CLI or its children may still be alive in
    // the group, and those are what must not be orphaned.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        forgetDeadGroups();
        const bool shellRunning = process && process->state() != QProcess::NotRunning;
        if (!shellRunning && ownedGroups_.isEmpty())
            break;
        if (waited.elapsed() >= options_.stopTimeoutMs) {
            Console::log(
                QStringLiteral("⚠️ Process didn't terminate gracefully, forcing termination"));
            for (pid_t group : std::as_const(ownedGroups_))
                ProcessGroup::signal(group, SIGKILL);
            // SIGKILL is not instant; a moment lets a second cleanup see the group gone.
            QElapsedTimer killed;
            killed.start();
            while (!ownedGroups_.isEmpty() && killed.elapsed() < 200) {
                QThread::msleep(5);
                forgetDeadGroups();
            }
            break;
        }
        if (shellRunning)
            process->waitForFinished(10); // also reaps the shell and reads its last output
        else
            QThread::msleep(10);
    }
    currentProcess_ = nullptr;
    Console::log(QStringLiteral("✅ CLI process cleanup completed"));
    flushLog();
}
