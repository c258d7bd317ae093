// What a USB device does on the wire, seen from the device: its descriptors,
// its answers to control requests and what it takes from and gives to its bulk
// pipes. The virtual USB printers implement it; a host (the test rig that
// stands in for the kernel's usbfs) drives it. Everything a host does to the
// device itself (configuration, claiming, kernel drivers) stays with the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emulator {

// The eight bytes that open a control transfer.
struct UsbSetup {
    uint8_t requestType = 0;  // bit 7 set: device to host
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;  // bytes of the data stage

    bool toHost() const { return (requestType & 0x80) != 0; }
};

// How the device ends a control transfer.
struct UsbControlAnswer {
    enum class Kind {
        Data,     // accepted; `data` is what a device-to-host request sends back
        Stall,    // the device refuses the request (the host sees EPIPE)
        NoAnswer  // the device never completes it (the host's time limit ends it)
    };
    Kind kind = Kind::Data;
    std::string data;

    static UsbControlAnswer Bytes(std::string bytes) { return {Kind::Data, std::move(bytes)}; }
    static UsbControlAnswer Stall() { return {Kind::Stall, {}}; }
    static UsbControlAnswer Silent() { return {Kind::NoAnswer, {}}; }
};

class UsbFunction {
public:
    virtual ~UsbFunction() = default;

    // The device descriptor followed by every configuration descriptor with
    // its interface and endpoint descriptors, as a host reads them from the
    // device once it is enumerated.
    virtual std::string descriptors() const = 0;
    // Interface numbers a kernel driver takes when the device is plugged in
    // (a printer-class interface gets the kernel's printer driver).
    virtual std::vector<uint8_t> kernelDriverInterfaces() const { return {}; }
    // A control transfer on the default pipe; `dataOut` is the data stage of a
    // host-to-device request.
    virtual UsbControlAnswer control(const UsbSetup& setup, const std::string& dataOut) = 0;
    // The host sends `data` on bulk OUT `endpoint`. False: the device does not
    // take it now (it NAKs; the host retries until its time limit).
    virtual bool bulkOut(uint8_t endpoint, const std::string& data) = 0;
    // The host asks for up to `length` bytes on bulk IN `endpoint`. Nothing:
    // the device has nothing to send now (it NAKs; the host asks again).
    virtual std::optional<std::string> bulkIn(uint8_t endpoint, std::size_t length) = 0;
    // The device was plugged in (true) or pulled out (false).
    virtual void attached(bool plugged) { (void)plugged; }
};

}  // namespace emulator
