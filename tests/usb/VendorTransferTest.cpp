// The vendor route's reads, writes, port status and reset.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

constexpr unsigned int kTimeoutMs = 200;

class VendorTransfer : public ::testing::Test {
protected:
    Vendor printer{WithSerial(u"XFER0001")};
    OpenedPort port{"usbven:;sn:XFER0001", "", kTimeoutMs};
};

TEST_F(VendorTransfer, ReadsTakeWhatWaitsAndGiveUpAfterTheTimeLimitWhenNothingDoes) {
    ASSERT_TRUE(port);
    printer.printer->sendStatusBlock();
    unsigned char buffer[70000];
    unsigned int read = 0;
    ASSERT_EQ(ReadPort(port.get(), buffer, sizeof buffer, &read), 1);
    EXPECT_EQ(read, 9u);
    // The query carries the low 16 bits of the size, the bulk read the whole
    // size (which the USB library splits into URBs of 16 KiB).
    const auto queries = printer.plug->log().entries("control");
    EXPECT_EQ(testsupport::UsbPlug::SetupOf(queries.back()).value, 70000u & 0xFFFF);
    EXPECT_EQ(printer.plug->log().entries("bulk-in").back().value >> 8, 16384u);

    read = 5;
    const long long ms = MillisecondsOf([&] { EXPECT_EQ(ReadPort(port.get(), buffer, 63, &read), 0); });
    EXPECT_EQ(read, 0u);
    EXPECT_GE(ms, kTimeoutMs);
    EXPECT_LT(ms, kTimeoutMs + 1500);
    EXPECT_EQ(Count(printer.names(), "release"), 1u);  // dropped; the next call opens it again
    unsigned int online = 0;
    EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
    EXPECT_EQ(Count(printer.names(), "claim"), 2u);
}

TEST_F(VendorTransfer, AWriteTakesAtMost64BytesAndATimedOutOneKeepsTheDevice) {
    ASSERT_TRUE(port);
    const std::string data(100, 'w');
    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(data.data()), 100, &written), 1);
    EXPECT_EQ(written, 64u);
    EXPECT_EQ(SentOut(*printer.plug), data.substr(0, 64));

    printer.printer->setBulkOutBlocked(true);
    written = 9;
    EXPECT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(data.data()), 36, &written), 1);
    EXPECT_EQ(written, 0u);
    printer.printer->setBulkOutBlocked(false);
    EXPECT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(data.data()), 36, &written), 1);
    EXPECT_EQ(written, 36u);
    EXPECT_EQ(Count(printer.names(), "release"), 0u);
}

TEST_F(VendorTransfer, PortStatusByteDecidesOnline) {
    ASSERT_TRUE(port);
    const struct {
        uint8_t byte;
        unsigned int online;
    } cases[] = {{0x18, 1}, {0x38, 0}, {0x10, 0}, {0x08, 0}};
    for (const auto& c : cases) {
        printer.printer->setPortStatus(c.byte);
        unsigned int online = 9;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
        EXPECT_EQ(online, c.online) << std::hex << int(c.byte);
    }
}

TEST_F(VendorTransfer, ResetSendsTheVendorRequest) {
    ASSERT_TRUE(port);
    EXPECT_EQ(ResetDevice(port.get()), 1);
    EXPECT_EQ(printer.printer->resets(), 1u);
    const auto setup = testsupport::UsbPlug::SetupOf(printer.plug->log().entries("control").back());
    EXPECT_EQ(setup.requestType, 0x40);
    EXPECT_EQ(setup.request, 2);
}

}  // namespace
}  // namespace usbtest
