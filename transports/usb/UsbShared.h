// What the two USB ports (USBPort, the vendor route; USBPRNPort, the printer
// class) have in common: the port-name grammar, transfers and dropping the
// device handle. The search over the USB library's bus and device lists and
// the checks of a candidate printer are in UsbBus.h.
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
#include "transports/usb/UsbBus.h"

namespace quenvar {
namespace usb {

// Room for a port name or settings string, terminating zero included.
constexpr unsigned int PortTextSize = 100;
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

// Releases `interfaceNumber`, closes the handle and sets it to null; the next
// operation searches again. Nothing is sent to the printer.
void DropHandle(usb_dev_handle*& handle, int interfaceNumber);

}  // namespace usb
}  // namespace quenvar
