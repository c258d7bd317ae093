// The addresses `quenvar scan` asks: single IPv4 addresses, networks
// (192.0.2.0/24) and ranges (192.0.2.10-192.0.2.40 or 192.0.2.10-40).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tools {

// The most addresses one scan asks (a /16), so a mistyped prefix cannot send
// requests to half the internet.
constexpr std::size_t kMostScanAddresses = 65536;

// texts: in, the targets as the user wrote them.
// addresses: out, every address to ask, in host byte order, each once, in the
//   order the targets name them. A network larger than /31 leaves out its
//   network and broadcast addresses.
// Returns "" on success, otherwise what is wrong with which target.
std::string parseScanTargets(const std::vector<std::string>& texts, std::vector<uint32_t>* addresses);

// An address in host byte order as dotted decimal, "192.0.2.7".
std::string dottedAddress(uint32_t address);

}  // namespace tools
