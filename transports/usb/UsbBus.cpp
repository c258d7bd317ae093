#include "transports/usb/UsbBus.h"

#include <cstring>
#include <mutex>

namespace quenvar {
namespace usb {

namespace {

constexpr int kStandardDeviceIn = 0x80;
constexpr int kGetDescriptor = 6;
constexpr int kStringDescriptor = 0x0300;
// A serial-number descriptor the ports accept: 18 bytes (length 18, type 3,
// eight UTF-16LE code units).
constexpr unsigned int kSerialDescriptorLength = 18;
constexpr unsigned int kSerialCharacters = 8;

// The interface the printer class takes: printer, printers, bidirectional.
constexpr int kPrinterClass = 7, kPrinterSubClass = 1, kBidirectional = 2;

// One lock for the USB library's bus and device lists, in the whole process.
std::mutex& bus_lock() {
    static std::mutex lock;
    return lock;
}

// The endpoint of alternate setting `altIndex` of interface `interfaceIndex`
// of configuration `configIndex` whose direction bit is `direction` and whose
// transfer type is `transferType`: the first in descriptor order. Its address,
// or -1 when there is none.
int find_ep(struct usb_device* dev, int configIndex, int interfaceIndex, int altIndex, int direction,
            int transferType) {
    if (dev->config == nullptr) return -1;
    const usb_interface_descriptor& alt = dev->config[configIndex].interface[interfaceIndex].altsetting[altIndex];
    for (int i = 0; i < alt.bNumEndpoints; ++i) {
        const usb_endpoint_descriptor& endpoint = alt.endpoint[i];
        if ((endpoint.bEndpointAddress & 0x80) == direction && (endpoint.bmAttributes & 0x03) == transferType)
            return endpoint.bEndpointAddress;
    }
    return -1;
}

// The vendor route's alternate setting: the first that has any endpoint.
bool vendor_altsetting(const usb_interface_descriptor& alt) { return alt.bNumEndpoints != 0; }

// The printer class's: a bidirectional printer-class interface (7/1/2),
// whatever its endpoints.
bool class_altsetting(const usb_interface_descriptor& alt) {
    return alt.bInterfaceClass == kPrinterClass && alt.bInterfaceSubClass == kPrinterSubClass &&
           alt.bInterfaceProtocol == kBidirectional;
}

// The first alternate setting, over all configurations and interfaces, that
// `wanted` takes: its three indexes and 0, or -1 when there is none.
int find_first_altsetting(struct usb_device* dev, bool (*wanted)(const usb_interface_descriptor&), int* configIndex,
                          int* interfaceIndex, int* altIndex) {
    if (dev->config == nullptr) return -1;
    for (int c = 0; c < dev->descriptor.bNumConfigurations; ++c) {
        const usb_config_descriptor& config = dev->config[c];
        for (int i = 0; i < config.bNumInterfaces; ++i) {
            const usb_interface& interface = config.interface[i];
            for (int a = 0; a < interface.num_altsetting; ++a) {
                if (!wanted(interface.altsetting[a])) continue;
                *configIndex = c;
                *interfaceIndex = i;
                *altIndex = a;
                return 0;
            }
        }
    }
    return -1;
}

}  // namespace

bool IsVelmarProduct(const struct usb_device* device, const uint16_t* products, unsigned int count) {
    if (device->descriptor.idVendor != VelmarVendorId) return false;
    for (unsigned int i = 0; i < count; ++i)
        if (device->descriptor.idProduct == products[i]) return true;
    return false;
}

bool FindRouteInterface(Route route, struct usb_device* device, RouteInterface* found) {
    if (find_first_altsetting(device, route == Route::Vendor ? vendor_altsetting : class_altsetting,
                              &found->configIndex, &found->interfaceIndex, &found->altIndex) != 0)
        return false;
    found->bulkIn =
        find_ep(device, found->configIndex, found->interfaceIndex, found->altIndex, DirectionIn, BulkTransfer);
    found->bulkOut =
        find_ep(device, found->configIndex, found->interfaceIndex, found->altIndex, DirectionOut, BulkTransfer);
    return found->bulkIn != -1 && found->bulkOut != -1;
}

int IdentificationText(usb_dev_handle* handle, int requestType, int request, int index, std::string* text) {
    char answer[IdentificationLength + 1] = {};
    const int result =
        usb_control_msg(handle, requestType, request, 0, index, answer, IdentificationLength, SearchRequestMs);
    // The first two bytes give the answer's length; the text follows.
    text->assign(result < 0 ? "" : answer + 2);
    return result;
}

bool IdentificationNames(usb_dev_handle* handle, int requestType, int request, int index,
                         const std::string& vendorText) {
    std::string text;
    return IdentificationText(handle, requestType, request, index, &text) >= 0 &&
           text.find(vendorText) != std::string::npos;
}

SerialRead ReadSerialNumber(usb_dev_handle* handle, const struct usb_device* device, std::string* serial, int* error) {
    serial->clear();
    const int index = device->descriptor.iSerialNumber;
    if (index == 0) return SerialRead::NoSerial;
    unsigned char answer[IdentificationLength] = {};
    const int length = usb_control_msg(handle, kStandardDeviceIn, kGetDescriptor, kStringDescriptor + index, 0,
                                       reinterpret_cast<char*>(answer), IdentificationLength, SearchRequestMs);
    if (length < 0) {
        *error = length;
        return SerialRead::Failed;
    }
    if (length < static_cast<int>(kSerialDescriptorLength) || answer[0] != kSerialDescriptorLength || answer[1] != 3)
        return SerialRead::OtherForm;
    char text[kSerialCharacters + 1];
    for (unsigned int i = 0; i < kSerialCharacters; ++i) {
        const unsigned char low = answer[2 + 2 * i], high = answer[3 + 2 * i];
        text[i] = high != 0 ? '?' : static_cast<char>(low);
    }
    text[kSerialCharacters] = '\0';
    serial->assign(text);
    return SerialRead::Read;
}

bool SerialNumberMatches(usb_dev_handle* handle, const struct usb_device* device, const std::string& serialText) {
    std::string serial;
    int error = 0;
    return ReadSerialNumber(handle, device, &serial, &error) == SerialRead::Read && serial == serialText;
}

BusSearch::BusSearch() {
    bus_lock().lock();
    // Their results are not needed: the walk sees whatever the rescan found.
    usb_init();
    usb_find_busses();
    usb_find_devices();
}

BusSearch::~BusSearch() { bus_lock().unlock(); }

struct usb_bus* BusSearch::busses() const {
    return usb_get_busses();
}

}  // namespace usb
}  // namespace quenvar
