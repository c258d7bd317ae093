// The USB printer port through the standard printer class: printers of vendor
// 0x0A6F with a bidirectional printer-class interface (7/1/2). The port takes
// the interface from the kernel's printer driver, asks for status with the
// ESC/POS real-time requests DLE EOT n (or takes the printer's automatic
// status block) and confirms jobs with the completion commands. It finds its
// printer by name and reopens it after a failed transfer as USBPort does.
#pragma once

#include <usb.h>

#include "core/Deadline.h"
#include "core/Port.h"
#include "transports/usb/UsbShared.h"

class USBPRNPort : public Port {
public:
    // portName: in, the whole port name. 1 when it begins with exactly
    // "usbprn:" or "USBPRN:", else 0.
    static int matchPortName(const char* portName);

    // portName: in, "usbprn:" or "USBPRN:", the text to look for in the
    //   printer's device ID, optionally ";sn:" and the 8-character serial number.
    // portSettings: in, kept, not interpreted.
    // timeoutMs: in, limit of every transfer after opening (0: without limit).
    // Finds the printer, detaches the kernel's driver, selects the
    // configuration, claims the interface and selects its alternate setting;
    // throws the unsigned int 0 when no printer matches, or when either string
    // does not fit 99 characters.
    USBPRNPort(const char* portName, const char* portSettings, unsigned int timeoutMs);
    // Releases the interface and closes the device; the kernel's driver is not
    // given the interface back.
    ~USBPRNPort() override;

    // 1 when the device is open (already, or after a successful search), 0
    // when no printer matches the name.
    int openPort();

    // buf: out, what one bulk read of at most `size` bytes brings. read: out,
    // its count. A read with no data within timeoutMs fails and drops the device.
    int readPort(unsigned char* buf, unsigned int size, unsigned int* read) override;
    // buf: in, at most 64 of `size` bytes go out in one transfer. written:
    // out, the count taken (0, with result 1, when the transfer timed out).
    int writePort(const unsigned char* buf, unsigned int size, unsigned int* written) override;
    // online: out, from GET_PORT_STATUS: 1 when no error, selected and paper
    // present, else 0 (also 0 when the request failed).
    int getOnlineStatus(unsigned int* online) override;
    // status: out, `offline`, `coverOpen` and `receiptPaperEmpty` from an
    // automatic status block waiting, or else from DLE EOT 3, 1, 2, 4.
    int getParsedStatus(VelmarPrinterStatus_2* status) override;
    // status: out, the status before the job. Result 1 with `offline` 0: the
    // printer consented to the job; 1 with `offline` 1: it is offline or the
    // exchange failed (also when it did not answer within
    // QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs)); 0: it answered with an error.
    int beginCheckedBlock(VelmarPrinterStatus_2* status) override;
    // status: out, as for beginCheckedBlock, once the printer confirmed the job.
    int endCheckedBlock(VelmarPrinterStatus_2* status) override;
    // Sends SOFT_RESET.
    int resetDevice() override;

private:
    // Whether `device` on `bus` is the printer the name asks for; on success
    // the port holds it open, its interface taken.
    bool tryDevice(struct usb_bus* bus, struct usb_device* device, const quenvar::usb::PortNameParts& name);
    void dropHandle();
    // One bulk read or write that waits no longer than `limit` allows (one
    // that would start after it counts as timed out).
    int readPortWithin(unsigned char* buf, unsigned int size, unsigned int* read, const quenvar::Deadline& limit);
    int writePortWithin(const unsigned char* buf, unsigned int size, unsigned int* written,
                        const quenvar::Deadline& limit);
    // The status read: a read of up to 100 bytes that is thrown away, then a
    // read of up to 63 into `raw`, its count into `rawLength` (0 when nothing
    // came). The result of the second read.
    int statusRead(VelmarPrinterStatus_2* status, const quenvar::Deadline& limit);
    int getParsedStatusWithin(VelmarPrinterStatus_2* status, const quenvar::Deadline& limit);
    // 1 when all `length` bytes of `bytes` went out by `limit`.
    int writeAll(const unsigned char* bytes, unsigned int length, const quenvar::Deadline& limit);
    // Writes the job acknowledge; 1 when it went out whole.
    int acknowledge();

    char portName[quenvar::usb::PortTextSize];
    char portSettings[quenvar::usb::PortTextSize];
    unsigned int timeoutMs;
    struct usb_bus* bus;
    struct usb_device* device;
    usb_dev_handle* handle;  // null while closed
    int configuration;       // index in the device's configuration array
    int interfaceNumber;     // index in the configuration's interface array
    int altSetting;          // index in the interface's alternate-setting array
    int bulkInEndpoint;
    int bulkOutEndpoint;
};
