#pragma once

#include "SupervisorOptions.h"

#include <optional>

// When to start the CLI again after it ended unexpectedly: after a delay that doubles with each
// quick end, up to a longest one, and not at all after too many quick ends in a row. A run that
// lasted long enough counts as a fresh start.
class RestartPolicy final {
public:
    explicit RestartPolicy(const SupervisorOptions& options);

    // Records an unexpected end of a run that lasted ranMs: the delay before the next start,
    // or nothing once the limit is reached.
    std::optional<int> next(qint64 ranMs);
    void reset();
    bool gaveUp() const { return quickEnds_ >= limit_; }

private:
    int firstMs_;
    int longestMs_;
    qint64 resetAfterMs_;
    int limit_;
    int quickEnds_ = 0;
    int delayMs_;
};
