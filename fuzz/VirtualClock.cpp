#include "VirtualClock.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

thread_local bool t_virtual = false;
thread_local uint64_t t_skippedNs = 0;
// How far the next short idle wait moves the clock (see select below).
thread_local uint64_t t_idleStepNs = 0;

constexpr uint64_t kNsPerSecond = 1000000000ull;
// The signal mask size the kernel's ppoll takes (not glibc's sigset_t).
constexpr size_t kKernelSigsetBytes = 8;

uint64_t NsOf(const timespec& t) {
    return static_cast<uint64_t>(t.tv_sec) * kNsPerSecond + static_cast<uint64_t>(t.tv_nsec);
}

void Add(timespec* t, uint64_t ns) {
    const uint64_t total = NsOf(*t) + ns;
    t->tv_sec = static_cast<time_t>(total / kNsPerSecond);
    t->tv_nsec = static_cast<long>(total % kNsPerSecond);
}

// The USB library waits for a transfer in 1 ms selects until its own time
// limit, which the clock cannot see. The scripted printers answer only what
// the port sends, so nothing arrives while the port waits: successive idle
// short waits move the clock on by a doubling step of up to 16 ms instead of
// 1 ms each. A wait then ends at most 16 ms after its limit (well inside the
// slack every bound check allows) in a few dozen steps instead of a thousand.
constexpr uint64_t kShortWaitNs = 1000000u;
constexpr uint64_t kIdleStepLimitNs = 16000000u;

uint64_t IdleSkip(uint64_t limitNs) {
    if (limitNs > kShortWaitNs) {
        t_idleStepNs = 0;
        return limitNs;
    }
    t_idleStepNs = t_idleStepNs == 0 ? limitNs : t_idleStepNs * 2;
    if (t_idleStepNs > kIdleStepLimitNs) t_idleStepNs = kIdleStepLimitNs;
    return t_idleStepNs;
}

// The C library's own clock_gettime, which reads the clock without a system
// call; every wait of the USB library reads the clock once.
using ClockGetTime = int (*)(clockid_t, timespec*);
ClockGetTime RealClockGetTime() {
    static const ClockGetTime real = reinterpret_cast<ClockGetTime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

bool Monotonic(clockid_t id) {
    return id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW || id == CLOCK_MONOTONIC_COARSE || id == CLOCK_BOOTTIME;
}

}  // namespace

namespace fuzzsupport {

VirtualTime::VirtualTime() { t_virtual = true; }
// Each input starts its clock afresh: libFuzzer's own watchdog reads the clock
// on this thread too, and time skipped by earlier inputs made it see an input
// running for days and report a timeout.
VirtualTime::~VirtualTime() {
    t_virtual = false;
    t_skippedNs = 0;
    t_idleStepNs = 0;
}
uint64_t VirtualTime::skippedMs() { return t_skippedNs / 1000000u; }

}  // namespace fuzzsupport

extern "C" {

int clock_gettime(clockid_t id, timespec* now) {
    const ClockGetTime real = RealClockGetTime();
    const int result = real != nullptr ? real(id, now) : static_cast<int>(syscall(SYS_clock_gettime, id, now));
    if (result == 0 && t_virtual && (Monotonic(id) || id == CLOCK_REALTIME)) Add(now, t_skippedNs);
    return result;
}

int gettimeofday(struct timeval* now, void* zone) {
    (void)zone;
    timespec t{};
    if (clock_gettime(CLOCK_REALTIME, &t) != 0) return -1;
    now->tv_sec = t.tv_sec;
    now->tv_usec = static_cast<suseconds_t>(t.tv_nsec / 1000);
    return 0;
}

int nanosleep(const timespec* wait, timespec* left) {
    if (!t_virtual) return static_cast<int>(syscall(SYS_nanosleep, wait, left));
    t_skippedNs += NsOf(*wait);
    if (left != nullptr) *left = timespec{};
    return 0;
}

int clock_nanosleep(clockid_t id, int flags, const timespec* wait, timespec* left) {
    if (!t_virtual) {
        const long result = syscall(SYS_clock_nanosleep, id, flags, wait, left);
        return result == 0 ? 0 : errno;
    }
    if ((flags & TIMER_ABSTIME) != 0) {
        timespec now{};
        clock_gettime(id, &now);
        if (NsOf(*wait) > NsOf(now)) t_skippedNs += NsOf(*wait) - NsOf(now);
    } else {
        t_skippedNs += NsOf(*wait);
    }
    return 0;
}

// A wait on descriptors looks once; when none is ready it moves the clock on
// by its whole limit instead of waiting (a short one: see IdleSkip).
int select(int count, fd_set* readable, fd_set* writable, fd_set* failed, struct timeval* limit) {
    if (!t_virtual || limit == nullptr)
        return static_cast<int>(syscall(SYS_select, count, readable, writable, failed, limit));
    struct timeval none {};
    const int result = static_cast<int>(syscall(SYS_select, count, readable, writable, failed, &none));
    if (result == 0) {
        t_skippedNs += IdleSkip(static_cast<uint64_t>(limit->tv_sec) * kNsPerSecond +
                                static_cast<uint64_t>(limit->tv_usec) * 1000u);
        *limit = timeval{};
    } else {
        t_idleStepNs = 0;
    }
    return result;
}

int ppoll(struct pollfd* fds, nfds_t count, const timespec* limit, const sigset_t* mask) {
    if (!t_virtual || limit == nullptr)
        return static_cast<int>(syscall(SYS_ppoll, fds, count, limit, mask, kKernelSigsetBytes));
    const timespec none{};
    const int result = static_cast<int>(syscall(SYS_ppoll, fds, count, &none, mask, kKernelSigsetBytes));
    if (result == 0) t_skippedNs += NsOf(*limit);
    return result;
}

int poll(struct pollfd* fds, nfds_t count, int limitMs) {
    if (!t_virtual || limitMs < 0) {
        timespec t{limitMs / 1000, (limitMs % 1000) * 1000000L};
        return static_cast<int>(
            syscall(SYS_ppoll, fds, count, limitMs < 0 ? nullptr : &t, nullptr, kKernelSigsetBytes));
    }
    const timespec none{};
    const int result = static_cast<int>(syscall(SYS_ppoll, fds, count, &none, nullptr, kKernelSigsetBytes));
    if (result == 0) t_skippedNs += static_cast<uint64_t>(limitMs) * 1000000u;
    return result;
}

}  // extern "C"
