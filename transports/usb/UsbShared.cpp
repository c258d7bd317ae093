#include "transports/usb/UsbShared.h"

#include <cstring>

namespace quenvar {
namespace usb {

namespace {

constexpr const char* kSerialMarker = ";sn:";
constexpr unsigned int kPrefixLength = 7;

}  // namespace

int TransferLimitMs(unsigned int timeoutMs, const Deadline& limit) {
    if (limit.unlimited()) return UsbInt(timeoutMs);
    const uint64_t left = limit.remainingMs();
    if (left == 0) return -1;
    return UsbInt(timeoutMs == 0 || left < timeoutMs ? left : timeoutMs);
}

int BulkWrite(usb_dev_handle* handle, int endpoint, const unsigned char* buf, unsigned int size, int transferMs,
              unsigned int* written) {
    constexpr unsigned int kWriteMax = 64;  // one transfer sends at most this much
    constexpr int kBulkTimedOut = -110;     // the printer did not take the data in time
    const unsigned int length = size < kWriteMax ? size : kWriteMax;
    const int sent = transferMs < 0 ? kBulkTimedOut
                                    : usb_bulk_write(handle, endpoint, reinterpret_cast<const char*>(buf),
                                                     static_cast<int>(length), transferMs);
    *written = sent < 0 ? 0 : static_cast<unsigned int>(sent);
    return sent >= 0 || sent == kBulkTimedOut ? 1 : 0;
}

int MatchPrefix(const char* name, const char* lower, const char* upper) {
    if (name == nullptr) return 0;
    return std::strncmp(name, lower, kPrefixLength) == 0 || std::strncmp(name, upper, kPrefixLength) == 0 ? 1 : 0;
}

bool CopyPortText(char (&field)[PortTextSize], const char* text) {
    const std::size_t length = std::strlen(text);
    if (length >= PortTextSize) {
        field[0] = '\0';
        return false;
    }
    std::memcpy(field, text, length + 1);
    return true;
}

PortNameParts SplitPortName(const char* portName) {
    PortNameParts parts;
    const char* vendor = portName + kPrefixLength;
    const char* marker = std::strstr(vendor, kSerialMarker);
    if (marker == nullptr) {
        parts.vendorText = vendor;
        return parts;
    }
    parts.vendorText.assign(vendor, marker);
    parts.hasSerial = true;
    parts.serialText = marker + std::strlen(kSerialMarker);
    return parts;
}

void DropHandle(usb_dev_handle*& handle, int interfaceNumber) {
    if (handle == nullptr) return;
    usb_release_interface(handle, interfaceNumber);
    usb_close(handle);
    handle = nullptr;
}

}  // namespace usb
}  // namespace quenvar
