#include "core/Deadline.h"

#include <poll.h>

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

Deadline Deadline::after(uint64_t ms) { return Deadline(MonotonicMs() + ms, false); }

Deadline Deadline::never() { return Deadline(UINT64_MAX, true); }

Deadline Deadline::within(uint64_t ms) { return ms == 0 ? never() : after(ms); }

Deadline Deadline::checkedBlock(unsigned int timeoutMs) { return after(QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs)); }

bool Deadline::expired() const { return !unlimited_ && MonotonicMs() >= atMs_; }

uint64_t Deadline::remainingMs() const {
    if (unlimited_) return UINT64_MAX;
    const uint64_t now = MonotonicMs();
    return now >= atMs_ ? 0 : atMs_ - now;
}

uint64_t Deadline::capMs(uint64_t ms) const {
    const uint64_t left = remainingMs();
    return left < ms ? left : ms;
}

Deadline Deadline::earliest(const Deadline& other) const {
    if (unlimited_) return other;
    if (other.unlimited_) return *this;
    return atMs_ <= other.atMs_ ? *this : other;
}

void Deadline::pause(unsigned int ms) const { PauseMs(static_cast<unsigned int>(capMs(ms))); }

int WaitForDescriptor(int fd, short events, const Deadline& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        timespec limit{};
        if (!deadline.unlimited()) {
            const uint64_t left = deadline.remainingMs();
            limit.tv_sec = static_cast<time_t>(left / 1000);
            limit.tv_nsec = static_cast<long>(left % 1000) * 1000000L;
        }
        const int r = ppoll(&p, 1, deadline.unlimited() ? nullptr : &limit, nullptr);
        if (r >= 0) return r > 0 ? 1 : 0;
        if (errno != EINTR) return -1;
    }
}

}  // namespace quenvar
