// The USB printer port on the vendor-specific route. See USBPort.h.
#include "transports/USBPort.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/StatusDecoders.h"

namespace {

namespace usb = quenvar::usb;

// Vendor requests on the default pipe.
constexpr int kVendorIn = 0xC0, kVendorOut = 0x40;
constexpr int kPortStatusRequest = 1;
constexpr int kResetRequest = 2;
constexpr int kReceiveDataRequest = 3;

constexpr unsigned int kStatusBytes = 63;      // room for a status block in the record's raw
constexpr unsigned int kQueryPauseMs = 10;     // between receive-data queries
constexpr unsigned int kEndPollPauseMs = 200;  // between end-of-block polls
constexpr unsigned char kEtb = 0x17;
constexpr unsigned int kEtbCounterRange = 32;
// ESC RS "a" "2": the printer sends its status block on the bulk IN pipe.
constexpr unsigned char kStatusTransmission[] = {0x1B, 0x1E, 0x61, 0x32};

// status: in, what a status read brought. A Velmar ASB block begins with a
// header byte of the length table and holds at least the seven bytes that
// carry every condition; anything else begins no block, and decoding it would
// report arbitrary conditions and an arbitrary ETB counter.
bool is_status_block(const VelmarPrinterStatus_2& status) {
    return status.rawLength >= 7 && CalculateStatusLength(status.raw[0]) != 0;
}

}  // namespace

double gettimeofday_msec() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9) * 1000.0;
}

// ---------------------------------------------------------------------------
// Name, construction, opening

int USBPort::matchPortName(const char* portName) { return usb::MatchPrefix(portName, "usbven:", "USBVEN:"); }

USBPort::USBPort(const char* portName, const char* portSettings, unsigned int timeoutMs)
    : portName(),
      portSettings(),
      timeoutMs(timeoutMs),
      bus(nullptr),
      device(nullptr),
      handle(nullptr),
      configuration(0),
      interfaceNumber(0),
      altSetting(0),
      bulkInEndpoint(-1),
      bulkOutEndpoint(-1),
      savedStatus() {
    if (!usb::CopyPortText(this->portName, portName) || !usb::CopyPortText(this->portSettings, portSettings)) throw 0u;
    if (openPort() == 0) throw 0u;
}

USBPort::~USBPort() { dropHandle(); }

void USBPort::dropHandle() { usb::DropHandle(handle, interfaceNumber); }

int USBPort::openPort() {
    if (handle != nullptr) return 1;
    const usb::PortNameParts name = usb::SplitPortName(portName);
    const bool found = usb::SearchDevices([&](struct usb_bus* candidateBus, struct usb_device* candidate) {
        return tryDevice(candidateBus, candidate, name);
    });
    if (!found) handle = nullptr;
    return found ? 1 : 0;
}

bool USBPort::tryDevice(struct usb_bus* candidateBus, struct usb_device* candidate, const usb::PortNameParts& name) {
    if (!usb::IsVelmarProduct(candidate, usb::VendorRouteProducts,
                              sizeof usb::VendorRouteProducts / sizeof usb::VendorRouteProducts[0]))
        return false;
    usb::RouteInterface found;
    // Only the first alternate setting with endpoints is looked at: without
    // both bulk pipes the device is not a printer of this route.
    if (!usb::FindRouteInterface(usb::Route::Vendor, candidate, &found)) return false;
    const usb_interface_descriptor& alt =
        candidate->config[found.configIndex].interface[found.interfaceIndex].altsetting[found.altIndex];
    configuration = candidate->config[found.configIndex].bConfigurationValue;
    interfaceNumber = alt.bInterfaceNumber;
    altSetting = alt.bAlternateSetting;
    bulkInEndpoint = found.bulkIn;
    bulkOutEndpoint = found.bulkOut;
    usb_dev_handle* opened = usb_open(candidate);
    if (opened == nullptr) return false;
    // A claim that fails shows in the requests that follow.
    usb_claim_interface(opened, interfaceNumber);
    bus = candidateBus;
    device = candidate;
    handle = opened;
    if (usb::IdentificationNames(handle, usb::VendorIdentificationType, usb::VendorIdentificationRequest, 0,
                                 name.vendorText) &&
        (!name.hasSerial || usb::SerialNumberMatches(handle, candidate, name.serialText)))
        return true;
    dropHandle();
    return false;
}

// ---------------------------------------------------------------------------
// Reading and writing

int USBPort::readPort(unsigned char* buf, unsigned int size, unsigned int* read) {
    return readPortWithin(buf, size, read, quenvar::Deadline::never());
}

int USBPort::readPortWithin(unsigned char* buf, unsigned int size, unsigned int* read, const quenvar::Deadline& limit) {
    *read = 0;
    if (openPort() == 0) return 0;
    const double start = gettimeofday_msec();
    for (;;) {
        int transferMs = usb::TransferLimitMs(timeoutMs, limit);
        if (transferMs < 0) return giveUpReading();
        unsigned char waiting[2] = {0, 0};
        if (usb_control_msg(handle, kVendorIn, kReceiveDataRequest, static_cast<int>(size & 0xFFFF), 0,
                            reinterpret_cast<char*>(waiting), 2, transferMs) < 0) {
            dropHandle();
            return 0;
        }
        const double elapsed = gettimeofday_msec() - start;
        if (waiting[0] != 0 || waiting[1] != 0) {
            transferMs = usb::TransferLimitMs(timeoutMs, limit);
            const int got = transferMs < 0 ? -ETIMEDOUT
                                           : usb_bulk_read(handle, bulkInEndpoint, reinterpret_cast<char*>(buf),
                                                           usb::UsbInt(size), transferMs);
            if (got < 0) {
                dropHandle();
                *read = 0;
                return 0;
            }
            *read = static_cast<unsigned int>(got);
            return 1;
        }
        if (elapsed > static_cast<double>(timeoutMs) || limit.expired()) return giveUpReading();
        limit.pause(kQueryPauseMs);
    }
}

