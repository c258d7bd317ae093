// The vendor route's status (Velmar ASB blocks on the bulk IN pipe) and its
// checked blocks confirmed by the ETB counter.
#include <gtest/gtest.h>

#include <cerrno>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

constexpr unsigned int kTimeoutMs = 100;
const std::string kStatusTransmission("\x1B\x1E\x61\x32", 4);

class VendorStatus : public ::testing::Test {
protected:
    Vendor printer{WithSerial(u"STAT0001")};
    OpenedPort port{"usbven:;sn:STAT0001", "", kTimeoutMs};
};

TEST_F(VendorStatus, BlocksWaitingAreDecodedWithoutAskingForThem) {
    ASSERT_TRUE(port);
    printer.model().setPaperNearEndInner(true);
    printer.printer->sendStatusBlock();
    printer.printer->sendStatusBlock();
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.rawLength, 9u);
    EXPECT_EQ(status.receiptPaperNearEmptyInner, 1u);
    EXPECT_EQ(status.etbAvailable, 1u);
    EXPECT_EQ(printer.printer->statusCommands(), 0u);
}

TEST_F(VendorStatus, APrinterWithNothingWaitingIsAskedForItsStatus) {
    ASSERT_TRUE(port);
    printer.model().setCoverOpen(true);
    printer.model().setEtbCounter(12);
    // Whatever an earlier call left in errno must not decide that the
    // printer had nothing waiting.
    errno = EIO;
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(status.coverOpen, 1u);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_EQ(status.etbCounter, 12u);
    EXPECT_EQ(printer.printer->statusCommands(), 2u);
    EXPECT_EQ(SentOut(*printer.plug), kStatusTransmission + kStatusTransmission);
}

TEST_F(VendorStatus, ACheckedJobEndsWhenTheEtbCounterMovesOnIncludingFrom31To0) {
    ASSERT_TRUE(port);
    for (unsigned int start : {5u, 31u}) {
        printer.model().setEtbCounter(start);
        int result = 0;
        VelmarPrinterStatus_2 status = Begin(port.get(), &result);
        ASSERT_EQ(result, 1);
        EXPECT_EQ(status.etbCounter, start);
        // A printer that takes its time: the job is confirmed once printed.
        printer.model().setPrintSpeed(2000);
        const std::string job(400, 'j');
        ASSERT_TRUE(WriteAll(port.get(), job));
        status = End(port.get(), &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(status.offline, 0u);
        EXPECT_EQ(status.etbCounter, (start + 1) % 32);
        EXPECT_EQ(printer.model().printedSince(printer.model().printedSize() - job.size() - 1), job + "\x17");
        printer.model().setPrintSpeed(0);
    }
}

TEST_F(VendorStatus, EndingWithoutABeginWaitsForCounter1) {
    ASSERT_TRUE(port);
    int result = 0;
    const VelmarPrinterStatus_2 status = End(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.etbCounter, 1u);
    EXPECT_EQ(status.offline, 0u);
}

TEST_F(VendorStatus, AStatusWithoutEtbCounterBeginsNoBlock) {
    ASSERT_TRUE(port);
    printer.model().setStatusBlockLength(7);
    int result = 1;
    Begin(port.get(), &result);
    EXPECT_EQ(result, 0);
}

TEST_F(VendorStatus, APrinterGoingOfflineEndsTheWaitWithOffline) {
    ASSERT_TRUE(port);
    int result = 0;
    Begin(port.get(), &result);
    ASSERT_EQ(result, 1);
    printer.model().setPrintSpeed(50);
    ASSERT_TRUE(WriteAll(port.get(), std::string(200, 'j')));
    printer.model().setOffline(true);
    const VelmarPrinterStatus_2 status = End(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);
}

TEST_F(VendorStatus, ACounterThatNeverMovesEndsTheWaitWithinTheBound) {
    ASSERT_TRUE(port);
    int result = 0;
    Begin(port.get(), &result);
    ASSERT_EQ(result, 1);
    // Printing so slowly that the ETB is not printed in time; the printer
    // stays online all the while.
    printer.model().setPrintSpeed(1);
    ASSERT_TRUE(WriteAll(port.get(), std::string(64, 'j')));
    VelmarPrinterStatus_2 status{};
    const long long ms = MillisecondsOf([&] { status = End(port.get(), &result); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_EQ(status.rawLength, 0u);  // the record comes back zeroed
    EXPECT_GE(ms, static_cast<long long>(QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs)) - 5);  // whole milliseconds
    EXPECT_LT(ms, static_cast<long long>(QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs)) + 1500);
}

// Bytes on the bulk IN pipe that begin no Velmar ASB block are no status: read
// as one, noise would report every error at once, or an ETB counter that
// confirms a job the printer never finished.
TEST_F(VendorStatus, BytesThatBeginNoStatusBlockAreNotTakenForOne) {
    ASSERT_TRUE(port);
    int result = 0;
    Begin(port.get(), &result);
    ASSERT_EQ(result, 1);  // ETB counter 0: the job end waits for 1
    printer.model().setPrintSpeed(1);
    // Noise that, decoded as a block, reads online with the counter at 1: one
    // transfer of it behind the job's first half, one behind the ETB.
    const std::string noise("\xFF\x00\x00\x00\x00\x00\x00\x02\x00", 9);
    ASSERT_TRUE(WriteAll(port.get(), std::string(32, 'j')));
    printer.model().sendRaw(noise);
    ASSERT_TRUE(WriteAll(port.get(), std::string(32, 'j')));
    printer.model().sendRaw(noise);
    VelmarPrinterStatus_2 status = End(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);  // not confirmed: the bound passed

    printer.model().setPrintSpeed(0);
    printer.model().sendRaw(noise);
    ASSERT_TRUE(WriteAll(port.get(), "k"));
    printer.model().sendRaw(noise);
    status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.rawLength, 9u);
    EXPECT_EQ(status.raw[0], 0x23);  // the printer's own block, asked for
}

}  // namespace
}  // namespace usbtest
