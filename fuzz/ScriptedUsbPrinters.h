// Virtual USB printers for fuzz targets whose bulk IN pipe speaks from a
// script: the real virtual printers of both routes (descriptors, requests,
// print data), except that what the host reads is the script's replies, the
// next one coming behind each bulk OUT transfer the port makes.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "tests/support/FakeUsb.h"

namespace fuzzsupport {

// What both scripted printers share: the replies and what was handed out.
class ReplyScript {
public:
    void start(std::vector<std::string> replies);
    // The next reply, or none when the script is at its end.
    bool next(std::string* reply);
    std::string delivered() const;
    void deliver(const std::string& bytes);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> replies_;
    std::size_t next_ = 0;
    std::string delivered_;
};

// Vendor route: each reply is one transfer waiting on the bulk IN pipe (the
// first waits from the start), and the receive-data query counts them.
class ScriptedVendorPrinter : public emulator::UsbVendorPrinter {
public:
    explicit ScriptedVendorPrinter(emulator::UsbPrinterOptions options) : UsbVendorPrinter(std::move(options)) {}
    void start(std::vector<std::string> replies);
    std::string delivered() const { return script_.delivered(); }

    emulator::UsbControlAnswer control(const emulator::UsbSetup& setup, const std::string& dataOut) override;
    bool bulkOut(uint8_t endpoint, const std::string& data) override;
    std::optional<std::string> bulkIn(uint8_t endpoint, std::size_t length) override;

private:
    ReplyScript script_;
    std::mutex mutex_;
    std::deque<std::string> transfers_;
};

// Printer class: each reply becomes the printer's latest, repeated on every
// read until the next bulk OUT transfer, as the printer class does; an empty
// one leaves the pipe with nothing to say.
class ScriptedClassPrinter : public emulator::UsbClassPrinter {
public:
    explicit ScriptedClassPrinter(emulator::UsbPrinterOptions options) : UsbClassPrinter(std::move(options)) {}
    void start(std::vector<std::string> replies);
    std::string delivered() const { return script_.delivered(); }

    bool bulkOut(uint8_t endpoint, const std::string& data) override;
    std::optional<std::string> bulkIn(uint8_t endpoint, std::size_t length) override;

private:
    ReplyScript script_;
    std::mutex mutex_;
    std::string latest_;
};

// Bytes of print data the model of a scripted printer keeps.
constexpr std::size_t kKeptModelBytes = 256;

// A scripted printer plugged in for the whole fuzz run.
template <class Printer>
struct PluggedPrinter {
    std::shared_ptr<Printer> printer;
    std::unique_ptr<testsupport::UsbPlug> plug;

    // serial: the printer's serial number, which the fuzz target's port name asks for.
    explicit PluggedPrinter(const char16_t* serial) {
        emulator::UsbPrinterOptions options;
        options.serialNumber = serial;
        printer = std::make_shared<Printer>(options);
        plug = testsupport::UsbHost::Instance().plug(printer);
        // Nothing reads the device's call log, nor what the model received and
        // printed; each would grow with every input.
        plug->log().setRecording(false);
        printer->model().setPrintedSink([](const char*, std::size_t) {}, kKeptModelBytes);
    }

    // Ready for the next input (`size` bytes of replies at `data`).
    void start(const uint8_t* data, size_t size) { printer->start(Replies(data, size)); }
};

}  // namespace fuzzsupport
