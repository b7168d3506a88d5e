#include "process/EmergencyStop.h"

#include <atomic>
#include <csignal>

namespace {
// A CLI leaves a handful of groups and detached processes at the most; more is a fork bomb,
// which the ordinary stop still handles.
constexpr int kSlots = 256;
std::atomic<pid_t> slots[kSlots];
static_assert(std::atomic<pid_t>::is_always_lock_free);
} // namespace

namespace EmergencyStop {
bool track(pid_t target) {
    if (target == 0 || target == -1)
        return false;
    for (auto& slot : slots)
        if (slot.load() == target)
            return true;
    for (auto& slot : slots) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, target))
            return true;
    }
    return false;
}

void untrack(pid_t target) {
    for (auto& slot : slots) {
        pid_t expected = target;
        slot.compare_exchange_strong(expected, 0);
    }
}

void signalAll(int sig) noexcept {
    for (auto& slot : slots)
        if (const pid_t target = slot.load(); target != 0)
            ::kill(target, sig);
}

int trackedCount() noexcept {
    int count = 0;
    for (auto& slot : slots)
        count += slot.load() != 0;
    return count;
}
} // namespace EmergencyStop
