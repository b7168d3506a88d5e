#include "UpdateSchedule.h"
#include "output/Console.h"

#include <QRandomGenerator>

#include <algorithm>
#include <chrono>
#include <limits>

#ifdef Q_OS_LINUX
#include <time.h>
#endif

namespace {
qint64 bootClockMs() {
#ifdef Q_OS_LINUX
    // QTimer's monotonic clock stands still while the machine sleeps; this one does not.
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
#else
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}
} // namespace

UpdateSchedule::UpdateSchedule(Timing timing, Clock clock, Random random, QObject* parent)
    : QObject(parent), timing_(timing), clock_(clock ? std::move(clock) : Clock(bootClockMs)),
      random_(random ? std::move(random)
                     : Random([] { return QRandomGenerator::global()->generateDouble(); })) {
    timer_.setSingleShot(true);
    // Hours apart: a second's precision costs no wakeups of its own.
    timer_.setTimerType(Qt::VeryCoarseTimer);
    connect(&timer_, &QTimer::timeout, this, &UpdateSchedule::reconsider);
}

void UpdateSchedule::checkFinished(int retryAfterSeconds) {
    const qint64 now = clock_();
    lastCheck_ = now;
    if (retryAfterSeconds > 0)
        notBefore_ = now + std::min(qint64(retryAfterSeconds) * 1000, timing_.longestRetryAfterMs);
    planFrom(now);
    reconsider();
}

void UpdateSchedule::networkChanged(bool online) {
    if (!online) {
        away_ = true;
    } else if (std::exchange(away_, false)) {
        checkNow(QStringLiteral("the network is back"));
    }
}

void UpdateSchedule::resumed() {
    // A periodic check that fell due during the suspend goes first, and counts.
    reconsider();
    checkNow(QStringLiteral("the machine woke from suspend"));
}

void UpdateSchedule::reconsider() {
    if (due_ < 0)
        return timer_.stop();
    const qint64 now = clock_();
    if (now < due_) {
        timer_.start(int(std::min(due_ - now, qint64(std::numeric_limits<int>::max()))));
        return;
    }
    startCheck(now,
               QStringLiteral("%1 minutes since the last check").arg((now - lastCheck_) / 60000));
}

qint64 UpdateSchedule::msUntilDue() const {
    return due_ < 0 ? -1 : std::max<qint64>(0, due_ - clock_());
}

void UpdateSchedule::checkNow(const QString& why) {
    const qint64 now = clock_();
    if (timing_.periodMs <= 0 || lastCheck_ < 0 || now - lastCheck_ < timing_.eventGapMs ||
        now < notBefore_)
        return;
    startCheck(now, why);
}

void UpdateSchedule::startCheck(qint64 now, const QString& why) {
    Console::log(QStringLiteral("🔄 Checking for a new CLI build: %1").arg(why));
    lastCheck_ = now;
    // Planned again from here, should the check never report its end.
    planFrom(now);
    reconsider();
    Q_EMIT checkDue();
}

void UpdateSchedule::planFrom(qint64 now) {
    if (timing_.periodMs <= 0) {
        due_ = -1;
        return;
    }
    const double share = 1.0 + timing_.spread * (2.0 * random_() - 1.0);
    due_ = std::max(now + qint64(double(timing_.periodMs) * share), notBefore_);
}
