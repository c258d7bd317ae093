// The virtual printer on the maker's vendor-specific USB route: vendor 0x0A6F,
// product 0x0002 (or another of the route's), one vendor interface with a bulk
// OUT pipe 0x01 and a bulk IN pipe 0x82. It answers
//   C0 00  identification (2-byte length, then "MFG:Velmar;...;MDL:<model>;...")
//   C0 01  port status byte (bit 3 no error, bit 4 selected, bit 5 paper empty)
//   C0 03  receive-data query: 2 bytes, how much waits on the bulk IN pipe (0: none)
//   40 02  reset (what waited on the bulk IN pipe is dropped)
//   80 06  string descriptors, the serial number among them
// Print data goes to the printer model (an ETB 0x17, once printed, advances
// the ETB counter). The status-transmission command 1B 1E 61 32 puts the
// Velmar ASB block on the bulk IN pipe; each block, like each answer of the
// model, is a transfer of its own there.
#pragma once

#include <deque>
#include <string>

#include "emulator/UsbPrinterDevice.h"

namespace emulator {

class UsbVendorPrinter : public UsbPrinterDevice {
public:
    explicit UsbVendorPrinter(UsbPrinterOptions options = {});

    // Puts the current Velmar ASB block on the bulk IN pipe, as the printer
    // does on the status-transmission command.
    void sendStatusBlock();
    // Status-transmission commands received so far.
    unsigned statusCommands() const;
    // Transfers waiting on the bulk IN pipe.
    std::size_t waitingTransfers() const;

    UsbControlAnswer control(const UsbSetup& setup, const std::string& dataOut) override;
    bool bulkOut(uint8_t endpoint, const std::string& data) override;
    std::optional<std::string> bulkIn(uint8_t endpoint, std::size_t length) override;

private:
    // Moves what the model has to say onto the bulk IN pipe. Caller holds mutex_.
    void collectLocked();
    std::size_t waitingBytesLocked() const;

    CommandFilter statusCommand_{{0x1B, 0x1E, 0x61, 0x32}};
    std::deque<std::string> transfers_;  // bulk IN, oldest first
    unsigned statusCommands_ = 0;
};

}  // namespace emulator
