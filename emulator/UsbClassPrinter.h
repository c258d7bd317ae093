// The virtual printer on the USB printer-class route: vendor 0x0A6F, product
// 0x0001 (or another of the route's), one printer-class interface 7/1/2
// (bidirectional) with a bulk OUT pipe 0x01 and a bulk IN pipe 0x82, which the
// kernel's printer driver takes when it is plugged in. Its unidirectional
// variant (protocol 1) has the bulk OUT pipe only. It answers the class
// requests
//   A1 00  GET_DEVICE_ID (2-byte length, then "MFG:Velmar;...;MDL:<model>;...")
//   A1 01  GET_PORT_STATUS (bit 3 no error, bit 4 selected, bit 5 paper empty)
//   A1 02  SOFT_RESET (also as 21 02)
// and string descriptors. Bytes on the bulk OUT pipe go to the printer model,
// which answers DLE EOT n and the job polls; GS a n (1D 61 n) switches the
// ESC/POS automatic status on (n not 0) or off, and while it is on every
// change of status is reported. Like the printers it stands for, it repeats
// its latest reply on every bulk IN read until the next write arrives; with
// nothing to say, a read waits.
#pragma once

#include <string>

#include "emulator/UsbPrinterDevice.h"

namespace emulator {

class UsbClassPrinter : public UsbPrinterDevice {
public:
    // unidirectional: the protocol 1 interface, without a bulk IN pipe.
    explicit UsbClassPrinter(UsbPrinterOptions options = {}, bool unidirectional = false);

    // Whether the ESC/POS automatic status is on (GS a n with n not 0).
    bool automaticStatus() const;

    std::vector<uint8_t> kernelDriverInterfaces() const override { return {0}; }
    UsbControlAnswer control(const UsbSetup& setup, const std::string& dataOut) override;
    bool bulkOut(uint8_t endpoint, const std::string& data) override;
    std::optional<std::string> bulkIn(uint8_t endpoint, std::size_t length) override;

private:
    // Adds what the printer said since the last look to the latest reply,
    // the automatic status block among it when the status changed. Caller
    // holds mutex_.
    void collectLocked();

    std::string latestReply_;
    unsigned automaticStatusStarts_ = 0;  // GS a n (n not 0) seen so far: each reports at once
    std::string lastAutomaticBlock_;      // the last block reported while it is on
};

}  // namespace emulator
