// Time limits that hold by construction: every wait of an operation takes the
// operation's deadline and never sleeps or blocks past it, so a printer that
// keeps its line up but never answers cannot hold the caller longer than the
// operation promises.
#pragma once

#include <cstdint>

namespace quenvar {

// Milliseconds on a monotonic clock (never jumps with the wall clock).
uint64_t MonotonicMs();

// Sleeps `ms` milliseconds on the caller's thread (resumed after signals).
void PauseMs(unsigned int ms);

// A point in time on the monotonic clock, or "never" for a wait the caller
// asked to be unlimited.
class Deadline {
public:
    // `ms` milliseconds from now.
    static Deadline after(uint64_t ms);
    // A deadline that never passes.
    static Deadline never();
    // A port's time limit counted from now: `ms` from now, or never when `ms`
    // is 0 (a time limit of 0 means no limit).
    static Deadline within(uint64_t ms);
    // The bound of a checked block on a port with time limit `timeoutMs`: the
    // larger of QUENVAR_CHECKED_BLOCK_TIMEOUT_FACTOR x timeoutMs and
    // QUENVAR_CHECKED_BLOCK_MIN_BOUND_MS, counted from now.
    static Deadline checkedBlock(unsigned int timeoutMs);

    // True once the deadline has passed (never for "never").
    bool expired() const;
    bool unlimited() const { return unlimited_; }
    // Milliseconds left (0 once passed; UINT64_MAX for "never").
    uint64_t remainingMs() const;
    // `ms`, or what is left of the deadline if that is less.
    uint64_t capMs(uint64_t ms) const;
    // Whichever of this deadline and `other` comes first.
    Deadline earliest(const Deadline& other) const;
    // Pauses `ms` milliseconds, or only what is left of the deadline if less.
    void pause(unsigned int ms) const;

private:
    Deadline(uint64_t atMs, bool unlimited) : atMs_(atMs), unlimited_(unlimited) {}
    uint64_t atMs_;
    bool unlimited_;
};

// Waits until descriptor `fd` reports one of `events` (poll events) or the
// deadline passes; interrupted waits are resumed. Returns 1 when the
// descriptor is ready (also on error or hang-up, which the next call on it
// reports), 0 when the deadline passed first (a passed deadline still looks
// once), -1 when the wait itself failed.
int WaitForDescriptor(int fd, short events, const Deadline& deadline);

}  // namespace quenvar
