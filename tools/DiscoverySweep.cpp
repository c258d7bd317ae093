#include "DiscoverySweep.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "core/NetworkDiscovery.h"

namespace tools {

namespace {

using Clock = std::chrono::steady_clock;

// A wait after which a printer on a local network has long answered; a plan
// gives each request at least this while it can.
constexpr uint64_t kComfortableWaitUs = 50000;
// Room for the answers of many printers arriving together.
constexpr int kReceiveBufferBytes = 1 << 20;
// How long a request waits when the socket's send buffer is full.
constexpr auto kFullBufferPause = std::chrono::microseconds(200);
// Replies taken in one go before the sweep sends again.
constexpr int kMostRepliesAtOnce = 1024;

struct Target {
    unsigned attempts = 0;
    Clock::time_point nextSend;  // of the next request, or the end of the last wait
    bool answered = false;
};

// A descriptor closed when the sweep ends, whichever way.
class UdpSocket {
public:
    UdpSocket() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
        if (fd_ < 0) throw std::runtime_error(std::string("cannot open a UDP socket: ") + std::strerror(errno));
        (void)setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    }
    ~UdpSocket() { close(fd_); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Sends the request to `address` (host byte order). False when the socket's
// buffer is full for now and the request should go again shortly; a request
// the network refuses counts as sent (its address stays silent).
bool send_request(int fd, uint32_t address) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quenvar::DiscoveryPort);
    to.sin_addr.s_addr = htonl(address);
    if (sendto(fd, quenvar::DiscoveryRequest, sizeof quenvar::DiscoveryRequest, MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) >= 0)
        return true;
    return errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR;
}

// Waits until `fd` has a reply or `until` has come, to the microsecond (a
// sweep of many addresses gives each only a few milliseconds). True when a
// reply waits.
bool wait_for_reply(int fd, Clock::time_point until) {
    const auto now = Clock::now();
    const auto left = until > now ? std::chrono::ceil<std::chrono::nanoseconds>(until - now).count() : 0;
    const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd p{fd, POLLIN, 0};
    return ppoll(&p, 1, &wait, nullptr) > 0;
}

}  // namespace

SweepPlan planSweep(std::size_t count, unsigned parallel, unsigned timeoutMs) {
    const std::size_t rounds = std::max<std::size_t>(1, (count + parallel - 1) / std::max(1u, parallel));
    const uint64_t timeoutUs = uint64_t{timeoutMs} * 1000;
    const uint64_t roomy = timeoutUs / (rounds * kComfortableWaitUs);
    SweepPlan plan;
    plan.attempts = static_cast<unsigned>(std::clamp<uint64_t>(roomy, 1, quenvar::DiscoveryAttempts));
    plan.attemptWaitUs = static_cast<unsigned>(std::max<uint64_t>(1, timeoutUs / (rounds * plan.attempts)));
    return plan;
}

SweepResult runDiscoverySweep(const std::vector<uint32_t>& addresses, unsigned parallel, unsigned timeoutMs) {
    const SweepPlan plan = planSweep(addresses.size(), parallel, timeoutMs);
    const auto wait = std::chrono::microseconds(plan.attemptWaitUs);
    UdpSocket udp;

    std::vector<Target> targets(addresses.size());
    std::unordered_map<uint32_t, std::size_t> indexOf;
    indexOf.reserve(addresses.size());
    for (std::size_t i = 0; i < addresses.size(); ++i)
        indexOf.emplace(addresses[i], i);

    SweepResult result;
    std::vector<std::vector<unsigned char>> replies(addresses.size());
    // Takes every reply already waiting, each for the asked address it comes from.
    auto takeReplies = [&] {
        unsigned char buffer[quenvar::DiscoveryReplyMax];
        for (int taken = 0; taken < kMostRepliesAtOnce; ++taken) {
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = recvfrom(udp.fd(), buffer, sizeof buffer, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) return;
                continue;  // an error reported for an earlier request; the next datagram may be fine
            }
            const auto found = from.sin_family == AF_INET ? indexOf.find(ntohl(from.sin_addr.s_addr)) : indexOf.end();
            if (found == indexOf.end() || targets[found->second].attempts == 0 || targets[found->second].answered) {
                ++result.ignoredReplies;
                continue;
            }
            targets[found->second].answered = true;
            replies[found->second].assign(buffer, buffer + n);
        }
    };

    // Each slot asks one address at a time. Requests keep to their schedule
    // (a request due at t, the next at t + wait), not to when the sweep got
    // round to them, so a late wake-up does not push every later address back.
    struct Slot {
        std::size_t target;
        Clock::time_point freeAt;
    };
    constexpr std::size_t kNone = ~std::size_t{0};
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::milliseconds(timeoutMs);
    std::vector<Slot> slots(std::min<std::size_t>(parallel, targets.size()), Slot{kNone, start});
    std::size_t next = 0;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (now >= end) break;
        Clock::time_point wake = end;
        bool asking = false;
        for (Slot& slot : slots) {
            if (slot.target != kNone) {
                const Target& t = targets[slot.target];
                if (t.answered) {
                    slot = {kNone, now};
                } else if (t.attempts == plan.attempts && t.nextSend <= now) {
                    slot = {kNone, t.nextSend};
                }
            }
            if (slot.target == kNone && next < targets.size()) {
                slot.target = next++;
                targets[slot.target].nextSend = slot.freeAt;
            }
            if (slot.target == kNone) continue;
            asking = true;
            Target& t = targets[slot.target];
            if (t.nextSend <= now && t.attempts < plan.attempts) {
                if (send_request(udp.fd(), addresses[slot.target])) {
                    ++t.attempts;
                    t.nextSend += wait;
                } else {
                    wake = std::min(wake, now + kFullBufferPause);  // the socket's buffer is full: soon again
                    continue;
                }
            }
            wake = std::min(wake, t.nextSend);
        }
        if (!asking) break;
        if (wait_for_reply(udp.fd(), wake)) takeReplies();
    }
    takeReplies();  // what arrived with the end of the time limit

    for (std::size_t i = 0; i < targets.size(); ++i) {
        if (targets[i].answered) result.answers.push_back({addresses[i], std::move(replies[i])});
        if (targets[i].attempts == 0) ++result.notAsked;
    }
    std::sort(result.answers.begin(), result.answers.end(),
              [](const DiscoveryAnswer& a, const DiscoveryAnswer& b) { return a.address < b.address; });
    return result;
}

}  // namespace tools
