// What every fuzz target holds a port's results to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "VirtualClock.h"
#include "quenvar.h"

namespace fuzzsupport {

inline void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// A status record as the library may hand it out: every flag 0 or 1, the
// counters in range, rawLength within raw.
inline void CheckRecord(const VelmarPrinterStatus_2& status) {
    uint32_t flags[offsetof(VelmarPrinterStatus_2, etbCounter) / sizeof(uint32_t)];
    std::memcpy(flags, &status, sizeof flags);
    for (uint32_t flag : flags)
        Check(flag <= 1);
    Check(status.etbCounter <= 31 && status.presenterState <= 7 && status.rawLength <= sizeof status.raw);
}

// True when `bytes` hold `pattern` somewhere; pattern bytes below 0 match any byte.
inline bool Holds(const std::string& bytes, const std::vector<int>& pattern) {
    for (std::size_t at = 0; at + pattern.size() <= bytes.size(); ++at) {
        std::size_t i = 0;
        while (i < pattern.size() && (pattern[i] < 0 || static_cast<unsigned char>(bytes[at + i]) == pattern[i]))
            ++i;
        if (i == pattern.size()) return true;
    }
    return false;
}

// The answers that alone may confirm a job: the job begin answer with value
// 0, and the job end answer (any fourth byte) with value 1.
const std::vector<int> kJobBeginConsent = {0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
const std::vector<int> kJobEndConfirmation = {0x1B, 0x1D, 0x03, -1, 0x01, 0x01, 0x01, 0x00};

// Runs `call`, a port call that must answer 0 or 1 and end within `boundMs`
// of virtual time, plus `lastWaitMs` for a wait it began inside the bound;
// gives back its result.
template <class Call>
int Timed(uint64_t boundMs, uint64_t lastWaitMs, Call call) {
    const uint64_t before = VirtualTime::skippedMs();
    const int result = call();
    Check(VirtualTime::skippedMs() - before <= boundMs + lastWaitMs);
    Check(result == 0 || result == 1);
    return result;
}

// Splits a fuzz input into replies: a length byte, then that many bytes (or
// what is left).
inline std::vector<std::string> Replies(const uint8_t* data, size_t size) {
    std::vector<std::string> replies;
    for (size_t at = 0; at < size;) {
        const size_t length = data[at++];
        const size_t count = length < size - at ? length : size - at;
        replies.emplace_back(reinterpret_cast<const char*>(data + at), count);
        at += count;
    }
    return replies;
}

}  // namespace fuzzsupport
