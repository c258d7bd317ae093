// The USB printer port on the maker's vendor-specific route: printers of
// vendor 0x0A6F that report their status as Velmar ASB blocks on the bulk IN
// pipe and confirm jobs with the ETB counter. The port finds its printer by the
// identification text and serial number in its name, and keeps it open only
// as long as transfers succeed: a failed transfer drops the device, and the
// next operation searches the buses again, so a printer that was pulled out
// and plugged in again is found again by the same name.
#pragma once

#include <usb.h>

#include "core/Deadline.h"
#include "core/Port.h"
#include "transports/usb/UsbShared.h"

// Milliseconds on a clock that only moves forward, as a double; the
// difference of two readings is the time between them. (Kept under its old
// name for the library's callers; it no longer follows the wall clock, so a
// clock set back or forward neither stretches nor cuts a wait.)
double gettimeofday_msec();

class USBPort : public Port {
public:
    // portName: in, the whole port name. 1 when it begins with exactly
    // "usbven:" or "USBVEN:", else 0.
    static int matchPortName(const char* portName);

    // portName: in, "usbven:" or "USBVEN:", the identification text to look
    //   for, optionally ";sn:" and the 8-character serial number.
    // portSettings: in, kept, not interpreted.
    // timeoutMs: in, limit of every transfer after opening (0: transfers wait
    //   without limit, and a read that finds nothing waiting fails at once).
    // Finds and opens the printer; throws the unsigned int 0 when none
    // matches, or when either string does not fit 99 characters.
    USBPort(const char* portName, const char* portSettings, unsigned int timeoutMs);
    // Releases the interface and closes the device; nothing is sent.
    ~USBPort() override;

    // 1 when the device is open (already, or after a successful search), 0
    // when no printer matches the name.
    int openPort();

    // buf: out, at most `size` bytes from the bulk IN pipe. read: out, their
    // count (0 on failure). Asks every 10 ms whether the printer has data and
    // fails, dropping the device, when none came within timeoutMs.
    int readPort(unsigned char* buf, unsigned int size, unsigned int* read) override;
    // buf: in, at most 64 of `size` bytes go out in one transfer. written:
    // out, the count taken (0, with result 1, when the transfer timed out).
    int writePort(const unsigned char* buf, unsigned int size, unsigned int* written) override;
    // online: out, 1 when the port status byte says no error, selected and
    // paper present, else 0 (also 0 when the request failed).
    int getOnlineStatus(unsigned int* online) override;
    // status: out, the printer's Velmar ASB block, decoded.
    int getParsedStatus(VelmarPrinterStatus_2* status) override;
    // status: out, the status before the job; its ETB counter is kept for
    // endCheckedBlock. 0 when the status has no ETB counter.
    int beginCheckedBlock(VelmarPrinterStatus_2* status) override;
    // Sends ETB and waits until the ETB counter moves one on from the one
    // beginCheckedBlock kept. status: out, the status then; zeroed with
    // `offline` 1 (result 1) when the printer stopped being online or did not
    // confirm within QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs).
    int endCheckedBlock(VelmarPrinterStatus_2* status) override;
    // Sends the vendor reset request.
    int resetDevice() override;

private:
    // Whether `device` on `bus` is the printer the name asks for; on success
    // the port holds it open.
    bool tryDevice(struct usb_bus* bus, struct usb_device* device, const quenvar::usb::PortNameParts& name);
    void dropHandle();
    // The operations with every transfer and wait ending by `limit` (a
    // transfer that would start after it counts as timed out).
    int readPortWithin(unsigned char* buf, unsigned int size, unsigned int* read, const quenvar::Deadline& limit);
    int writePortWithin(const unsigned char* buf, unsigned int size, unsigned int* written,
                        const quenvar::Deadline& limit);
    int getOnlineStatusWithin(unsigned int* online, const quenvar::Deadline& limit);
    int getParsedStatusWithin(VelmarPrinterStatus_2* status, const quenvar::Deadline& limit);
    // A read that got no data in time: drops the device, errno EAGAIN, 0.
    int giveUpReading();
    // Writes the status-transmission command, then drops and reopens the
    // device. 0 when the command could not be written or the printer is gone.
    int requestStatusTransmission(const quenvar::Deadline& limit);

    char portName[quenvar::usb::PortTextSize];
    char portSettings[quenvar::usb::PortTextSize];
    unsigned int timeoutMs;
    struct usb_bus* bus;
    struct usb_device* device;
    usb_dev_handle* handle;  // null while closed
    int configuration;
    int interfaceNumber;
    int altSetting;
    int bulkInEndpoint;
    int bulkOutEndpoint;
    VelmarPrinterStatus_2 savedStatus;  // the status the last successful beginCheckedBlock took
};
