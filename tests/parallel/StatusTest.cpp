// The printer's status over the reverse channel: its automatic status block,
// or, from a printer without one, its replies to the real-time requests.
#include <gtest/gtest.h>

#include <functional>

#include "ParallelTestSupport.h"

using namespace partest;

namespace {

emulator::ParallelPrinter::Options WithoutAutomaticStatus() {
    emulator::ParallelPrinter::Options options;
    options.automaticStatus = false;
    return options;
}

}  // namespace

TEST(ParallelStatus, WithNothingWaitingTheAutomaticStatusIsSwitchedOn) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 0u);
    EXPECT_EQ(status.rawLength, 4u);
    const std::string sent = kAutomaticStatusOn + kPreamble;
    EXPECT_TRUE(Received(printer, sent.size()) == sent);
}

TEST(ParallelStatus, AnAutomaticBlockAlreadyWaitingIsTakenAndOnlyThePreambleGoesOut) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    int result = 0;
    Status(port.get(), &result);  // switches the automatic status on
    ASSERT_EQ(result, 1);
    const std::string first = kAutomaticStatusOn + kPreamble;
    ASSERT_TRUE(Received(printer, first.size()) == first);
    printer.model().setCoverOpen(true);  // the printer reports the change by itself
    printer.printer().settle();
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.coverOpen, 1u);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_TRUE(Received(printer, first.size() + kPreamble.size()) == first + kPreamble);
}

TEST(ParallelStatus, APrinterSilentAfterGsA2IsAskedWithTheRealTimeRequests) {
    using Model = emulator::PrinterModel;
    const struct {
        const char* state;
        std::function<void(Model&)> set;
        std::string requests;
        unsigned int offline, coverOpen, paperEmpty;
    } cases[] = {
        {"online", [](Model&) {}, RealTimeRequest(3) + RealTimeRequest(1), 0, 0, 0},
        {"cover open, paper out",
         [](Model& m) {
             m.setCoverOpen(true);
             m.setPaperEmpty(true);
         },
         RealTimeRequest(3) + RealTimeRequest(1) + RealTimeRequest(2) + RealTimeRequest(4), 1, 1, 1},
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer(WithoutAutomaticStatus());
        c.set(printer.model());
        OpenedPort port(printer.portName(), "", 1000);
        ASSERT_TRUE(port);
        int result = 0;
        const VelmarPrinterStatus_2 status = Status(port.get(), &result);
        EXPECT_EQ(result, 1) << c.state;
        EXPECT_EQ(status.offline, c.offline) << c.state;
        EXPECT_EQ(status.coverOpen, c.coverOpen) << c.state;
        EXPECT_EQ(status.receiptPaperEmpty, c.paperEmpty) << c.state;
        EXPECT_EQ(status.rawLength, 1u) << c.state;
        const std::string sent = kAutomaticStatusOn + kPreamble + kAutomaticStatusOn + c.requests;
        EXPECT_TRUE(Received(printer, sent.size()) == sent) << c.state;
    }
}

TEST(ParallelStatus, NoStatusFromASilentPrinterOrABadReplyByte) {
    using Model = emulator::PrinterModel;
    const struct {
        const char* fault;
        std::function<void(Model&)> set;
    } cases[] = {
        {"silent", [](Model& m) { m.setSilent(true); }},
        {"error cause 32", [](Model& m) { m.setRealTimeReply(3, 0x32); }},
        {"printer status 13", [](Model& m) { m.setRealTimeReply(1, 0x13); }},
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer(WithoutAutomaticStatus());
        c.set(printer.model());
        OpenedPort port(printer.portName(), "", 1000);
        ASSERT_TRUE(port);
        int result = 1;
        Status(port.get(), &result);
        EXPECT_EQ(result, 0) << c.fault;
    }
}

TEST(ParallelStatus, AReverseChannelThatFailsOtherwiseMeansOffline) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    printer.device().failReads(EIO);
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_TRUE(printer.model().allReceived().empty());
}
