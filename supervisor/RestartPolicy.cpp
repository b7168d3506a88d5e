#include "RestartPolicy.h"

#include <algorithm>

RestartPolicy::RestartPolicy(const SupervisorOptions& options)
    : firstMs_(options.restartFirstDelayMs), longestMs_(options.restartLongestDelayMs),
      resetAfterMs_(options.restartResetAfterMs), limit_(std::max(1, options.restartLimit)),
      delayMs_(firstMs_) {}

std::optional<int> RestartPolicy::next(qint64 ranMs) {
    if (ranMs >= resetAfterMs_)
        reset();
    else if (++quickEnds_ >= limit_)
        return std::nullopt;
    const int delay = delayMs_;
    delayMs_ = int(std::min<qint64>(qint64(delayMs_) * 2, longestMs_));
    return delay;
}

void RestartPolicy::reset() {
    quickEnds_ = 0;
    delayMs_ = firstMs_;
}
