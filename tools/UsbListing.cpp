#include "UsbListing.h"

#include <usb.h>

#include <cerrno>
#include <cstring>

#include "transports/usb/UsbBus.h"

namespace tools {

namespace {

namespace usb = quenvar::usb;

bool refused(int error) { return error == EACCES || error == EPERM; }

std::string error_text(int error) { return std::strerror(error < 0 ? -error : error); }

void mark_refused(UsbPrinterInfo& info) {
    info.mayOpen = false;
    info.identificationNote = "not asked: no permission";
    info.serialState = UsbCandidate::Serial::None;
    info.serial.clear();
    info.serialNote = "unknown";
    info.selectable = false;
    info.nameNote = "this user may not open it (see the udev rule in the README)";
}

// Reads what the library's search would read, on an open device.
void inspect_open(UsbPrinterInfo& info, usb_dev_handle* handle, struct usb_device* device, usb::Route route,
                  const usb::RouteInterface& found) {
    const usb_interface_descriptor& alt =
        device->config[found.configIndex].interface[found.interfaceIndex].altsetting[found.altIndex];
    char driver[256] = {};
    const int held = usb_get_driver_np(handle, alt.bInterfaceNumber, driver, sizeof driver);
    if (held == 0)
        info.driver = std::string(driver);
    else if (held == -ENODATA)
        info.driver = std::string();
    else if (refused(-held))
        return mark_refused(info);

    int serialError = 0;
    switch (usb::ReadSerialNumber(handle, device, &info.serial, &serialError)) {
    case usb::SerialRead::Read:
        info.serialState = UsbCandidate::Serial::Read;
        break;
    case usb::SerialRead::NoSerial:
        info.serialNote = "none";
        break;
    case usb::SerialRead::OtherForm:
        info.serialNote = "not 8 characters: no ;sn: name matches it";
        break;
    case usb::SerialRead::Failed:
        if (refused(-serialError)) return mark_refused(info);
        info.serialState = UsbCandidate::Serial::Unknown;
        info.serialNote = "not read: " + error_text(serialError);
        break;
    }

    // The printer class's request goes to the interface, which usbfs would
    // claim for it: asked only when nothing holds the interface. The library
    // itself detaches a kernel driver first, so such a printer stays
    // selectable; one that another program holds does not (its claim fails).
    if (route == usb::Route::Class && info.driver != std::string()) {
        info.identificationNote = info.driver ? "not asked: " + *info.driver + " holds the printer interface"
                                              : "not asked: what holds the printer interface is not known";
        info.mayOpen = true;
        info.selectable = info.driver != std::string("usbfs");
        if (!info.selectable) info.nameNote = "another program holds its printer interface";
        return;
    }
    std::string text;
    const int answered =
        route == usb::Route::Vendor
            ? usb::IdentificationText(handle, usb::VendorIdentificationType, usb::VendorIdentificationRequest, 0, &text)
            : usb::IdentificationText(handle, usb::ClassIdentificationType, usb::ClassIdentificationRequest,
                                      found.interfaceIndex, &text);
    if (answered < 0 && refused(-answered)) return mark_refused(info);
    info.mayOpen = true;
    if (answered < 0) {
        info.identificationNote = "the identification request failed: " + error_text(answered);
        info.nameNote = "the library's search passes it by: it does not answer its identification request";
        return;
    }
    info.identification = text;
    info.selectable = true;
}

UsbPrinterInfo inspect(struct usb_bus* bus, struct usb_device* device) {
    UsbPrinterInfo info;
    info.bus = bus->dirname;
    info.device = device->filename;
    info.product = device->descriptor.idProduct;
    usb::Route route;
    if (usb::IsVelmarProduct(device, usb::VendorRouteProducts, sizeof usb::VendorRouteProducts / sizeof(uint16_t))) {
        route = usb::Route::Vendor;
        info.route = "usbven";
    } else if (usb::IsVelmarProduct(device, usb::ClassRouteProducts,
                                    sizeof usb::ClassRouteProducts / sizeof(uint16_t))) {
        route = usb::Route::Class;
        info.route = "usbprn";
    } else {
        info.skipped = "neither route takes this product identifier";
        info.nameNote = info.skipped;
        return info;
    }
    usb::RouteInterface found;
    if (!usb::FindRouteInterface(route, device, &found)) {
        info.skipped = route == usb::Route::Vendor
                           ? "its first alternate setting with endpoints lacks a bulk IN or OUT pipe"
                           : "no bidirectional printer-class interface with bulk IN and OUT pipes";
        info.nameNote = "the route passes it by: " + info.skipped;
        return info;
    }
    errno = 0;
    usb_dev_handle* handle = usb_open(device);
    if (handle == nullptr) {
        const int error = errno;
        if (refused(error)) {
            mark_refused(info);
        } else {
            info.identificationNote = "not opened: " + error_text(error);
            info.nameNote = "the library cannot open it either";
        }
        return info;
    }
    inspect_open(info, handle, device, route, found);
    usb_close(handle);
    return info;
}

// Fills in the port names of one route's printers, in search order.
void name_route(std::vector<UsbPrinterInfo>& printers, const std::string& route) {
    std::vector<UsbPrinterInfo*> members;
    std::vector<UsbCandidate> candidates;
    for (UsbPrinterInfo& info : printers) {
        if (info.route != route || !info.skipped.empty()) continue;
        members.push_back(&info);
        candidates.push_back({info.selectable, info.identification, info.serialState, info.serial});
    }
    const std::vector<PortNameChoice> choices = ChoosePortNames(route + ":", candidates);
    for (std::size_t i = 0; i < members.size(); ++i) {
        UsbPrinterInfo& info = *members[i];
        info.portName = choices[i].name;
        info.nameAlone = choices[i].alone;
        if (!info.selectable) continue;
        if (info.portName.empty())
            info.nameNote =
                "a printer before it matches every name that matches it (the same identification "
                "text and serial number)";
        else if (!info.nameAlone)
            info.nameNote =
                "the name also matches printers after it: it selects this one only while this one is "
                "plugged in";
    }
}

}  // namespace

std::vector<UsbPrinterInfo> ListUsbPrinters() {
    std::vector<UsbPrinterInfo> printers;
    usb::SearchDevices([&](struct usb_bus* bus, struct usb_device* device) {
        if (device->descriptor.idVendor == usb::VelmarVendorId) printers.push_back(inspect(bus, device));
        return false;
    });
    name_route(printers, "usbven");
    name_route(printers, "usbprn");
    return printers;
}

}  // namespace tools
