// Faults a test can set on the virtual printer, each seen from a raw host.
#include <gtest/gtest.h>

#include <cerrno>

#include "RawHost.h"
#include "emulator/NetworkPrinter.h"

using emulator::NetworkPrinter;
using emulator::PrinterModel;
using rawhost::bytes;
using rawhost::Connection;
using namespace std::chrono_literals;

namespace {

const std::string g_jobBeginPoll("\x1B\x1D\x03\x00\x00\x00", 6);
const std::string g_beginAnswer("\x1B\x1D\x03\x00\x00\x00\x00\x00", 8);
const std::string g_quietStatus = bytes({0x23, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0});

}  // namespace

TEST(Faults, SilentPrinterKeepsTheConnectionButSaysNothing) {
    NetworkPrinter printer;
    printer.start();
    printer.model().setSilent(true);
    Connection host(printer.address(), 9100);
    host.send(g_jobBeginPoll);
    printer.model().setCoverOpen(true);
    EXPECT_EQ(host.receive(1, 300ms), "") << "no opening frame, answer or status change";
    {
        Connection status(printer.address(), 9101);
        status.send("3");
        EXPECT_EQ(status.receive(1, 300ms), "");
    }

    host.send("data");
    ASSERT_TRUE(printer.model().waitReceived(10, 5s));
    printer.model().setCoverOpen(false);
    printer.model().setSilent(false);
    host.send(g_jobBeginPoll);
    // Talking again, the printer also sends the status frame the host never got.
    std::string words = host.receive(8 + 11);
    EXPECT_NE(words.find(g_beginAnswer), std::string::npos);
    EXPECT_NE(words.find(g_quietStatus), std::string::npos);
}

TEST(Faults, CloseAfterBytesTakesExactlyThatManyThenAcceptsAgain) {
    NetworkPrinter printer;
    printer.start();
    printer.model().closeAfterBytes(5);
    {
        Connection host(printer.address(), 9100);
        host.send("0123456789");
        EXPECT_TRUE(host.closedWithin(5s));
    }
    EXPECT_EQ(printer.model().allReceived(), "01234");
    Connection again(printer.address(), 9100);
    EXPECT_EQ(again.receive(11), g_quietStatus);
    EXPECT_EQ(printer.model().connectionCount(), 2u);
}

TEST(Faults, RefusedConnectionsAndDroppedConnection) {
    NetworkPrinter printer;
    printer.start();
    printer.setRefuseConnections(true);
    Connection refused(printer.address(), 9100);
    EXPECT_FALSE(refused.connected());
    EXPECT_EQ(refused.error(), ECONNREFUSED);
    Connection refusedStatus(printer.address(), 9101);
    EXPECT_FALSE(refusedStatus.connected());

    printer.setRefuseConnections(false);
    Connection host(printer.address(), 9100);
    ASSERT_TRUE(host.connected());
    EXPECT_EQ(host.receive(11), g_quietStatus);
    printer.model().dropConnection();
    EXPECT_TRUE(host.closedWithin(5s));
}

