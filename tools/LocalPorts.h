// The serial and parallel ports of this machine: /dev/ttyS*, /dev/ttyUSB*,
// /dev/ttyACM* and /dev/parport*, each with the USB device it sits on when
// there is one, as sysfs tells.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tools {

// The USB device an adapter port belongs to.
struct UsbParent {
    std::string vendorId, productId;            // four hexadecimal digits each
    std::string manufacturer, product, serial;  // its strings; empty when it has none
};

struct LocalPort {
    std::string portName;  // the device path that opens it, e.g. "/dev/ttyUSB0"
    std::string kind;      // "serial" or "parallel"
    bool mayOpen = false;  // this user may read and write the device file
    std::optional<UsbParent> usbParent;
};

// devRoot, sysRoot: where /dev and /sys are (other roots are for tests; the
// port names still begin with /dev). A built-in UART port (ttyS) is listed
// only when sysfs gives it a UART type other than 0 (none), or when sysfs
// does not know it at all.
std::vector<LocalPort> ListLocalPorts(const std::string& devRoot, const std::string& sysRoot);

}  // namespace tools
