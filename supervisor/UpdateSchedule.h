#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

// When to look for a newer CLI build in the background: one period after the last check
// (spread a little, so that many installations do not ask at the same moment), and once when
// the network comes back or the machine wakes from suspend, though not within a short gap of
// the last check. A server's Retry-After holds the next check back at least that long. Says
// only when a check is due; the life cycle decides what a check does in its stage.
class UpdateSchedule final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UpdateSchedule)

public:
    // Milliseconds on a clock that never goes back and keeps counting through a suspend.
    using Clock = std::function<qint64()>;
    // Uniform in [0, 1).
    using Random = std::function<double()>;

    struct Timing {
        qint64 periodMs = 360 * 60 * 1000;  // 0: no checks in the background at all
        qint64 eventGapMs = 15 * 60 * 1000; // network back or resume: not within this of a check
        double spread = 0.1;                // each period is ±this share of its length
        qint64 longestRetryAfterMs = 24 * 60 * 60 * 1000; // a server cannot stop checks for good
    };

    // The default clock counts suspended time (CLOCK_BOOTTIME on Linux); the default random
    // source is Qt's global generator.
    explicit UpdateSchedule(Timing timing, Clock clock = {}, Random random = {},
                            QObject* parent = nullptr);

    // The inputs. A check has ended, whoever asked for it (the launch's, Update CLI, a due
    // one); retryAfterSeconds: what a 429 or 503 asked for, 0 when nothing.
    void checkFinished(int retryAfterSeconds = 0);
    void networkChanged(bool online);
    void resumed();
    // Emits checkDue() if the clock says a periodic check is due, and arms the timer for the
    // next one. The timer calls it; so does anyone who knows the clock moved on without it.
    void reconsider();

    // Until the next periodic check by the clock, or -1 when none is planned.
    qint64 msUntilDue() const;

Q_SIGNALS:
    void checkDue();

private:
    void checkNow(const QString& why);
    void startCheck(qint64 now, const QString& why);
    void planFrom(qint64 now);

    Timing timing_;
    Clock clock_;
    Random random_;
    QTimer timer_;
    qint64 lastCheck_ = -1; // none yet: the launch's own check is still to come
    qint64 due_ = -1;
    qint64 notBefore_ = -1;
    bool away_ = false;
};
