// The USB printer port through the printer class. See USBPRNPort.h.
#include "transports/USBPRNPort.h"

#include <cstring>

#include "core/CompletionCommands.h"
#include "core/RealTimeStatus.h"
#include "core/StatusDecoders.h"

namespace {

namespace usb = quenvar::usb;

// Printer-class requests (device to host, class, interface).
constexpr int kClassIn = 0xA1;
constexpr int kGetPortStatus = 1;
// Sent with the device-to-host request type, as these printers expect it.
constexpr int kSoftReset = 2;

constexpr unsigned int kDiscardBytes = 100;  // the read before each status read, thrown away
constexpr unsigned int kStatusBytes = 63;    // the status read into the record's raw
constexpr unsigned int kPauseMs = 100;       // between the steps of a status or job exchange

}  // namespace

// ---------------------------------------------------------------------------
// Name, construction, opening

int USBPRNPort::matchPortName(const char* portName) { return usb::MatchPrefix(portName, "usbprn:", "USBPRN:"); }

USBPRNPort::USBPRNPort(const char* portName, const char* portSettings, unsigned int timeoutMs)
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
      bulkOutEndpoint(-1) {
    if (!usb::CopyPortText(this->portName, portName) || !usb::CopyPortText(this->portSettings, portSettings)) throw 0u;
    if (openPort() == 0) throw 0u;
}

USBPRNPort::~USBPRNPort() { dropHandle(); }

void USBPRNPort::dropHandle() { usb::DropHandle(handle, interfaceNumber); }

int USBPRNPort::openPort() {
    if (handle != nullptr) return 1;
    const usb::PortNameParts name = usb::SplitPortName(portName);
    return usb::SearchDevices([&](struct usb_bus* candidateBus, struct usb_device* candidate) {
        return tryDevice(candidateBus, candidate, name);
    })
               ? 1
               : 0;
}

bool USBPRNPort::tryDevice(struct usb_bus* candidateBus, struct usb_device* candidate, const usb::PortNameParts& name) {
    if (!usb::IsVelmarProduct(candidate, usb::ClassRouteProducts,
                              sizeof usb::ClassRouteProducts / sizeof usb::ClassRouteProducts[0]))
        return false;
    usb::RouteInterface found;
    if (!usb::FindRouteInterface(usb::Route::Class, candidate, &found)) return false;
    const int c = found.configIndex, i = found.interfaceIndex, a = found.altIndex;
    usb_dev_handle* opened = usb_open(candidate);
    if (opened == nullptr) return false;
    const usb_interface_descriptor& alt = candidate->config[c].interface[i].altsetting[a];
    // Take the interface from the kernel's printer driver; a printer without
    // one attached says so, which does not matter.
    usb_detach_kernel_driver_np(opened, alt.bInterfaceNumber);
    if (usb_set_configuration(opened, candidate->config[c].bConfigurationValue) < 0 ||
        usb_claim_interface(opened, alt.bInterfaceNumber) < 0) {
        usb_close(opened);
        return false;
    }
    if (usb_set_altinterface(opened, alt.bAlternateSetting) < 0 ||
        !usb::IdentificationNames(opened, usb::ClassIdentificationType, usb::ClassIdentificationRequest, i,
                                  name.vendorText) ||
        (name.hasSerial && !usb::SerialNumberMatches(opened, candidate, name.serialText))) {
        usb::DropHandle(opened, i);
        return false;
    }
    bus = candidateBus;
    device = candidate;
    handle = opened;
    configuration = c;
    interfaceNumber = i;
    altSetting = a;
    bulkInEndpoint = found.bulkIn;
    bulkOutEndpoint = found.bulkOut;
    return true;
}

// ---------------------------------------------------------------------------
// Reading and writing

int USBPRNPort::readPort(unsigned char* buf, unsigned int size, unsigned int* read) {
    return readPortWithin(buf, size, read, quenvar::Deadline::never());
}

int USBPRNPort::readPortWithin(unsigned char* buf, unsigned int size, unsigned int* read,
                               const quenvar::Deadline& limit) {
    if (openPort() == 0) return 0;
    const int transferMs = usb::TransferLimitMs(timeoutMs, limit);
    if (transferMs < 0) {
        *read = 0;  // no time left to wait for anything
        return 0;
    }
    const int got = usb_bulk_read(handle, bulkInEndpoint, reinterpret_cast<char*>(buf), usb::UsbInt(size), transferMs);
    if (got < 0) {
        dropHandle();
        *read = 0;
        return 0;
    }
    *read = static_cast<unsigned int>(got);
    return 1;
}

int USBPRNPort::writePort(const unsigned char* buf, unsigned int size, unsigned int* written) {
    return writePortWithin(buf, size, written, quenvar::Deadline::never());
}

int USBPRNPort::writePortWithin(const unsigned char* buf, unsigned int size, unsigned int* written,
                                const quenvar::Deadline& limit) {
    if (openPort() == 0) return 0;
    if (usb::BulkWrite(handle, bulkOutEndpoint, buf, size, usb::TransferLimitMs(timeoutMs, limit), written) == 1)
        return 1;
    dropHandle();
    return 0;
}

