#include "LocalPorts.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace tools {

namespace {

namespace fs = std::filesystem;

struct Family {
    const char* prefix;
    const char* kind;
};
const Family kFamilies[] = {{"ttyS", "serial"}, {"ttyUSB", "serial"}, {"ttyACM", "serial"}, {"parport", "parallel"}};

// The first line of a sysfs attribute; none when it cannot be read.
std::optional<std::string> attribute(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return std::nullopt;
    return line;
}

// The family of a device name: "ttyUSB3" is of ttyUSB; "ttySAC0" of none.
const Family* family_of(const std::string& name) {
    for (const Family& family : kFamilies) {
        const std::string prefix = family.prefix;
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                        [](unsigned char c) { return std::isdigit(c) != 0; }))
            return &family;
    }
    return nullptr;
}

// The USB device above the tty's device in sysfs: the nearest directory with
// an idVendor.
std::optional<UsbParent> usb_parent(const fs::path& sysRoot, const std::string& name) {
    std::error_code error;
    fs::path at = fs::canonical(sysRoot / "class" / "tty" / name / "device", error);
    if (error) return std::nullopt;
    const fs::path top = fs::canonical(sysRoot, error);
    for (; !error && at.has_relative_path() && at != top; at = at.parent_path()) {
        const std::optional<std::string> vendor = attribute(at / "idVendor");
        if (!vendor) continue;
        UsbParent parent;
        parent.vendorId = *vendor;
        parent.productId = attribute(at / "idProduct").value_or("");
        parent.manufacturer = attribute(at / "manufacturer").value_or("");
        parent.product = attribute(at / "product").value_or("");
        parent.serial = attribute(at / "serial").value_or("");
        return parent;
    }
    return std::nullopt;
}

// A built-in UART port that the kernel reserved a name for but found no UART
// at has type 0.
bool uart_present(const fs::path& sysRoot, const std::string& name) {
    const std::optional<std::string> type = attribute(sysRoot / "class" / "tty" / name / "type");
    return !type || *type != "0";
}

// "ttyS2" before "ttyS10": by family, then by number.
bool port_order(const LocalPort& a, const LocalPort& b) {
    auto split = [](const std::string& name) {
        const std::size_t digits = name.find_first_of("0123456789");
        return std::make_pair(name.substr(0, digits), std::stoul(name.substr(digits)));
    };
    return split(a.portName) < split(b.portName);
}

}  // namespace

std::vector<LocalPort> ListLocalPorts(const std::string& devRoot, const std::string& sysRoot) {
    std::vector<LocalPort> ports;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(devRoot, error)) {
        const std::string name = entry.path().filename().string();
        const Family* family = family_of(name);
        if (family == nullptr) continue;
        if (std::string(family->prefix) == "ttyS" && !uart_present(sysRoot, name)) continue;
        LocalPort port;
        port.portName = "/dev/" + name;
        port.kind = family->kind;
        port.mayOpen = ::access(entry.path().c_str(), R_OK | W_OK) == 0;
        if (port.kind == "serial") port.usbParent = usb_parent(sysRoot, name);
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(), port_order);
    return ports;
}

}  // namespace tools
