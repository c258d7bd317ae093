// USB descriptors of the virtual printers, built from a plain description:
// the device descriptor with its configurations, interfaces, alternate
// settings and endpoints, and string descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace emulator {

struct UsbEndpointDescription {
    uint8_t address = 0;     // bit 7 set: IN
    uint8_t attributes = 2;  // transfer type in bits 1..0 (2: bulk, 3: interrupt)
    uint16_t maxPacket = 64;
};

// One alternate setting of one interface. The alternate settings of an
// interface follow each other, alternate setting 0 first.
struct UsbAltSettingDescription {
    uint8_t interfaceNumber = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0;
    uint8_t interfaceProtocol = 0;
    std::vector<UsbEndpointDescription> endpoints;
};

struct UsbConfigurationDescription {
    uint8_t value = 1;  // bConfigurationValue
    std::vector<UsbAltSettingDescription> altSettings;
};

struct UsbDeviceDescription {
    uint16_t vendor = 0;
    uint16_t product = 0;
    uint8_t serialNumberIndex = 0;  // iSerialNumber; 0: no serial-number string
    std::vector<UsbConfigurationDescription> configurations;
};

// The device descriptor followed by every configuration's descriptors.
std::string EncodeUsbDescriptors(const UsbDeviceDescription& device);
// A string descriptor: length, type 3, then `units` as UTF-16LE code units.
std::string EncodeUsbString(const std::u16string& units);
// The same for a text of single-byte characters.
std::string EncodeUsbString(const std::string& text);

}  // namespace emulator