int USBPRNPort::writeAll(const unsigned char* bytes, unsigned int length, const quenvar::Deadline& limit) {
    unsigned int written = 0;
    return writePortWithin(bytes, length, &written, limit) == 1 && written == length ? 1 : 0;
}

int USBPRNPort::acknowledge() {
    // The printer answered in time: the acknowledge gets a limit of its own.
    return writeAll(quenvar::JobAcknowledgeCommand, quenvar::CompletionCommandLength,
                    quenvar::Deadline::checkedBlock(timeoutMs));
}

// ---------------------------------------------------------------------------
// Status

int USBPRNPort::getOnlineStatus(unsigned int* online) {
    if (openPort() == 0) return 0;
    unsigned char portStatus = 0;
    if (usb_control_msg(handle, kClassIn, kGetPortStatus, 0, interfaceNumber, reinterpret_cast<char*>(&portStatus), 1,
                        usb::UsbInt(timeoutMs)) < 0) {
        dropHandle();
        *online = 0;
        return 0;
    }
    *online = usb::PortStatusOnline(portStatus) ? 1 : 0;
    return 1;
}

int USBPRNPort::statusRead(VelmarPrinterStatus_2* status, const quenvar::Deadline& limit) {
    // The printer repeats its latest reply until the next command: the first
    // read takes whatever came before, the second the reply itself.
    unsigned char scratch[kDiscardBytes];
    unsigned int discarded = 0;
    (void)readPortWithin(scratch, sizeof scratch, &discarded, limit);
    status->rawLength = 0;
    return readPortWithin(status->raw, kStatusBytes, &status->rawLength, limit);
}

int USBPRNPort::getParsedStatus(VelmarPrinterStatus_2* status) {
    return getParsedStatusWithin(status, quenvar::Deadline::checkedBlock(timeoutMs));
}

int USBPRNPort::getParsedStatusWithin(VelmarPrinterStatus_2* status, const quenvar::Deadline& limit) {
    std::memset(status, 0, sizeof *status);
    (void)statusRead(status, limit);
    // An automatic status block that waits says it all.
    if (checkEscposAsbStatus(status, status->raw, status->rawLength) == 1) return 1;
    if (writeAll(quenvar::StatusPreambleCommand, quenvar::CompletionCommandLength, limit) == 0) return 0;
    return quenvar::AskRealTimeStatus(status, [&](unsigned char n) {
        const quenvar::RealTimeRequest request = quenvar::MakeRealTimeRequest(n);
        if (writeAll(request.bytes, quenvar::RealTimeRequestLength, limit) == 0) return false;
        limit.pause(kPauseMs);
        return statusRead(status, limit) != 0;
    });
}

// ---------------------------------------------------------------------------
// Checked blocks: the completion commands confirm the job

int USBPRNPort::beginCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    std::memset(status, 0, sizeof *status);
    if (getParsedStatusWithin(status, deadline) == 0) status->offline = 1;
    if (status->offline == 1) return 1;  // nothing is sent to an offline printer
    if (writeAll(quenvar::JobBeginCommand, quenvar::CompletionCommandLength, deadline) == 0) {
        status->offline = 1;
        return 1;
    }
    for (;;) {
        if (writeAll(quenvar::JobBeginPollCommand, quenvar::CompletionCommandLength, deadline) == 0) break;
        (void)statusRead(status, deadline);
        if (quenvar::AutomaticStatusReportsOffline(status)) return 1;
        unsigned char value = 0;
        if (quenvar::FindJobBeginAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobBeginAnswerSuccess) return 0;
            if (acknowledge() == 0) status->offline = 1;
            return 1;
        }
        if (deadline.expired()) break;
        deadline.pause(kPauseMs);
    }
    status->offline = 1;
    return 1;
}

int USBPRNPort::endCheckedBlock(VelmarPrinterStatus_2* status) {
    const quenvar::Deadline deadline = quenvar::Deadline::checkedBlock(timeoutMs);
    std::memset(status, 0, sizeof *status);
    if (writeAll(quenvar::JobEndCommand, quenvar::CompletionCommandLength, deadline) == 0) {
        status->offline = 1;
        return 1;
    }
    for (;;) {
        deadline.pause(kPauseMs);
        (void)statusRead(status, deadline);
        if (quenvar::AutomaticStatusReportsOffline(status)) return 1;
        unsigned char value = 0;
        if (quenvar::FindJobEndAnswer(status->raw, status->rawLength, &value)) {
            if (value != quenvar::JobEndAnswerSuccess) return 0;
            if (acknowledge() == 0) status->offline = 1;
            return 1;
        }
        if (deadline.expired()) break;
        deadline.pause(kPauseMs);
        (void)getParsedStatusWithin(status, deadline);
        if (status->offline == 1) return 1;
        if (deadline.expired() || writeAll(quenvar::JobEndPollCommand, quenvar::CompletionCommandLength, deadline) == 0)
            break;
    }
    status->offline = 1;
    return 1;
}

int USBPRNPort::resetDevice() {
    if (openPort() == 0) return 0;
    if (usb_control_msg(handle, kClassIn, kSoftReset, 0, interfaceNumber, nullptr, 0, usb::UsbInt(timeoutMs)) < 0) {
        dropHandle();
        return 0;
    }
    return 1;
}
