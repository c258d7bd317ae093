// The vendor route finds its printer by name: identification text, the
// 8-character serial-number rule, bus order, the interface it looks at, and a
// printer pulled out and plugged in again.
#include <gtest/gtest.h>
#include <usb.h>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

constexpr unsigned int kTimeoutMs = 200;

TEST(VendorOpening, NamesSelectThePrinterByIdentificationTextAndSerialNumber) {
    Vendor printer(WithSerial(u"AB12CD34", "QV-U201"));
    Vendor wide(WithSerial(u"WIDE000\u0416", "QV-U202"));  // last code unit above 0xFF
    Vendor unnumbered([] {
        emulator::UsbPrinterOptions options;
        options.serialNumber.reset();
        options.modelName = "QV-U203";
        return options;
    }());
    const struct {
        const char* name;
        bool opens;
    } cases[] = {
        {"usbven:MDL:QV-U201", true},
        {"USBVEN:MDL:QV-U201;sn:AB12CD34", true},
        {"usbven:;sn:AB12CD34", true},
        {"usbven:MDL:QV-U201;sn:AB12CD3", false},    // 7 characters never match
        {"usbven:MDL:QV-U201;sn:AB12CD345", false},  // nor 9
        {"usbven:MDL:QV-U201;sn:ab12cd34", false},   // compared case by case
        {"usbven:mdl:qv-u201", false},
        {"usbven:;sn:WIDE000?", true},  // a wide code unit reads as "?"
        {"usbven:MDL:QV-U203", true},
        {"usbven:MDL:QV-U203;sn:", false},  // no serial-number string: never matches ";sn:"
        {"Usbven:MDL:QV-U201", false},      // no transport takes these
        {"usbven", false},
    };
    for (const auto& c : cases) {
        OpenedPort port(c.name, "", kTimeoutMs);
        EXPECT_EQ(static_cast<bool>(port), c.opens) << c.name;
    }
}

TEST(VendorOpening, StringsThatDoNotFitAreRefusedNotCut) {
    Vendor printer(WithSerial(u"LONG0001"));
    const std::string name = "usbven:;sn:LONG0001";
    EXPECT_TRUE(OpenedPort(name, std::string(99, 's'), kTimeoutMs));
    EXPECT_FALSE(OpenedPort(name, std::string(100, 's'), kTimeoutMs));
    EXPECT_FALSE(OpenedPort(name + std::string(100 - name.size(), ' '), "", kTimeoutMs));
}

// The vendor's devices in the USB library's own walk order.
std::vector<std::string> library_order() {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<std::string> files;
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next)
            if (dev->descriptor.idVendor == 0x0A6F) files.push_back(std::string(bus->dirname) + "/" + dev->filename);
    return files;
}

TEST(VendorOpening, OfTwoMatchingPrintersTheFirstInBusOrderIsOpened) {
    Vendor first(WithSerial(u"TWIN0001"), 2);
    Vendor second(WithSerial(u"TWIN0002"), 3);
    Vendor third(WithSerial(u"TWIN0003"), 3);
    const std::vector<std::string> order = library_order();
    ASSERT_EQ(order.size(), 3u);
    OpenedPort port("usbven:MDL:QV-U100", "", kTimeoutMs);
    ASSERT_TRUE(port);
    for (Vendor* printer : {&first, &second, &third}) {
        const std::string path = printer->plug->path();
        const bool isFirst = path.size() >= order[0].size() &&
                             path.compare(path.size() - order[0].size(), order[0].size(), order[0]) == 0;
        // The printer the port holds is the only one still open.
        const auto names = printer->names();
        EXPECT_EQ(Count(names, "claim") > Count(names, "release"), isFirst) << path;
    }
}

TEST(VendorOpening, OnlyTheFirstAlternateSettingWithEndpointsIsLookedAt) {
    emulator::UsbPrinterOptions options = WithSerial(u"ALTS0001");
    emulator::UsbAltSettingDescription interruptOnly;
    interruptOnly.endpoints = {{0x83, 3, 8}};
    emulator::UsbAltSettingDescription bulk;
    bulk.alternateSetting = 1;
    bulk.endpoints = {{0x01, 2, 64}, {0x82, 2, 64}};
    options.altSettings = {interruptOnly, bulk};
    Vendor printer(options);
    EXPECT_FALSE(OpenedPort("usbven:;sn:ALTS0001", "", kTimeoutMs));
    EXPECT_EQ(Count(printer.names(), "claim"), 0u);  // skipped before it was opened
}

TEST(VendorOpening, APrinterPulledOutIsFoundAgainByTheSameNameOnceBack) {
    Vendor printer(WithSerial(u"PLUG0001"));
    OpenedPort port("usbven:;sn:PLUG0001", "", kTimeoutMs);
    ASSERT_TRUE(port);
    unsigned int online = 7;
    ASSERT_EQ(GetOnlineStatus(port.get(), &online), 1);
    EXPECT_EQ(online, 1u);

    printer.plug->unplug();
    const std::size_t closed = Count(printer.names(), "close");
    EXPECT_EQ(GetOnlineStatus(port.get(), &online), 0);
    EXPECT_EQ(online, 0u);
    EXPECT_EQ(Count(printer.names(), "close"), closed + 1);  // the handle was dropped
    EXPECT_EQ(ResetDevice(port.get()), 0);                   // still gone: the search finds nothing

    printer.plug->replug();
    const std::string job = "after the replug\n";
    EXPECT_TRUE(WriteAll(port.get(), job));
    EXPECT_TRUE(printer.model().waitPrinted(job.size(), std::chrono::seconds(5)));
    EXPECT_EQ(printer.model().printedData(), job);
}

}  // namespace
}  // namespace usbtest
