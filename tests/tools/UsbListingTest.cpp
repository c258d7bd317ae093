// What `quenvar list` does to the USB printers it looks at: nothing that
// changes them. Every request it makes is in the emulated host's log.
#include <gtest/gtest.h>

#include <algorithm>

#include "UsbListing.h"
#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "tests/support/FakeUsb.h"

namespace {

TEST(UsbListing, ChangesNothingOnTheDevices) {
    emulator::UsbPrinterOptions vendorOptions, classOptions;
    vendorOptions.serialNumber = u"LOOK0001";
    classOptions.serialNumber = u"LOOK0002";
    testsupport::UsbPlugOptions freeInterface;
    freeInterface.bus = 7;  // a bus of its own, apart from other tests' printers
    freeInterface.kernelDrivers = false;
    testsupport::UsbPlugOptions heldInterface = freeInterface;
    heldInterface.kernelDrivers = true;
    auto& host = testsupport::UsbHost::Instance();
    const auto plugs = {
        host.plug(std::make_shared<emulator::UsbVendorPrinter>(vendorOptions), freeInterface),
        host.plug(std::make_shared<emulator::UsbClassPrinter>(classOptions), freeInterface),
        host.plug(std::make_shared<emulator::UsbClassPrinter>(classOptions), heldInterface),
    };

    const std::vector<tools::UsbPrinterInfo> printers = tools::ListUsbPrinters();
    EXPECT_EQ(
        std::count_if(printers.begin(), printers.end(), [](const tools::UsbPrinterInfo& p) { return p.bus == "007"; }),
        3);
    for (const auto& plug : plugs) {
        for (const std::string& request : plug->log().names())
            EXPECT_TRUE(request == "open" || request == "close" || request == "connectinfo" || request == "getdriver" ||
                        request == "control")
                << plug->path() << ": " << request;
    }
}

}  // namespace
