// The USB rig under the real USB library: devices are found by the bus walk,
// answer control and bulk transfers, time out as the library expects, and
// come and go between calls.
#include <gtest/gtest.h>
#include <usb.h>

#include <string>

#include "emulator/UsbClassPrinter.h"
#include "emulator/UsbVendorPrinter.h"
#include "tests/support/FakeUsb.h"

namespace {

// Every device of vendor 0x0A6F the USB library finds on a fresh scan.
std::vector<struct usb_device*> scan() {
    usb_init();
    usb_find_busses();
    usb_find_devices();
    std::vector<struct usb_device*> found;
    for (struct usb_bus* bus = usb_get_busses(); bus != nullptr; bus = bus->next)
        for (struct usb_device* dev = bus->devices; dev != nullptr; dev = dev->next)
            if (dev->descriptor.idVendor == 0x0A6F) found.push_back(dev);
    return found;
}

TEST(FakeUsb, TheUsbLibraryDrivesAVirtualPrinterAndSeesItComeAndGo) {
    auto printer = std::make_shared<emulator::UsbVendorPrinter>();
    auto plug = testsupport::UsbHost::Instance().plug(printer);
    std::vector<struct usb_device*> devices = scan();
    ASSERT_EQ(devices.size(), 1u);
    struct usb_device* dev = devices[0];
    EXPECT_EQ(dev->descriptor.idProduct, 0x0002);
    ASSERT_NE(dev->config, nullptr);
    ASSERT_EQ(dev->config[0].interface[0].altsetting[0].bNumEndpoints, 2);
    EXPECT_EQ(dev->config[0].interface[0].altsetting[0].endpoint[1].bEndpointAddress, 0x82);

    usb_dev_handle* handle = usb_open(dev);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(usb_claim_interface(handle, 0), 0);
    char answer[256] = {};
    const int length = usb_control_msg(handle, 0xC0, 0, 0, 0, answer, 256, 200);
    ASSERT_GT(length, 2);
    EXPECT_NE(std::string(answer + 2, static_cast<std::size_t>(length - 2)).find("MFG:Velmar"), std::string::npos);

    // The status-transmission command puts the status block on the IN pipe.
    EXPECT_EQ(usb_bulk_write(handle, 0x01, "\x1B\x1E\x61\x32", 4, 200), 4);
    char waiting[2] = {};
    EXPECT_EQ(usb_control_msg(handle, 0xC0, 3, 63, 0, waiting, 2, 200), 2);
    EXPECT_EQ(waiting[0], 9);
    char block[63];
    EXPECT_EQ(usb_bulk_read(handle, 0x82, block, 63, 200), 9);
    // Nothing more: the read times out, and a write the device does not take too.
    EXPECT_EQ(usb_bulk_read(handle, 0x82, block, 63, 50), -ETIMEDOUT);
    printer->setBulkOutBlocked(true);
    EXPECT_EQ(usb_bulk_write(handle, 0x01, "x", 1, 50), -ETIMEDOUT);
    printer->setBulkOutBlocked(false);

    plug->unplug();
    EXPECT_EQ(usb_control_msg(handle, 0xC0, 1, 0, 0, answer, 1, 200), -ENODEV);
    usb_close(handle);
    EXPECT_TRUE(scan().empty());

    const std::string before = plug->path();
    plug->replug();
    EXPECT_NE(plug->path(), before);  // a new device number
    ASSERT_EQ(scan().size(), 1u);
    const auto names = plug->log().names();
    EXPECT_EQ(std::count(names.begin(), names.end(), "bulk-out"), 1);  // the blocked write never got through
    EXPECT_EQ(std::count(names.begin(), names.end(), "discard"), 2);
}

TEST(FakeUsb, APrinterClassInterfaceIsHeldByTheKernelDriverUntilDetached) {
    auto plug = testsupport::UsbHost::Instance().plug(std::make_shared<emulator::UsbClassPrinter>());
    std::vector<struct usb_device*> devices = scan();
    ASSERT_EQ(devices.size(), 1u);
    usb_dev_handle* handle = usb_open(devices[0]);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(usb_claim_interface(handle, 0), -EBUSY);
    EXPECT_EQ(usb_set_configuration(handle, 1), -EBUSY);
    EXPECT_EQ(usb_detach_kernel_driver_np(handle, 0), 0);
    EXPECT_EQ(usb_set_configuration(handle, 1), 0);
    EXPECT_EQ(usb_claim_interface(handle, 0), 0);
    EXPECT_EQ(usb_set_altinterface(handle, 0), 0);
    // The printer repeats its reply to DLE EOT 1 on every read.
    EXPECT_EQ(usb_bulk_write(handle, 0x01, "\x10\x04\x01", 3, 200), 3);
    char reply[100];
    EXPECT_EQ(usb_bulk_read(handle, 0x82, reply, 100, 200), 1);
    EXPECT_EQ(usb_bulk_read(handle, 0x82, reply, 63, 200), 1);
    EXPECT_EQ(reply[0], 0x12);
    usb_release_interface(handle, 0);
    usb_close(handle);
}

}  // namespace