TEST(Faults, RawBytesSplitOutputAndExtensionFrames) {
    NetworkPrinter::Options options;
    options.automaticStatus = false;
    NetworkPrinter printer(options);
    printer.start();
    Connection host(printer.address(), 9100);
    ASSERT_TRUE(printer.model().waitConnections(1, 5s));

    printer.setSplitOutput(3, 5ms);
    std::string garbage = bytes({0xFF, 0x00, 0x1B, 0x80, 0x23, 0x7E, 0x01, 0x02, 0x03, 0x04});
    printer.model().sendRaw(garbage);
    EXPECT_EQ(host.receive(garbage.size()), garbage);
    printer.setSplitOutput(0, 0ms);

    // Identifier 14 keeps its payload length at offset 5 of the extension block.
    std::string block = bytes({0x23, 0x80, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(printer.statusFrameWithExtension("14", "abc"),
              block + bytes({0x00, 0x0A, '1', '4', 0, 0, 0, 0x00, 0x03}) + "abc");
    // Unknown identifiers and a declared length that overstates the payload.
    EXPECT_EQ(printer.statusFrameWithExtension("ZZ", "abc", 300),
              block + bytes({0x00, 0x09, 'Z', 'Z', 0, 0, 0x01, 0x2C}) + "abc");
    EXPECT_EQ(printer.statusFrameWithExtension("A0", ""),
              block + bytes({0x00, 0x08, 'A', '0', 0, 0, 0, 0, 0x00, 0x00}));
}

TEST(Faults, StopWithAConnectedHostEndsCleanlyAndRestartKeepsTheAddress) {
    NetworkPrinter printer;
    printer.start();
    std::string address = printer.address();
    {
        Connection host(address, 9100);
        ASSERT_EQ(host.receive(11).size(), 11u);
        printer.stop();
        EXPECT_TRUE(host.closedWithin(5s));
        printer.stop();
    }
    printer.start();
    EXPECT_EQ(printer.portName(), "TCP:" + address);
    Connection host(address, 9100);
    EXPECT_EQ(host.receive(11), g_quietStatus);

    NetworkPrinter::Options options;
    options.address = address;
    NetworkPrinter clash(options);
    EXPECT_THROW(clash.start(), std::runtime_error);
}

TEST(Faults, UnansweredCommandsAndHandMadeStatusPortReplies) {
    NetworkPrinter printer;
    printer.start();
    printer.model().setAnswerCompletionCommands(false);
    Connection host(printer.address(), 9100);
    ASSERT_EQ(host.receive(11), g_quietStatus);
    host.send(g_jobBeginPoll + "data" + std::string("\x1B\x1D\x03\x01\x01\x01", 6));
    ASSERT_TRUE(printer.model().waitPrinted(4, 5s));
    EXPECT_EQ(host.receive(1, 300ms), "");

    std::string longReply = bytes({0x2F, 0x80, 0, 0, 0, 0, 0}) + std::string(73, '\x01');
    printer.setStatusPortReply(longReply);
    Connection status(printer.address(), 9101);
    status.send("3");
    EXPECT_EQ(status.receive(200), longReply);
    EXPECT_TRUE(status.closedWithin(5s));
}

// The ESC/POS forms a serial or parallel front-end will send, straight from the model.
TEST(EscposForms, AutomaticStatusAndRealTimeReplies) {
    PrinterModel model;
    EXPECT_EQ(model.escposAutomaticStatus(), bytes({0x10, 0, 0, 0}));
    model.setPaperNearEndOuter(true);
    model.setCutterError(true);
    EXPECT_EQ(model.escposAutomaticStatus(), bytes({0x18, 0x08, 0x03, 0}));
    model.clearConditions();
    model.setCoverOpen(true);
    model.setPaperEmpty(true);
    EXPECT_EQ(model.realTimeStatus(1), 0x1A);
    EXPECT_EQ(model.realTimeStatus(2), 0x36);
    EXPECT_EQ(model.realTimeStatus(3), 0x12);
    EXPECT_EQ(model.realTimeStatus(4), 0x72);

    // With real-time requests on, DLE EOT n is answered ahead of the print data
    // and is not printed; with them off it is plain data.
    model.setAnswerRealTimeRequests(true);
    model.hostConnected();
    model.consume(
        "ab\x10\x04\x04"
        "c\x10\x04\x09",
        9);
    EXPECT_EQ(model.takeOutput(), bytes({0x72}));
    model.setAnswerRealTimeRequests(false);
    model.consume("\x10\x04\x01", 3);
    EXPECT_EQ(model.takeOutput(), "");
    model.clearConditions();
    model.advance(PrinterModel::Clock::now());
    EXPECT_EQ(model.printedData(), "abc\x10\x04\x09\x10\x04\x01");
}
