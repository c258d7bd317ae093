// Virtual time for fuzz targets that drive a port through its waits: while a
// VirtualTime lives on a thread, that thread's sleeps and timed waits with no
// descriptor ready return at once and move its clock on by what they would
// have waited. A port then polls, pauses and times out exactly as it would,
// in microseconds instead of seconds, and the same input always takes the
// same path. Other threads (libFuzzer's own) keep the real clock.
//
// The fuzz program defines clock_gettime, gettimeofday, nanosleep,
// clock_nanosleep, select and ppoll itself (VirtualClock.cpp), ahead of libc
// for the library under test and the USB library alike.
#pragma once

#include <cstdint>

namespace fuzzsupport {

class VirtualTime {
public:
    VirtualTime();
    ~VirtualTime();
    VirtualTime(const VirtualTime&) = delete;
    VirtualTime& operator=(const VirtualTime&) = delete;
    // Milliseconds this thread's clock has moved on beyond the real one since
    // this VirtualTime began.
    static uint64_t skippedMs();
};

}  // namespace fuzzsupport
