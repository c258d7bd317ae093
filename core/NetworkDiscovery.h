// Discovery of a network printer: the 28-byte request a host sends to UDP port
// 22222, and what the printer's reply says about where its status comes from.
// Header-only, so that the network port and the quenvar command share it
// without the library exporting anything beyond its C functions.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace quenvar {

// The printer's data connection; printers that report their status on their
// own send it here.
constexpr uint16_t DataConnectionPort = 9100;
// The port a host asks for the status of printers that send none on their own.
constexpr uint16_t StatusRequestPort = 9101;
// Where a printer listens for the discovery request.
constexpr uint16_t DiscoveryPort = 22222;

constexpr unsigned int DiscoveryAttempts = 5;      // requests a host sends before it gives up
constexpr unsigned int DiscoveryReplyMax = 512;    // bytes of a reply a host receives
constexpr unsigned int DiscoveryModelOffset = 36;  // the NUL-terminated model name starts here
constexpr unsigned int DiscoveryRequestLength = 28;

// "QVL_BCAST" padded to 16, "RQ1.0.0" padded to 8, the request's own length
// 28 (most significant byte first), "d1".
constexpr unsigned char DiscoveryRequest[DiscoveryRequestLength] = {
    0x51, 0x56, 0x4C, 0x5F, 0x42, 0x43, 0x41, 0x53, 0x54, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x52, 0x51, 0x31, 0x2E, 0x30, 0x2E, 0x30, 0x00, 0x00, 0x1C, 0x64, 0x31};

// Models that keep their status off the data connection and answer on 9101.
constexpr const char* OnRequestStatusModels[] = {"NXCB-KW11/12", "QRX450NET"};

// The model name a discovery reply carries.
// reply, length: in, the reply as received (at most DiscoveryReplyMax bytes).
// name: out, the name's bytes without the NUL, pointing into `reply`.
// Returns false, and leaves `*name` untouched, when the reply ends before the
// name's NUL: such a reply names no model.
inline bool DiscoveryModelName(const unsigned char* reply, unsigned int length, std::string_view* name) {
    if (length <= DiscoveryModelOffset) return false;
    const char* model = reinterpret_cast<const char*>(reply + DiscoveryModelOffset);
    const void* end = std::memchr(model, 0, length - DiscoveryModelOffset);
    if (end == nullptr) return false;
    *name = std::string_view(model, static_cast<std::size_t>(static_cast<const char*>(end) - model));
    return true;
}

// True for the models that send no status on their own and are asked on 9101.
inline bool IsOnRequestStatusModel(std::string_view name) {
    for (const char* known : OnRequestStatusModels)
        if (name == known) return true;
    return false;
}

// How the printer that sent this discovery reply delivers its status:
// StatusRequestPort for the models that answer on 9101, DataConnectionPort for
// every other reply (also one that names no model). A printer that does not
// reply at all is asked on StatusRequestPort; that case has no reply to pass.
inline uint16_t StatusPortForReply(const unsigned char* reply, unsigned int length) {
    std::string_view name;
    if (!DiscoveryModelName(reply, length, &name)) return DataConnectionPort;
    return IsOnRequestStatusModel(name) ? StatusRequestPort : DataConnectionPort;
}

}  // namespace quenvar
