// quenvar list: every printer port this machine reaches without a network,
// each with the port name that opens it, in words or as JSON.
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "ExitCodes.h"
#include "LocalPorts.h"
#include "UsbListing.h"

namespace tools {

namespace {

struct ListSettings {
    bool json = false;
    std::string devRoot = "/dev";
    std::string sysRoot = "/sys";
};

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
    return text;
}

template <class T>
nlohmann::json or_null(const std::optional<T>& value) {
    return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

nlohmann::json usb_json(const UsbPrinterInfo& p) {
    nlohmann::json j{
        {"bus", p.bus},
        {"device", p.device},
        {"product", hex4(p.product)},
        {"route", p.route.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.route)},
        {"identification", or_null(p.identification)},
        {"serial", p.serialState == UsbCandidate::Serial::Read ? nlohmann::json(p.serial) : nlohmann::json(nullptr)},
        {"kernelDriver", or_null(p.driver)},
        {"mayOpen", or_null(p.mayOpen)},
        {"portName", p.portName.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.portName)},
        {"nameMatchesOnlyThis", p.nameAlone}};
    if (!p.skipped.empty()) j["skipped"] = p.skipped;
    if (!p.identificationNote.empty()) j["identificationNote"] = p.identificationNote;
    if (!p.serialNote.empty()) j["serialNote"] = p.serialNote;
    if (!p.nameNote.empty()) j["nameNote"] = p.nameNote;
    return j;
}

nlohmann::json local_json(const LocalPort& p) {
    nlohmann::json j{{"portName", p.portName}, {"kind", p.kind}, {"mayOpen", p.mayOpen}, {"usb", nullptr}};
    if (p.usbParent)
        j["usb"] = {{"vendorId", p.usbParent->vendorId},
                    {"productId", p.usbParent->productId},
                    {"manufacturer", p.usbParent->manufacturer},
                    {"product", p.usbParent->product},
                    {"serial", p.usbParent->serial}};
    return j;
}

const char* yes_no(const std::optional<bool>& value) { return !value ? "unknown" : *value ? "yes" : "no"; }

void print_usb(const UsbPrinterInfo& p) {
    std::cout << (p.portName.empty() ? std::string("(no port name selects it)") : p.portName) << "\n"
              << "  USB bus " << p.bus << " device " << p.device << ", product " << hex4(p.product) << ", "
              << (p.route == "usbven"   ? "vendor route (usbven)"
                  : p.route == "usbprn" ? "printer class (usbprn)"
                                        : "no route")
              << "\n";
    if (!p.route.empty() && p.skipped.empty()) {
        std::cout << "  identification: " << (p.identification ? *p.identification : "unknown, " + p.identificationNote)
                  << "\n"
                  << "  serial number:  "
                  << (p.serialState == UsbCandidate::Serial::Read ? p.serial
                                                                  : (p.serialNote.empty() ? "unknown" : p.serialNote))
                  << "\n"
                  << "  held by:        "
                  << (!p.driver           ? "unknown"
                      : p.driver->empty() ? "nothing"
                                          : "kernel driver " + *p.driver)
                  << "\n"
                  << "  may open:       " << yes_no(p.mayOpen) << "\n";
    }
    if (!p.nameNote.empty()) std::cout << "  note: " << p.nameNote << "\n";
}

void print_local(const LocalPort& p) {
    std::cout << p.portName << "\n  " << p.kind << " port";
    if (p.usbParent) {
        const UsbParent& u = *p.usbParent;
        std::cout << " on USB " << u.vendorId << ":" << u.productId;
        for (const std::string* text : {&u.manufacturer, &u.product})
            if (!text->empty()) std::cout << " " << *text;
        if (!u.serial.empty()) std::cout << ", serial " << u.serial;
    }
    std::cout << "\n  may open:       " << (p.mayOpen ? "yes" : "no") << "\n";
}

int runList(const ListSettings& settings) {
    const std::vector<UsbPrinterInfo> usb = ListUsbPrinters();
    const std::vector<LocalPort> local = ListLocalPorts(settings.devRoot, settings.sysRoot);
    if (settings.json) {
        nlohmann::json j{{"usb", nlohmann::json::array()},
                         {"serial", nlohmann::json::array()},
                         {"parallel", nlohmann::json::array()}};
        for (const UsbPrinterInfo& p : usb)
            j["usb"].push_back(usb_json(p));
        for (const LocalPort& p : local)
            j[p.kind].push_back(local_json(p));
        std::cout << j.dump(2) << "\n";
        return kExitSuccess;
    }
    if (usb.empty() && local.empty()) {
        std::cout << "no printer ports found (no USB printer of vendor 0x0A6F, no serial or parallel port)\n";
        return kExitSuccess;
    }
    for (const UsbPrinterInfo& p : usb)
        print_usb(p);
    for (const LocalPort& p : local)
        print_local(p);
    return kExitSuccess;
}

}  // namespace

void addListCommand(CLI::App& app, int& exitCode) {
    auto settings = std::make_shared<ListSettings>();
    CLI::App* command = app.add_subcommand(
        "list", "List the printers reached without a network, each with the port name that opens it");
    command->footer(
        "USB printers of vendor 0x0A6F on both routes (in the order the library searches them), serial ports\n"
        "(/dev/ttyS* with a UART, /dev/ttyUSB*, /dev/ttyACM*, with their USB adapter) and parallel ports\n"
        "(/dev/parport*). A USB printer's name is the shortest that selects it and no other: \"usbven:\" alone\n"
        "when it is the only one on its route, else a field of its identification text, else \";sn:\" and\n"
        "its serial number. Nothing on a device is changed: no driver is detached, nothing is claimed.\n"
        "Finding nothing is no error (exit 0).");
    command->add_flag("--json", settings->json, "print one JSON object instead");
    // Stand-ins for /dev and /sys, for tests; the USB library reads USB_DEVFS_PATH itself.
    command->add_option("--dev-root", settings->devRoot)->group("");
    command->add_option("--sys-root", settings->sysRoot)->group("");
    command->callback([settings, &exitCode] { exitCode = runList(*settings); });
}

}  // namespace tools
