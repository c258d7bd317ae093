// The part of the USB search that `quenvar list` shares with the two ports
// (USBPort, the vendor route; USBPRNPort, the printer class): which devices
// each route takes and which interface of them, the walk over the USB
// library's buses under the process-wide lock, and the identification and
// serial-number reads of a candidate. It is built once and linked into the
// library and into the command, so the command sees the printers exactly as
// the library's search does.
#pragma once

#include <usb.h>

#include <cstdint>
#include <string>

namespace quenvar {
namespace usb {

// Every Velmar printer reports this vendor identifier.
constexpr uint16_t VelmarVendorId = 0x0A6F;
// Answer room of the identification requests (the buffer has one byte more,
// which stays 0 so the answer is always terminated).
constexpr unsigned int IdentificationLength = 256;
// Time limit of the requests made while choosing a printer.
constexpr unsigned int SearchRequestMs = 200;
// Transfer type of a bulk endpoint, and the direction bit of an IN endpoint.
constexpr int BulkTransfer = 2;
constexpr int DirectionIn = 0x80;
constexpr int DirectionOut = 0x00;

// The product identifiers each route takes.
constexpr uint16_t VendorRouteProducts[] = {0x0002, 0x0004, 0x0006, 0x000A, 0x000E};
constexpr uint16_t ClassRouteProducts[] = {0x0001, 0x0003, 0x0005, 0x0009, 0x000B};

// The identification request of each route: vendor request 0 to the device,
// and the printer class's GET_DEVICE_ID to the printer interface.
constexpr int VendorIdentificationType = 0xC0, VendorIdentificationRequest = 0;
constexpr int ClassIdentificationType = 0xA1, ClassIdentificationRequest = 0;

enum class Route { Vendor, Class };

// The interface a route takes on a device: the indexes of the configuration,
// the interface and the alternate setting in the USB library's arrays, and
// the addresses of the bulk pipes.
struct RouteInterface {
    int configIndex = 0, interfaceIndex = 0, altIndex = 0;
    int bulkIn = -1, bulkOut = -1;
};

// A candidate printer of the vendor with one of `products` (count of them).
bool IsVelmarProduct(const struct usb_device* device, const uint16_t* products, unsigned int count);

// device: in, a candidate of `route` (IsVelmarProduct). The vendor route takes
// the first alternate setting that has any endpoint, the printer class the
// first bidirectional printer-class one (7/1/2); either only with a bulk IN
// and a bulk OUT pipe in that alternate setting, no other is tried. False
// when the route skips the device; `found` holds what was looked at.
bool FindRouteInterface(Route route, struct usb_device* device, RouteInterface* found);

// handle: in, an open candidate. Sends an identification request (request
// type, request, index as given; 256 bytes; 200 ms). Returns the request's
// result, negative (-errno) when it failed; otherwise `text` is the answer
// from its third byte (the first two give its length) up to its first zero.
int IdentificationText(usb_dev_handle* handle, int requestType, int request, int index, std::string* text);

// True when the identification request succeeds and vendorText occurs in its
// text.
bool IdentificationNames(usb_dev_handle* handle, int requestType, int request, int index,
                         const std::string& vendorText);

// What reading a candidate's serial number found.
enum class SerialRead {
    Read,       // the 8-character serial number is in `serial`
    NoSerial,   // the device has no serial-number string (iSerialNumber 0)
    OtherForm,  // a descriptor other than 18 bytes of type 3: no ";sn:" matches it
    Failed      // the request failed (its result in `error`)
};

// handle, device: in, an open candidate. Reads its serial-number string
// (GET_DESCRIPTOR, 200 ms). Only a descriptor of exactly 18 bytes (eight code
// units) counts; a code unit above 0xFF reads as "?", and the text ends at a
// code unit 0. error: out, the request's negative result when Failed.
SerialRead ReadSerialNumber(usb_dev_handle* handle, const struct usb_device* device, std::string* serial, int* error);

// True when the candidate's serial number reads and equals serialText. False
// for a printer without a serial-number string.
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

// The lock behind SearchDevices, and the rescan it runs under it. (The lock is
// one per copy of this code: the library's and the command's own. The command
// lists printers without opening a port, so the two never walk at once.)
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
