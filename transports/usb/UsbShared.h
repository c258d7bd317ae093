// What the two USB ports (USBPort, the vendor route; USBPRNPort, the printer
// class) have in common: the port-name grammar, the search over the USB
// library's bus and device lists, the identification text and serial-number
// checks of a candidate printer, and dropping the device handle.
//
// Port name: prefix (7 characters), vendorText, optionally ";sn:" and
// serialText. vendorText must occur in the printer's identification text;
// serialText must equal its USB serial number, which is read as exactly eight
// characters.
#pragma once

#include <usb.h>

#include <cstdint>
#include <string>

#include "core/Deadline.h"

namespace quenvar {
namespace usb {

// Every Velmar printer reports this vendor identifier.
constexpr uint16_t VelmarVendorId = 0x0A6F;
// Room for a port name or settings string, terminating zero included.
constexpr unsigned int PortTextSize = 100;
// Answer room of the identification requests (the buffer has one byte more,
// which stays 0 so the answer is always terminated).
constexpr unsigned int IdentificationLength = 256;
// Time limit of the requests made while choosing a printer.
constexpr unsigned int SearchRequestMs = 200;
// Transfer type of a bulk endpoint, and the direction bit of an IN endpoint.
constexpr int BulkTransfer = 2;
constexpr int DirectionIn = 0x80;
constexpr int DirectionOut = 0x00;

// `value` (a byte count or milliseconds) as the USB library's int argument.
inline int UsbInt(uint64_t value) { return value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(value); }

// The time limit to give the USB library for one transfer of a port with
// `timeoutMs` that must end by `limit`: the port's own, or what is left of
// `limit` when that is less (the library takes 0 as "without limit", so a
// port without one gets what is left). -1 once `limit` has passed: make no
// transfer.
int TransferLimitMs(unsigned int timeoutMs, const Deadline& limit);

// handle, endpoint: in, an open printer's bulk OUT pipe. One bulk write of at
// most 64 bytes of `buf` (`size` offered) within `transferMs` (-1: no time
// left, make no transfer). Returns 1 with `*written` set to what the printer
// took, which is 0 when it did not take the data in time (it is still
// there); 0 with `*written` 0 when the transfer failed, after which the caller
// drops the handle.
int BulkWrite(usb_dev_handle* handle, int endpoint, const unsigned char* buf, unsigned int size, int transferMs,
              unsigned int* written);

// The port status byte both routes read: online when bit 3 (no error) and
// bit 4 (selected) are set and bit 5 (paper empty) is clear.
inline bool PortStatusOnline(unsigned char portStatus) {
    return (portStatus & 0x08) != 0 && (portStatus & 0x10) != 0 && (portStatus & 0x20) == 0;
}

// name: in, a port name. 1 when its first seven characters are exactly
// `lower` or exactly `upper`, else 0.
int MatchPrefix(const char* name, const char* lower, const char* upper);

// field: out, the text with its terminating zero. Returns false, with `field`
// emptied, when `text` does not fit: a cut name could select another printer.
bool CopyPortText(char (&field)[PortTextSize], const char* text);

// The parts of a port name after the prefix.
struct PortNameParts {
    std::string vendorText;  // searched for in the identification text; empty matches every printer
    bool hasSerial = false;  // the name holds ";sn:"
    std::string serialText;  // what follows ";sn:"
};
// portName: in, the whole name, prefix included; it is not changed.
PortNameParts SplitPortName(const char* portName);

// A candidate printer of the vendor with one of `products` (count of them).
bool IsVelmarProduct(const struct usb_device* device, const uint16_t* products, unsigned int count);

// handle: in, an open candidate. Sends an identification request (request
// type, request, index as given; 256 bytes; 200 ms) and searches its answer,
// from the third byte up to the first zero byte, for vendorText. False when
// the request fails or the text is not there.
bool IdentificationNames(usb_dev_handle* handle, int requestType, int request, int index,
                         const std::string& vendorText);

// handle, device: in, an open candidate. Reads its serial-number string
// (GET_DESCRIPTOR, 200 ms) and compares it with serialText. Only a descriptor
// of exactly 18 bytes (eight code units) counts; a code unit above 0xFF reads
// as "?". False for a printer without a serial-number string.
bool SerialNumberMatches(usb_dev_handle* handle, const struct usb_device* device, const std::string& serialText);

// Runs a search for a printer: rescans the buses, so printers plugged in or
// pulled out since the last search are seen, and offers every device, bus by
// bus in the USB library's order, to `tryDevice` until it accepts one (returns
// true). The USB library keeps one list of buses and devices for the whole
// process and every rescan rebuilds it, so all searches of all ports run one
// at a time under one process-wide lock. Returns true when a device was
// accepted.
template <class TryDevice>
bool SearchDevices(TryDevice tryDevice);

// Releases `interfaceNumber`, closes the handle and sets it to null; the next
// operation searches again. Nothing is sent to the printer.
void DropHandle(usb_dev_handle*& handle, int interfaceNumber);

// The lock behind SearchDevices, and the rescan it runs under it.
class BusSearch {
public:
    BusSearch();
    ~BusSearch();
    BusSearch(const BusSearch&) = delete;
    BusSearch& operator=(const BusSearch&) = delete;
    // The first bus of the fresh list.
    struct usb_bus* busses() const;
};

template <class TryDevice>
bool SearchDevices(TryDevice tryDevice) {
    BusSearch search;
    for (struct usb_bus* bus = search.busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device* device = bus->devices; device != nullptr; device = device->next)
            if (tryDevice(bus, device)) return true;
    return false;
}

}  // namespace usb
}  // namespace quenvar
