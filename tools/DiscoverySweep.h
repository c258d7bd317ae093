// Sends the network discovery request to many addresses at once and collects
// who answers, within one time limit for the whole sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tools {

// How often each address is asked and how long each request waits for its
// answer before the next one goes out.
struct SweepPlan {
    unsigned attempts;       // 1 to 5 requests per silent address
    unsigned attemptWaitUs;  // wait after each request, in microseconds
};

// count: in, addresses to ask. parallel: in, addresses asked at once (at least
// 1). timeoutMs: in, the time for the whole sweep (at least 1).
// Addresses are asked `parallel` at a time, and each stays in the sweep for
// attempts x attemptWaitUs unless it answers, so every address is asked within
// `timeoutMs`. Up to five requests go to a silent address, as a port opening
// would send, while each still gets a reasonable wait; when time is short an
// address gets fewer requests first, then shorter waits.
SweepPlan planSweep(std::size_t count, unsigned parallel, unsigned timeoutMs);

struct DiscoveryAnswer {
    uint32_t address;                  // host byte order
    std::vector<unsigned char> reply;  // the first reply's bytes (at most the 512 a host receives)
};

struct SweepResult {
    std::vector<DiscoveryAnswer> answers;  // by address, each address once
    std::size_t notAsked = 0;              // addresses the time limit ended before their first request
    std::size_t ignoredReplies = 0;        // replies from addresses not asked, and repeated replies
};

// addresses: in, host byte order, each once. Requests go from one UDP socket
// to port 22222 of each address; a reply counts for the address it comes from,
// and only when that address was asked. Returns after `timeoutMs`, or sooner
// once every address has answered or had all its requests and waits.
// Throws std::runtime_error when the socket cannot be opened.
SweepResult runDiscoverySweep(const std::vector<uint32_t>& addresses, unsigned parallel, unsigned timeoutMs);

}  // namespace tools
