#include "process/ProcessSweep.h"
#include "process/CliProcess.h"
#include "process/ProcessGroup.h"
#include "process/ProcessWaiter.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>

#include <csignal>
#include <limits>
#include <unistd.h>

namespace {
// Strict decimal: an optional sign, then ASCII digits only, within the signed 32-bit range.
std::optional<qint32> strictPid(QStringView piece) {
    qsizetype i = 0;
    bool negative = false;
    if (!piece.isEmpty() && (piece[0] == u'+' || piece[0] == u'-')) {
        negative = piece[0] == u'-';
        ++i;
    }
    if (i == piece.size())
        return std::nullopt;
    qint64 value = 0;
    for (; i < piece.size(); ++i) {
        const char16_t c = piece[i].unicode();
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c - u'0');
        if (value > qint64(std::numeric_limits<qint32>::max()) + 1)
            return std::nullopt;
    }
    if (negative)
        value = -value;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(value);
}

QString pidList(const QList<pid_t>& pids) {
    QStringList parts;
    for (pid_t pid : pids)
        parts.append(QString::number(pid));
    return QLatin1Char('[') + parts.join(QStringLiteral(", ")) + QLatin1Char(']');
}
} // namespace

QList<pid_t> ProcessSweep::parsePgrepOutput(const QString& text) {
    static const QRegularExpression newline(
        QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    QList<pid_t> pids;
    for (const QString& line : text.trimmed().split(newline)) {
        QStringView piece(line);
        while (!piece.isEmpty() && (piece.front() == u' ' || piece.front() == u'\t'))
            piece = piece.mid(1);
        while (!piece.isEmpty() && (piece.back() == u' ' || piece.back() == u'\t'))
            piece.chop(1);
        if (piece.isEmpty())
            continue;
        if (const auto pid = strictPid(piece))
            pids.append(pid_t(*pid));
    }
    return pids;
}

ProcessSweep::ProcessSweep(const SupervisorOptions& options, const Logger& log, QObject* parent)
    : QObject(parent), options_(options), log_(log),
      waiter_(new ProcessWaiter(options.kernelProcessEnds, this)) {
    connect(waiter_, &ProcessWaiter::finished, this, [this](bool allGone) {
        if (killing_)
            reportEnd(allGone);
        else
            onGraceOver(allGone);
    });
}

namespace {
bool isCliName(const QString& path) {
    return QFileInfo(path).fileName() == QLatin1String("vantrel");
}

bool under(const QString& path, const QString& root) {
    if (root.isEmpty())
        return true;
    const QString clean = QDir::cleanPath(path);
    return clean == root || clean.startsWith(root + QLatin1Char('/'));
}
} // namespace

#ifdef Q_OS_LINUX
bool ProcessSweep::isCli(pid_t pid) const {
    const QStringList arguments = ProcessGroup::arguments(pid);
    // A login shell this application started for a CLI.
    if (const auto cli = CliProcess::cliPathOf(arguments.mid(1)))
        return isCliName(*cli) && under(*cli, options_.sweepRoot);
    // The program itself, or a script whose interpreter the kernel names instead: then the
    // script's path is among the first arguments.
    QString program = ProcessGroup::executable(pid);
    if (!isCliName(program) && ProcessGroup::commandName(pid) == QLatin1String("vantrel")) {
        program.clear();
        for (const QString& argument : arguments.mid(0, 3))
            if (isCliName(argument) && QDir::isAbsolutePath(argument))
                program = argument;
        // Started by a relative name: only a sweep that is not narrowed takes it.
        if (program.isEmpty())
            return options_.sweepRoot.isEmpty();
    }
    return isCliName(program) && under(program, options_.sweepRoot);
}
#endif

QList<pid_t> ProcessSweep::findCandidates(bool* searched) const {
    QList<pid_t> found;
#ifdef Q_OS_LINUX
    *searched = true;
    found = ProcessGroup::all();
#else
    QProcess pgrep;
    pgrep.setProcessChannelMode(QProcess::MergedChannels);
    pgrep.setStandardInputFile(QProcess::nullDevice());
    pgrep.start(options_.pgrepPath, {QStringLiteral("-x"), QStringLiteral("vantrel")});
    *searched = pgrep.waitForStarted(-1);
    if (!*searched) {
        log_.trace(QStringLiteral("⚠️ Failed to search for existing processes: ") +
                   pgrep.program() + QStringLiteral(": ") + pgrep.errorString());
        log_.warning(QStringLiteral("⚠️ Failed to search for existing processes: ") +
                     pgrep.errorString());
        return {};
    }
    pgrep.waitForFinished(-1);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder.decode(pgrep.readAll());
    if (decoder.hasError() || text.isEmpty())
        return {};
    found = parsePgrepOutput(text);
#endif

    // Never the application itself or what started it, and only the user's own processes.
    const QList<pid_t> exempt = ProcessGroup::selfAndAncestors();
    const uid_t user = ::getuid();
    QList<pid_t> pids;
    for (pid_t pid : std::as_const(found)) {
        if (pid <= 0 || exempt.contains(pid) || pids.contains(pid))
            continue;
#ifdef Q_OS_LINUX
        const ProcessGroup::ProcessInfo info = ProcessGroup::info(pid);
        if (!info.valid || info.owner != user || info.zombie || !isCli(pid))
            continue;
#else
        Q_UNUSED(user);
#endif
        pids.append(pid);
    }
    return pids;
}

void ProcessSweep::finish() {
    Q_EMIT finished();
}

void ProcessSweep::start() {
    killing_ = false;
    log_.trace(QStringLiteral("🔍 Searching for existing vantrel processes..."));
    log_.progress(QStringLiteral("🔍 Checking for existing vantrel processes..."));
    bool searched = false;
    // A narrowing that cannot be used never widens the sweep to every CLI of the user.
    const QList<pid_t> targets =
        options_.sweepRootProblem.isEmpty() ? findCandidates(&searched) : QList<pid_t>();
    if (!options_.sweepRootProblem.isEmpty()) {
        const QString text = QStringLiteral("⚠️ Not ending any vantrel process: %1, and it can "
                                            "only narrow the search")
                                 .arg(options_.sweepRootProblem);
        log_.warning(text);
    }
    if (searched && targets.isEmpty()) {
        log_.info(QStringLiteral("ℹ️ No existing vantrel processes found"));
    }
    if (!searched || targets.isEmpty()) {
        QMetaObject::invokeMethod(this, &ProcessSweep::finish, Qt::QueuedConnection);
        return;
    }

    log_.trace(QStringLiteral("🎯 Found %1 vantrel process(es): %2")
                   .arg(targets.size())
                   .arg(pidList(targets)));
    log_.progress(QStringLiteral("🎯 Found %1 existing vantrel process(es), terminating...")
                      .arg(targets.size()));
    for (pid_t pid : std::as_const(targets)) {
        log_.trace(QStringLiteral("🔨 Killing vantrel process with PID: %1").arg(pid));
        ::kill(pid, SIGTERM);
    }
    // One shared grace period for all of them, ended early once every one is gone.
    waiter_->start({}, targets, options_.sweepGraceMs);
}

void ProcessSweep::onGraceOver(bool allGone) {
    if (allGone)
        return reportEnd(true);
    const QList<pid_t> alive = waiter_->remainingPids();
    for (pid_t pid : alive) {
        log_.trace(QStringLiteral("⚡️ Force killing stubborn process PID: %1").arg(pid));
        ::kill(pid, SIGKILL);
    }
    // SIGKILL takes a moment; what outlives that (stuck in the kernel) is reported, not hidden.
    killing_ = true;
    waiter_->start({}, alive, 500);
}

void ProcessSweep::reportEnd(bool allGone) {
    if (!allGone) {
        const QList<pid_t> alive = waiter_->remainingPids();
        const QString text =
            QStringLiteral("⚠️ %1 vantrel process(es) survived termination: %2")
                .arg(alive.size())
                .arg(pidList(alive));
        log_.warning(text);
        return finish();
    }
    log_.info(QStringLiteral("✅ Cleaned up existing vantrel processes"));
    log_.trace(QStringLiteral("✅ All existing vantrel processes terminated"));
    finish();
}
