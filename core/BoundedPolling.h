// The bound on every checked-block exchange: a printer that keeps its
// connection up but never answers must not hold the caller forever.
#pragma once

#include <cstdint>

namespace quenvar {

// Milliseconds on a monotonic clock (never jumps with the wall clock).
uint64_t MonotonicMs();

// Sleeps `ms` milliseconds on the caller's thread (resumed after signals).
void PauseMs(unsigned int ms);

// A checked-block operation's deadline: the larger of
// QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR x timeoutMs and
// QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS, counted from construction.
class CheckedBlockDeadline {
public:
    explicit CheckedBlockDeadline(unsigned int timeoutMs);

    // True once the bound has passed.
    bool expired() const;
    // Milliseconds left before the bound (0 once expired).
    uint64_t remainingMs() const;
    // Pauses `ms` milliseconds, or only what is left of the bound if less.
    void pause(unsigned int ms) const;

private:
    uint64_t deadlineMs_;
};

}  // namespace quenvar
