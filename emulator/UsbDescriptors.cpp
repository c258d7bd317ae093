#include "emulator/UsbDescriptors.h"

namespace emulator {

namespace {

constexpr uint8_t kDeviceType = 1, kConfigurationType = 2, kStringType = 3, kInterfaceType = 4, kEndpointType = 5;

void put16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>(value >> 8);
}

std::string configuration(const UsbConfigurationDescription& config) {
    std::string body;
    uint8_t interfaces = 0;
    for (const UsbAltSettingDescription& alt : config.altSettings) {
        if (alt.alternateSetting == 0) ++interfaces;
        body += static_cast<char>(9);
        body += static_cast<char>(kInterfaceType);
        body += static_cast<char>(alt.interfaceNumber);
        body += static_cast<char>(alt.alternateSetting);
        body += static_cast<char>(alt.endpoints.size());
        body += static_cast<char>(alt.interfaceClass);
        body += static_cast<char>(alt.interfaceSubClass);
        body += static_cast<char>(alt.interfaceProtocol);
        body += static_cast<char>(0);  // iInterface
        for (const UsbEndpointDescription& endpoint : alt.endpoints) {
            body += static_cast<char>(7);
            body += static_cast<char>(kEndpointType);
            body += static_cast<char>(endpoint.address);
            body += static_cast<char>(endpoint.attributes);
            put16(body, endpoint.maxPacket);
            body += static_cast<char>(0);  // bInterval
        }
    }
    std::string head;
    head += static_cast<char>(9);
    head += static_cast<char>(kConfigurationType);
    put16(head, static_cast<uint16_t>(9 + body.size()));
    head += static_cast<char>(interfaces);
    head += static_cast<char>(config.value);
    head += static_cast<char>(0);     // iConfiguration
    head += static_cast<char>(0xC0);  // self-powered
    head += static_cast<char>(1);     // 2 mA
    return head + body;
}

}  // namespace

std::string EncodeUsbDescriptors(const UsbDeviceDescription& device) {
    std::string out;
    out += static_cast<char>(18);
    out += static_cast<char>(kDeviceType);
    put16(out, 0x0200);            // USB 2.0
    out += std::string(3, '\0');   // class, subclass, protocol: per interface
    out += static_cast<char>(64);  // bMaxPacketSize0
    put16(out, device.vendor);
    put16(out, device.product);
    put16(out, 0x0100);           // bcdDevice
    out += static_cast<char>(1);  // iManufacturer
    out += static_cast<char>(2);  // iProduct
    out += static_cast<char>(device.serialNumberIndex);
    out += static_cast<char>(device.configurations.size());
    for (const UsbConfigurationDescription& config : device.configurations)
        out += configuration(config);
    return out;
}

std::string EncodeUsbString(const std::u16string& units) {
    std::string out;
    out += static_cast<char>(2 + 2 * units.size());
    out += static_cast<char>(kStringType);
    for (char16_t unit : units)
        put16(out, static_cast<uint16_t>(unit));
    return out;
}

std::string EncodeUsbString(const std::string& text) {
    std::u16string units;
    for (char c : text)
        units += static_cast<char16_t>(static_cast<unsigned char>(c));
    return EncodeUsbString(units);
}

}  // namespace emulator
