// The USB printers of vendor 0x0A6F as the library's search sees them, found
// with the library's own bus walk and identification and serial-number reads
// (transports/usb/UsbBus.h). Looking changes nothing on a device: no kernel
// driver is detached, no configuration or alternate setting is chosen, and no
// interface is claimed; the printer class's identification request is sent
// only when no driver or program holds the printer interface.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "UsbPortNames.h"

namespace tools {

struct UsbPrinterInfo {
    std::string bus, device;                    // as the USB library names them, e.g. "001", "004"
    unsigned product = 0;                       // idProduct
    std::string route;                          // "usbven", "usbprn", or empty when neither route takes it
    std::string skipped;                        // why the route passes it by; empty when it takes it
    std::optional<bool> mayOpen;                // whether this user may open it; none: not known
    std::optional<std::string> driver;          // what holds the route's interface ("" nothing); none: not known
    std::optional<std::string> identification;  // the text the port name is searched in
    std::string identificationNote;             // why it is unknown
    UsbCandidate::Serial serialState = UsbCandidate::Serial::None;
    std::string serial;       // the 8 characters a ";sn:" part must equal
    std::string serialNote;   // why there is none
    bool selectable = false;  // the library's search can take it
    std::string portName;     // empty: no name selects it
    bool nameAlone = false;   // the name matches no other printer present
    std::string nameNote;     // why there is no name, or what else it matches
};

// Every device of vendor 0x0A6F on the buses, in the library's search order,
// each with the port name that selects it.
std::vector<UsbPrinterInfo> ListUsbPrinters();

}  // namespace tools
