// The preload kinds "usbven" and "usbprn": a virtual USB printer of either
// route plugged into the process's USB host (see PreloadedPrinter.cpp).
// Options, comma-separated:
//   serial=TEXT     serial-number string (default QV000001); "serial=" alone: none
//   model=TEXT      model name in the identification text (default QV-U100)
//   speed=N         bytes printed per second (default 0: at once)
//   etb=N           ETB counter to start from
//   offline, cover-open, paper-empty   conditions to start with
//   printed=FILE    when the process ends, the printed data goes to FILE
//   product=N       product identifier (e.g. 0x0004; default the route's first)
//   bus=N           the bus it is plugged into (default 1)
//   read-only       its device file is readable only (this user may not use it)
//   no-driver       no kernel driver takes its interface when it is plugged in
// e.g. QUENVAR_TEST_PRINTER=usbven:serial=AB12CD34,speed=4000,printed=/tmp/out
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "tests/support/FakeUsb.h"

namespace testsupport {

namespace {

struct Settings {
    emulator::UsbPrinterOptions options;
    UsbPlugOptions plug;
    unsigned etb = 0;
    bool offline = false, coverOpen = false, paperEmpty = false;
    std::string printedFile;
};

Settings parse(const std::string& text) {
    Settings settings;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::string value = equals == std::string::npos ? std::string() : item.substr(equals + 1);
        if (key == "serial") {
            if (value.empty())
                settings.options.serialNumber.reset();
            else
                settings.options.serialNumber = std::u16string(value.begin(), value.end());
        } else if (key == "model") {
            settings.options.modelName = value;
        } else if (key == "speed") {
            settings.options.printSpeedBps = static_cast<unsigned>(std::stoul(value));
        } else if (key == "etb") {
            settings.etb = static_cast<unsigned>(std::stoul(value));
        } else if (key == "offline") {
            settings.offline = true;
        } else if (key == "cover-open") {
            settings.coverOpen = true;
        } else if (key == "paper-empty") {
            settings.paperEmpty = true;
        } else if (key == "product") {
            settings.options.product = static_cast<uint16_t>(std::stoul(value, nullptr, 0));
        } else if (key == "bus") {
            settings.plug.bus = static_cast<unsigned>(std::stoul(value));
        } else if (key == "read-only") {
            settings.plug.readOnly = true;
        } else if (key == "no-driver") {
            settings.plug.kernelDrivers = false;
        } else if (key == "printed") {
            settings.printedFile = value;
        } else if (!key.empty()) {
            throw std::invalid_argument("unknown USB printer option " + key);
        }
    }
    return settings;
}

// Keeps the printer plugged in for the life of the process.
struct Running {
    std::shared_ptr<emulator::UsbPrinterDevice> printer;
    std::unique_ptr<UsbPlug> plug;
    std::string printedFile;
    ~Running() {
        plug.reset();
        if (!printedFile.empty()) std::ofstream(printedFile, std::ios::binary) << printer->model().printedData();
    }
};

template <class Printer>
std::shared_ptr<void> start(const std::string& options) {
    Settings settings = parse(options);
    auto running = std::make_shared<Running>();
    running->printer = std::make_shared<Printer>(settings.options);
    emulator::PrinterModel& model = running->printer->model();
    model.setEtbCounter(settings.etb);
    model.setOffline(settings.offline);
    model.setCoverOpen(settings.coverOpen);
    model.setPaperEmpty(settings.paperEmpty);
    running->printedFile = settings.printedFile;
    running->plug = UsbHost::Instance().plug(running->printer, settings.plug);
    return running;
}

}  // namespace

std::shared_ptr<void> StartUsbVendorPrinter(const std::string& options) {
    return start<emulator::UsbVendorPrinter>(options);
}

std::shared_ptr<void> StartUsbClassPrinter(const std::string& options) {
    return start<emulator::UsbClassPrinter>(options);
}

}  // namespace testsupport
