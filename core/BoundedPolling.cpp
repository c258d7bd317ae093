#include "core/BoundedPolling.h"

#include <cerrno>
#include <ctime>

#include "quenvar.h"

namespace quenvar {

uint64_t MonotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

void PauseMs(unsigned int ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

CheckedBlockDeadline::CheckedBlockDeadline(unsigned int timeoutMs)
    : deadlineMs_(MonotonicMs() + QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs)) {}

bool CheckedBlockDeadline::expired() const { return MonotonicMs() >= deadlineMs_; }

uint64_t CheckedBlockDeadline::remainingMs() const {
    const uint64_t now = MonotonicMs();
    return now >= deadlineMs_ ? 0 : deadlineMs_ - now;
}

void CheckedBlockDeadline::pause(unsigned int ms) const {
    const uint64_t left = remainingMs();
    PauseMs(static_cast<unsigned int>(left < ms ? left : ms));
}

}  // namespace quenvar