int USBPort::giveUpReading() {
    dropHandle();
    // No request failed here, so errno would still hold whatever an earlier
    // call left: say plainly that nothing was waiting.
    errno = EAGAIN;
    return 0;
}

int USBPort::writePort(const unsigned char* buf, unsigned int size, unsigned int* written) {
    return writePortWithin(buf, size, written, quenvar::Deadline::never());
}

int USBPort::writePortWithin(const unsigned char* buf, unsigned int size, unsigned int* written,
                             const quenvar::Deadline& limit) {
    if (openPort() == 0) return 0;
    if (usb::BulkWrite(handle, bulkOutEndpoint, buf, size, usb::TransferLimitMs(timeoutMs, limit), written) == 1)
        return 1;
    dropHandle();
    return 0;
}

// ---------------------------------------------------------------------------
// Status

int USBPort::getOnlineStatus(unsigned int* online) { return getOnlineStatusWithin(online, quenvar::Deadline::never()); }

int USBPort::getOnlineStatusWithin(unsigned int* online, const quenvar::Deadline& limit) {
    if (openPort() == 0) return 0;
    const int transferMs = usb::TransferLimitMs(timeoutMs, limit);
    if (transferMs < 0) return 0;  // no time left to ask
    unsigned char portStatus = 0;
    if (usb_control_msg(handle, kVendorIn, kPortStatusRequest, 0, 0, reinterpret_cast<char*>(&portStatus), 1,
                        transferMs) < 0) {
        dropHandle();
        *online = 0;
        return 0;
    }
    *online = usb::PortStatusOnline(portStatus) ? 1 : 0;
    return 1;
}

int USBPort::getParsedStatus(VelmarPrinterStatus_2* status) {
    return getParsedStatusWithin(status, quenvar::Deadline::checkedBlock(timeoutMs));
}

int USBPort::requestStatusTransmission(const quenvar::Deadline& limit) {
    unsigned int written = 0;
    if (writePortWithin(kStatusTransmission, sizeof kStatusTransmission, &written, limit) == 0) return 0;
    dropHandle();
    return openPort();
}

int USBPort::getParsedStatusWithin(VelmarPrinterStatus_2* status, const quenvar::Deadline& limit) {
    status->rawLength = 0;
    // The second read is the printer's latest status; the first takes an
    // older block that may still wait.
    (void)readPortWithin(status->raw, kStatusBytes, &status->rawLength, limit);
    if (readPortWithin(status->raw, kStatusBytes, &status->rawLength, limit) == 0) {
        if (errno != EAGAIN) return 0;
        if (requestStatusTransmission(limit) == 0) return 0;
    } else if (status->rawLength != 0 && !is_status_block(*status)) {
        // Bytes that begin no block (noise, other data) are no status: the
        // printer is asked for its block as when nothing was waiting.
        status->rawLength = 0;
        if (requestStatusTransmission(limit) == 0) return 0;
    }
    if (status->rawLength != 0) return BuildParsedStatus(status);
    if (requestStatusTransmission(limit) == 0) return 0;
    (void)readPortWithin(status->raw, kStatusBytes, &status->rawLength, limit);
    if (readPortWithin(status->raw, kStatusBytes, &status->rawLength, limit) == 0 || !is_status_block(*status))
        return 0;
    return BuildParsedStatus(status);
}

// ---------------------------------------------------------------------------
// Checked blocks: the ETB counter confirms the job

int USBPort::beginCheckedBlock(VelmarPrinterStatus_2* status) {
    if (getParsedStatus(status) == 0) return 0;
    if (status->etbAvailable == 0) return 0;
    savedStatus = *status;
    return 1;
}

int USBPort::endCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    unsigned int written = 0;
    if (writePortWithin(&kEtb, 1, &written, deadline) == 0 || written != 1) return 0;
    const unsigned int expected = (savedStatus.etbCounter + 1u) % kEtbCounterRange;
    // A printer that stopped being online, or that never confirms, ends the
    // wait as a failed exchange.
    const auto failedExchange = [status] {
        std::memset(status, 0, sizeof *status);
        status->offline = 1;
        return 1;
    };
    for (;;) {
        if (getParsedStatusWithin(status, deadline) == 1 && (status->etbCounter == expected || status->offline == 1))
            return 1;
        if (deadline.expired()) return failedExchange();
        unsigned int online = 0;
        if (getOnlineStatusWithin(&online, deadline) == 0) return deadline.expired() ? failedExchange() : 0;
        if (online == 0) return failedExchange();
        deadline.pause(kEndPollPauseMs);
    }
}

int USBPort::resetDevice() {
    if (openPort() == 0) return 0;
    if (usb_control_msg(handle, kVendorOut, kResetRequest, 0, 0, nullptr, 0, usb::UsbInt(timeoutMs)) < 0) {
        dropHandle();
        return 0;
    }
    return 1;
}
