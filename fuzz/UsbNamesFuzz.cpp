// USB port names, any text after the prefix, against three printers on the
// bus: a name opens a printer only when the printer is of the name's route,
// its identification text holds the name's text before ";sn:", and its serial
// number is the text after it (when there is one).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FuzzChecks.h"
#include "VirtualClock.h"
#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "quenvar.h"
#include "tests/support/FakeUsb.h"

using namespace fuzzsupport;

namespace {

struct Plugged {
    bool vendor;
    std::string model;
    std::string serial;
    std::shared_ptr<emulator::UsbPrinterDevice> printer;
    std::unique_ptr<testsupport::UsbPlug> plug;
};

std::vector<Plugged> PlugPrinters() {
    std::vector<Plugged> all;
    const struct {
        bool vendor;
        const char* model;
        const char16_t* serial;
    } kinds[] = {{true, "QV-U100", u"AB12CD34"}, {true, "QV-U201", u"ZZ000001"}, {false, "QV-P300", u"AB12CD34"}};
    for (const auto& kind : kinds) {
        emulator::UsbPrinterOptions options;
        options.modelName = kind.model;
        options.serialNumber = std::u16string(kind.serial);
        Plugged p{kind.vendor, kind.model, std::string(kind.serial, kind.serial + 8), nullptr, nullptr};
        if (kind.vendor)
            p.printer = std::make_shared<emulator::UsbVendorPrinter>(options);
        else
            p.printer = std::make_shared<emulator::UsbClassPrinter>(options);
        p.plug = testsupport::UsbHost::Instance().plug(p.printer);
        all.push_back(std::move(p));
    }
    return all;
}

// How many print data bytes `printer` has received so far.
std::size_t Received(const Plugged& printer) { return printer.printer->model().receivedSize(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<Plugged> printers = PlugPrinters();
    if (size == 0) return 0;
    static const char* const kPrefixes[] = {"usbven:", "usbprn:", "USBVEN:", "USBPRN:"};
    const std::string prefix = kPrefixes[data[0] % 4];
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string name = prefix + rest;

    // The device's log of calls would otherwise grow with every input.
    std::vector<std::size_t> before;
    for (const Plugged& p : printers) {
        p.plug->log().clear();
        before.push_back(Received(p));
    }
    VirtualTime virtualTime;
    void* port = OpenPort(name.c_str(), "", 100);
    if (port == nullptr) return 0;
    // The printer that receives a byte is the one the port opened.
    unsigned int written = 0;
    Check(WritePort(port, reinterpret_cast<const unsigned char*>("n"), 1, &written) == 1 && written == 1);
    ClosePort(port);
    const Plugged* opened = nullptr;
    for (std::size_t i = 0; i < printers.size(); ++i)
        if (Received(printers[i]) > before[i]) opened = &printers[i];
    Check(opened != nullptr);
    // The name as the library sees it: up to its first zero byte.
    const std::string text = std::string(rest.c_str());
    const bool vendorRoute = prefix == "usbven:" || prefix == "USBVEN:";
    Check(opened->vendor == vendorRoute);
    const std::size_t marker = text.find(";sn:");
    const std::string vendorText = text.substr(0, marker);
    Check(opened->printer->identification().find(vendorText) != std::string::npos);
    if (marker != std::string::npos) Check(text.substr(marker + 4) == opened->serial);
    return 0;
}
