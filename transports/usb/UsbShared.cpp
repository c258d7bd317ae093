#include "transports/usb/UsbShared.h"

#include <cstring>
#include <mutex>

namespace quenvar {
namespace usb {

namespace {

constexpr int kStandardDeviceIn = 0x80;
constexpr int kGetDescriptor = 6;
constexpr int kStringDescriptor = 0x0300;
// A serial-number descriptor the ports accept: 18 bytes (length 18, type 3,
// eight UTF-16LE code units).
constexpr unsigned int kSerialDescriptorLength = 18;
constexpr unsigned int kSerialCharacters = 8;
constexpr const char* kSerialMarker = ";sn:";
constexpr unsigned int kPrefixLength = 7;

// One lock for the USB library's bus and device lists, in the whole process.
std::mutex& bus_lock() {
    static std::mutex lock;
    return lock;
}

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

bool IsVelmarProduct(const struct usb_device* device, const uint16_t* products, unsigned int count) {
    if (device->descriptor.idVendor != VelmarVendorId) return false;
    for (unsigned int i = 0; i < count; ++i)
        if (device->descriptor.idProduct == products[i]) return true;
    return false;
}

bool IdentificationNames(usb_dev_handle* handle, int requestType, int request, int index,
                         const std::string& vendorText) {
    char answer[IdentificationLength + 1] = {};
    if (usb_control_msg(handle, requestType, request, 0, index, answer, IdentificationLength, SearchRequestMs) < 0)
        return false;
    // The first two bytes give the answer's length; the text follows.
    return std::strstr(answer + 2, vendorText.c_str()) != nullptr;
}

bool SerialNumberMatches(usb_dev_handle* handle, const struct usb_device* device, const std::string& serialText) {
    const int index = device->descriptor.iSerialNumber;
    if (index == 0) return false;
    unsigned char answer[IdentificationLength] = {};
    const int length = usb_control_msg(handle, kStandardDeviceIn, kGetDescriptor, kStringDescriptor + index, 0,
                                       reinterpret_cast<char*>(answer), IdentificationLength, SearchRequestMs);
    if (length < static_cast<int>(kSerialDescriptorLength) || answer[0] != kSerialDescriptorLength || answer[1] != 3)
        return false;
    char serial[kSerialCharacters + 1];
    for (unsigned int i = 0; i < kSerialCharacters; ++i) {
        const unsigned char low = answer[2 + 2 * i], high = answer[3 + 2 * i];
        serial[i] = high != 0 ? '?' : static_cast<char>(low);
    }
    serial[kSerialCharacters] = '\0';
    return std::strcmp(serial, serialText.c_str()) == 0;
}

void DropHandle(usb_dev_handle*& handle, int interfaceNumber) {
    if (handle == nullptr) return;
    usb_release_interface(handle, interfaceNumber);
    usb_close(handle);
    handle = nullptr;
}

BusSearch::BusSearch() {
    bus_lock().lock();
    // Their results are not needed: the walk sees whatever the rescan found.
    usb_init();
    usb_find_busses();
    usb_find_devices();
}

BusSearch::~BusSearch() { bus_lock().unlock(); }

struct usb_bus* BusSearch::busses() const {
    return usb_get_busses();
}

}  // namespace usb
}  // namespace quenvar
