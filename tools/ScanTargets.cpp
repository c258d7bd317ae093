#include "ScanTargets.h"

#include <arpa/inet.h>

#include <cctype>
#include <unordered_set>

namespace tools {

namespace {

// text: in, a dotted-decimal address, four decimal parts and nothing else
// (no short, octal or hexadecimal forms: a scan target should mean one thing).
bool parse_address(const std::string& text, uint32_t* address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
    *address = ntohl(parsed.s_addr);
    return true;
}

// text: in, 1 to 3 decimal digits. value: out.
bool parse_small_number(const std::string& text, unsigned* value) {
    if (text.empty() || text.size() > 3) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    *value = static_cast<unsigned>(std::stoul(text));
    return true;
}

// Discovery goes to one printer at a time: a broadcast or multicast address
// would make many hosts answer for one request, and 0.x.x.x names no host.
bool is_unicast(uint32_t address) {
    const uint32_t first = address >> 24;
    return first != 0 && first < 224;
}

// One target: first and last address of what it names, and whether network
// and broadcast addresses are to be left out. Returns "" or the error.
std::string parse_target(const std::string& text, uint32_t* first, uint32_t* last, bool* skipEnds) {
    *skipEnds = false;
    const std::size_t slash = text.find('/');
    const std::size_t dash = text.find('-');
    if (slash != std::string::npos) {
        uint32_t base = 0;
        unsigned prefix = 0;
        if (!parse_address(text.substr(0, slash), &base) || !parse_small_number(text.substr(slash + 1), &prefix) ||
            prefix > 32)
            return "not a network ADDRESS/PREFIX (0 to 32)";
        if (prefix < 16) return "more than 65536 addresses (the widest network is a /16)";
        const uint32_t mask = ~uint32_t{0} << (32 - prefix);
        *first = base & mask;
        *last = *first | ~mask;
        *skipEnds = prefix < 31;
        return "";
    }
    if (dash != std::string::npos) {
        const std::string from = text.substr(0, dash);
        const std::string to = text.substr(dash + 1);
        if (!parse_address(from, first)) return "not a range FIRST-LAST";
        unsigned lastPart = 0;
        if (parse_small_number(to, &lastPart)) {
            if (lastPart > 255) return "the range's last part is above 255";
            *last = (*first & 0xFFFFFF00u) | lastPart;
        } else if (!parse_address(to, last)) {
            return "not a range FIRST-LAST (LAST an address or the last number of one)";
        }
        if (*last < *first) return "the range ends before it begins";
        if (*last - *first >= kMostScanAddresses) return "more than 65536 addresses";
        return "";
    }
    if (!parse_address(text, first)) return "not an IPv4 address, network or range";
    *last = *first;
    return "";
}

}  // namespace

std::string parseScanTargets(const std::vector<std::string>& texts, std::vector<uint32_t>* addresses) {
    addresses->clear();
    std::unordered_set<uint32_t> seen;
    for (const std::string& text : texts) {
        uint32_t first = 0, last = 0;
        bool skipEnds = false;
        const std::string why = parse_target(text, &first, &last, &skipEnds);
        if (!why.empty()) return "scan target \"" + text + "\": " + why;
        for (uint64_t a = first; a <= last; ++a) {
            const auto address = static_cast<uint32_t>(a);
            if (skipEnds && (address == first || address == last)) continue;
            if (!is_unicast(address))
                return "scan target \"" + text + "\": " + dottedAddress(address) +
                       " is not a single host's address (0.x.x.x, multicast or broadcast)";
            if (!seen.insert(address).second) continue;
            if (addresses->size() == kMostScanAddresses) return "more than 65536 addresses in all";
            addresses->push_back(address);
        }
    }
    return "";
}

std::string dottedAddress(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace tools
