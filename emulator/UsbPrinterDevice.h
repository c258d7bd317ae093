// What both virtual USB printers share: the printer model behind the device,
// the printer's own clock that prints at the set speed whether or not the host
// looks, the standard string descriptors (maker, product, serial number), the
// port status byte and the faults a test can set on the wire. Each route adds
// its own requests and its own way of answering on the bulk IN pipe
// (UsbVendorPrinter, UsbClassPrinter).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "emulator/PrinterModel.h"
#include "emulator/UsbDescriptors.h"
#include "emulator/UsbFunction.h"

namespace emulator {

struct UsbPrinterOptions {
    uint16_t product = 0;  // 0: the route's first product identifier
    // The model's name inside the identification text.
    std::string modelName = "QV-U100";
    // The printer's serial-number string; none: the device has no serial
    // number (iSerialNumber 0). Code units above 0xFF are allowed.
    std::optional<std::u16string> serialNumber = std::u16string(u"QV000001");
    unsigned printSpeedBps = 0;  // 0: prints at once
    // A different interface layout (configuration 1); empty: the route's own.
    std::vector<UsbAltSettingDescription> altSettings;
};

// The port status byte of both routes: bit 3 no error, bit 4 selected, bit 5
// paper empty.
uint8_t EncodeUsbPortStatus(const PrinterStatus& status);

class UsbPrinterDevice : public UsbFunction {
public:
    static constexpr uint16_t kVendor = 0x0A6F;

    ~UsbPrinterDevice() override;
    PrinterModel& model() { return model_; }
    const PrinterModel& model() const { return model_; }
    const UsbPrinterOptions& options() const { return options_; }

    // The identification text the printer reports (after its 2-byte length).
    std::string identification() const;
    // Bulk OUT transfers are not taken (the host's time limit ends them).
    void setBulkOutBlocked(bool blocked);
    // Answers the port status request with `byte` instead of the model's.
    void setPortStatus(std::optional<uint8_t> byte);
    // Reset requests received so far.
    unsigned resets() const;

    std::string descriptors() const override;
    void attached(bool plugged) override;

protected:
    UsbPrinterDevice(UsbPrinterOptions options, uint16_t defaultProduct,
                     std::vector<UsbAltSettingDescription> defaultAltSettings);

    // Standard requests every device answers (string descriptors); none when
    // the request is not one of them.
    std::optional<UsbControlAnswer> standardRequest(const UsbSetup& setup) const;
    uint8_t portStatus() const;
    bool bulkOutBlocked() const;
    void countReset();
    // Prints what is due by now; front-ends call it before they look at
    // what the printer has to say.
    void catchUp();

    // Takes the `length` bytes of a command out of a stream of writes, even
    // when a write splits it. `pattern` bytes below 0 match any byte.
    class CommandFilter {
    public:
        explicit CommandFilter(std::vector<int> pattern) : pattern_(std::move(pattern)) {}
        // data: in, what the host wrote. Returns the bytes that are not the
        // command; `found` gets each command found, whole. A partial command at
        // the end is kept until the next write decides.
        std::string filter(const std::string& data, std::vector<std::string>& found);

    private:
        bool matchesPrefix(const std::string& bytes) const;
        std::vector<int> pattern_;
        std::string held_;
    };

    mutable std::mutex mutex_;  // the front-end's own state (never held while the model calls back)

private:
    void runClock();

    UsbPrinterOptions options_;
    UsbDeviceDescription description_;
    PrinterModel model_;
    bool bulkOutBlocked_ = false;
    std::optional<uint8_t> portStatus_;
    unsigned resets_ = 0;

    std::mutex clockMutex_;
    std::condition_variable clockWake_;
    bool changed_ = false;
    std::atomic<bool> stopping_{false};
    PrinterModel::Subscription subscription_;
    std::thread clock_;
};

}  // namespace emulator
