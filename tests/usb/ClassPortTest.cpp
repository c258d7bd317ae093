// The printer-class route: how it takes the interface, its ESC/POS status and
// its checked blocks with the completion commands.
#include <gtest/gtest.h>

#include "UsbTestSupport.h"

namespace usbtest {
namespace {

constexpr unsigned int kTimeoutMs = 100;
const std::string kPreamble("\x1B\x1D\x03\x04\x00\x00", 6);
const std::string kJobBegin("\x1B\x1D\x03\x02\x00\x00", 6);
const std::string kJobAcknowledge("\x1B\x1D\x03\x03\x00\x00", 6);

std::size_t occurrences(const std::string& haystack, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

TEST(ClassOpening, TheInterfaceIsTakenFromTheKernelDriverInOrderAndAUnidirectionalPrinterIsNotFound) {
    Class unidirectional(std::make_shared<emulator::UsbClassPrinter>(WithSerial(u"UNID0001"), true));
    EXPECT_FALSE(OpenedPort("usbprn:;sn:UNID0001", "", kTimeoutMs));
    EXPECT_EQ(Count(unidirectional.names(), "claim"), 0u);  // skipped before it was opened

    Class printer(WithSerial(u"ORDR0001"));
    EXPECT_FALSE(OpenedPort("usbven:;sn:ORDR0001", "", kTimeoutMs));  // not a product of the vendor route
    OpenedPort port("USBPRN:MDL:QV-U100;sn:ORDR0001", "", kTimeoutMs);
    ASSERT_TRUE(port);
    std::vector<std::string> order;
    for (const std::string& name : printer.names())
        if (name == "disconnect" || name == "setconfig" || name == "claim" || name == "setintf") order.push_back(name);
    EXPECT_EQ(order, (std::vector<std::string>{"disconnect", "setconfig", "claim", "setintf"}));
    // GET_DEVICE_ID asks the interface by its index.
    bool askedDeviceId = false;
    for (const auto& entry : printer.plug->log().entries("control")) {
        const auto setup = testsupport::UsbPlug::SetupOf(entry);
        if (setup.requestType == 0xA1 && setup.request == 0) askedDeviceId = setup.index == 0 && setup.length == 256;
    }
    EXPECT_TRUE(askedDeviceId);
}

class ClassPort : public ::testing::Test {
protected:
    Class printer{WithSerial(u"PRNT0001")};
    OpenedPort port{"usbprn:;sn:PRNT0001", "", kTimeoutMs};
};

TEST_F(ClassPort, StatusComesFromDleEotQueriesInOrder) {
    ASSERT_TRUE(port);
    const struct {
        bool offline, coverOpen, paperEmpty;
        unsigned int queries;  // DLE EOT requests written
    } cases[] = {
        {false, false, false, 2},  // 3, then 1 says online
        {true, true, true, 4},
        {true, false, false, 4},
    };
    for (const auto& c : cases) {
        printer.model().clearConditions();
        printer.model().setOffline(c.offline);
        printer.model().setCoverOpen(c.coverOpen);
        printer.model().setPaperEmpty(c.paperEmpty);
        printer.plug->log().clear();
        int result = 0;
        const VelmarPrinterStatus_2 status = Status(port.get(), &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(status.offline, c.offline ? 1u : 0u);
        EXPECT_EQ(status.coverOpen, c.coverOpen ? 1u : 0u);
        EXPECT_EQ(status.receiptPaperEmpty, c.paperEmpty ? 1u : 0u);
        const std::string sent = SentOut(*printer.plug);
        EXPECT_EQ(sent.substr(0, 6), kPreamble);
        EXPECT_EQ(occurrences(sent, std::string("\x10\x04", 2)), c.queries);
        const std::string firstTwo("\x10\x04\x03\x10\x04\x01", 6);
        EXPECT_EQ(sent.substr(6, 6), firstTwo);
    }
}

TEST_F(ClassPort, AnAutomaticStatusBlockIsDecodedWithoutAnyQuery) {
    ASSERT_TRUE(port);
    printer.model().setCoverOpen(true);
    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>("\x1D\x61\x01"), 3, &written), 1);
    printer.plug->log().clear();
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.coverOpen, 1u);
    EXPECT_EQ(status.rawLength, 4u);
    EXPECT_EQ(Count(printer.names(), "bulk-out"), 0u);
}

TEST_F(ClassPort, JobsAreConfirmedByTheJobAnswersAndAnErrorValueFailsThem) {
    ASSERT_TRUE(port);
    printer.model().setPrintSpeed(4000);
    int result = 0;
    VelmarPrinterStatus_2 status = Begin(port.get(), &result);
    ASSERT_EQ(result, 1);
    EXPECT_EQ(status.offline, 0u);
    const std::string job(600, 'p');
    ASSERT_TRUE(WriteAll(port.get(), job));
    status = End(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 0u);
    EXPECT_EQ(printer.model().printedData(), job);
    EXPECT_EQ(occurrences(SentOut(*printer.plug), kJobAcknowledge), 2u);

    printer.model().failNextJobBegin(0x01);
    Begin(port.get(), &result);
    EXPECT_EQ(result, 0);
    printer.model().failNextJobEnd(0x00);
    End(port.get(), &result);
    EXPECT_EQ(result, 0);
}

TEST_F(ClassPort, AnOfflinePrinterGetsNoJobCommand) {
    ASSERT_TRUE(port);
    printer.model().setOffline(true);
    int result = 0;
    const VelmarPrinterStatus_2 status = Begin(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_EQ(SentOut(*printer.plug).find(kJobBegin), std::string::npos);
}

TEST_F(ClassPort, APrinterThatNeverAnswersEndsBothBlocksWithinTheBound) {
    ASSERT_TRUE(port);
    printer.model().setAnswerCompletionCommands(false);
    const long long bound = static_cast<long long>(QUENVAR_CHECKED_BLOCK_BOUND_MS(kTimeoutMs));
    for (auto block : {Begin, End}) {
        int result = 0;
        VelmarPrinterStatus_2 status{};
        const long long ms = MillisecondsOf([&] { status = block(port.get(), &result); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(status.offline, 1u);
        EXPECT_GE(ms, bound - 5);  // the deadline counts whole milliseconds
        EXPECT_LT(ms, bound + 1500);
    }
}

TEST(ClassPortWithoutTimeLimit, ACheckedBlockStillEndsWithinTheBound) {
    // timeoutMs 0: transfers wait without limit, except inside status and
    // checked-block operations, whose bound still holds.
    Class printer(WithSerial(u"ZERO0001"));
    OpenedPort port("usbprn:;sn:ZERO0001", "", 0);
    ASSERT_TRUE(port);
    // A reply waits (so reads come back at once), and then the printer takes
    // no more: the first command of the block cannot go out.
    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>("\x10\x04\x01"), 3, &written), 1);
    printer.printer->setBulkOutBlocked(true);
    int result = 0;
    VelmarPrinterStatus_2 status{};
    const long long ms = MillisecondsOf([&] { status = Begin(port.get(), &result); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_LT(ms, static_cast<long long>(QUENVAR_CHECKED_BLOCK_BOUND_MS(0)) + 1500);
}

TEST_F(ClassPort, TransfersAndClassRequests) {
    ASSERT_TRUE(port);
    const std::string data(100, 'w');
    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(data.data()), 100, &written), 1);
    EXPECT_EQ(written, 64u);
    // Nothing to read: the one bulk read fails after the time limit and drops the device.
    unsigned char buffer[64];
    unsigned int read = 3;
    EXPECT_EQ(ReadPort(port.get(), buffer, sizeof buffer, &read), 0);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(Count(printer.names(), "release"), 1u);
    printer.printer->setPortStatus(0x38);
    unsigned int online = 1;
    EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
    EXPECT_EQ(online, 0u);
    EXPECT_EQ(ResetDevice(port.get()), 1);
    EXPECT_EQ(printer.printer->resets(), 1u);
    const auto setup = testsupport::UsbPlug::SetupOf(printer.plug->log().entries("control").back());
    EXPECT_EQ(setup.requestType, 0xA1);
    EXPECT_EQ(setup.request, 2);
}

}  // namespace
}  // namespace usbtest
