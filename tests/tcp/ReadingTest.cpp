// Reading from a network printer in automatic mode: status frames are taken
// out of the data stream, extension payloads become data, and no received
// data byte is lost.
#include <gtest/gtest.h>

#include <thread>

#include "TcpTestSupport.h"
#include "emulator/NetworkPrinter.h"

using namespace tcptest;

namespace {

ScriptedPeer::Script Automatic() {
    ScriptedPeer::Script script;
    script.greeting = StatusFrame(9);
    return script;
}

}  // namespace

class TcpReading : public ::testing::Test {
protected:
    ScriptedPeer peer{Automatic()};
    OpenedPort port{peer.portName(), "9100", 1000};

    void SetUp() override { ASSERT_TRUE(port); }

    Bytes read(unsigned int size, int expectedResult = 1) {
        int result = -1;
        Bytes bytes = Read(port.get(), size, &result);
        EXPECT_EQ(result, expectedResult);
        return bytes;
    }
};

TEST_F(TcpReading, TenBytesReadFourAtATimeComeInOrder) {
    ASSERT_TRUE(peer.send(0, Text("0123456789")));
    Settle();
    EXPECT_EQ(read(4), Text("0123"));
    EXPECT_EQ(read(4), Text("456"));  // the rest of what one receive brought
    EXPECT_EQ(read(4), Text("789"));
}

TEST_F(TcpReading, FrameRightBehindDataIsNotDeliveredAsData) {
    ASSERT_TRUE(peer.send(0, Concat({Text("0123456789"), StatusFrame(9, 0x20), Text("tail")})));
    Settle();
    EXPECT_EQ(read(100), Text("0123456789"));
    EXPECT_EQ(read(100), Text("tail"));
    int result = 0;
    EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
}

TEST_F(TcpReading, FewerThanSevenBytesAreDeliveredAtOnce) {
    ASSERT_TRUE(peer.send(0, Text("ok")));
    EXPECT_EQ(read(100), Text("ok"));
}

TEST_F(TcpReading, ExactlySevenBytesAreDeliveredWhenNoMoreCome) {
    ASSERT_TRUE(peer.send(0, Text("0123456")));
    Settle();
    EXPECT_EQ(read(100), Text("0123456"));
}

TEST_F(TcpReading, LongReplyArrivesWhole) {
    Bytes reply;
    for (int i = 0; i < 300; ++i)
        reply.push_back(static_cast<unsigned char>('a' + i % 26));
    ASSERT_TRUE(peer.send(0, reply));
    Settle();
    Bytes got;
    while (got.size() < reply.size()) {
        const Bytes part = read(1000);
        if (part.empty()) break;
        got.insert(got.end(), part.begin(), part.end());
    }
    EXPECT_EQ(got, reply);
}

TEST_F(TcpReading, StatusFramesAreTakenOutAndBecomeTheStatus) {
    ASSERT_TRUE(peer.send(0, Concat({StatusFrame(12, 0x20), Text("abc")})));
    EXPECT_EQ(read(100), Text("abc"));
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.coverOpen, 1u);
    EXPECT_EQ(status.rawLength, 12u);
}

TEST_F(TcpReading, KnownExtensionPayloadsAreDeliveredAsData) {
    // "14" keeps its payload length at byte 5, "01" at byte 4, "10" at byte 6.
    ASSERT_TRUE(peer.send(0, StatusFrame(9, 0, 0, ExtensionBlock("14", 3, 3, Text("xyz")))));
    EXPECT_EQ(read(100), Text("xyz"));
    ASSERT_TRUE(peer.send(0, StatusFrame(7, 0, 0, ExtensionBlock("01", 2, 2, Text("pq")))));
    EXPECT_EQ(read(100), Text("pq"));
    ASSERT_TRUE(peer.send(0, StatusFrame(15, 0, 0, Concat({ExtensionBlock("10", 4, 4, Text("long")), Text("tail")}))));
    EXPECT_EQ(read(2), Text("lo"));  // bytes after the payload are not data
    EXPECT_EQ(read(100), Text("ng"));
}

TEST_F(TcpReading, UnknownExtensionVanishesAndReadingGoesOn) {
    ASSERT_TRUE(peer.send(0, Concat({StatusFrame(9, 0, 0, ExtensionBlock("ZZ", 2, 3, Text("bad"))), Text("good")})));
    EXPECT_EQ(read(100), Text("good"));
}

TEST_F(TcpReading, PayloadLengthPastTheBlockIsCutToTheBlock) {
    // Declares 200 payload bytes, carries 3; the data after the frame stays data.
    ASSERT_TRUE(peer.send(0, StatusFrame(9, 0, 0, ExtensionBlock("01", 2, 200, Text("cut")))));
    ASSERT_TRUE(peer.send(0, Text("next")));
    EXPECT_EQ(read(100), Text("cut"));
    EXPECT_EQ(read(100), Text("next"));
    // A block too short to hold its payload length carries nothing.
    ASSERT_TRUE(peer.send(0, Concat({StatusFrame(9, 0, 0, Text("10\x01")), Text("more")})));
    EXPECT_EQ(read(100), Text("more"));
}

TEST_F(TcpReading, FrameSplitByTheNetworkIsStillTakenOut) {
    const Bytes frame = StatusFrame(9, 0x08, 0, ExtensionBlock("01", 2, 2, Text("hi")));
    std::thread printer([&] {
        for (std::size_t at = 0; at < frame.size(); at += 3) {
            peer.send(0, Bytes(frame.begin() + static_cast<long>(at),
                               frame.begin() + static_cast<long>(std::min(at + 3, frame.size()))));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    EXPECT_EQ(read(100), Text("hi"));
    printer.join();
    int result = 0;
    EXPECT_EQ(Status(port.get(), &result).offline, 1u);
}

TEST(TcpReadingSplit, FrameCutRightBehindDataNeverReachesTheData) {
    // The network cuts the cover-open frame anywhere in its head, right
    // behind data in the same segment; the rest follows later.
    const Bytes frame = StatusFrame(9, 0x20);
    for (const long cut : {1L, 3L, 6L}) {
        SCOPED_TRACE(cut);
        ScriptedPeer peer(Automatic());
        OpenedPort port(peer.portName(), "9100", 1000);
        ASSERT_TRUE(port);
        ASSERT_TRUE(peer.send(0, Concat({Text("ABCDEFGHIJ"), Bytes(frame.begin(), frame.begin() + cut)})));
        Settle();
        int result = 0;
        EXPECT_EQ(Read(port.get(), 100, &result), Text("ABCDEFGHIJ"));
        ASSERT_TRUE(peer.send(0, Concat({Bytes(frame.begin() + cut, frame.end()), Text("tail")})));
        EXPECT_EQ(Read(port.get(), 100, &result), Text("tail"));
        EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
    }
}

TEST_F(TcpReading, HeadWithUnknownLengthIsData) {
    // Looks like a status head, but 0x01 gives no block length.
    const Bytes bytes = {0x01, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00};
    ASSERT_TRUE(peer.send(0, bytes));
    EXPECT_EQ(read(100), bytes);
}

TEST_F(TcpReading, SizeZeroFailsWithoutReceiving) {
    ASSERT_TRUE(peer.send(0, Text("z")));
    EXPECT_EQ(read(0, 0), Bytes{});
    EXPECT_EQ(read(10), Text("z"));
}

TEST(TcpReadingEnd, PrinterClosingEndsTheReadAtOnceAndTheNextReadReconnects) {
    ScriptedPeer peer(Automatic());
    // No time limit: only the printer's close can end the read.
    OpenedPort port(peer.portName(), "9100", 0);
    ASSERT_TRUE(port);
    peer.closeConnection(0);
    int result = -1;
    EXPECT_LT(MillisecondsOf([&] { Read(port.get(), 100, &result); }), 5000);
    EXPECT_EQ(result, 0);
    // The next read opens a second connection, where the printer answers.
    std::thread printer([&] { peer.send(1, Text("back")); });
    EXPECT_EQ(Read(port.get(), 100, &result), Text("back"));
    EXPECT_EQ(result, 1);
    printer.join();
}

TEST(TcpReadingEnd, BytesAlreadyReceivedAreHandedOutAfterThePrinterIsGone) {
    emulator::NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 300);
    ASSERT_TRUE(port);
    printer.model().sendRaw("0123456789");
    Settle();
    int result = 0;
    EXPECT_EQ(Read(port.get(), 4, &result), Text("0123"));
    printer.setRefuseConnections(true);
    printer.model().dropConnection();
    Settle();
    unsigned int written = 0;
    const unsigned char byte = 'x';
    for (int attempt = 0; attempt < 100 && WritePort(port.get(), &byte, 1, &written) == 1; ++attempt)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(Read(port.get(), 4, &result), Text("456"));
    EXPECT_EQ(result, 1);
    Read(port.get(), 4, &result);
    EXPECT_EQ(result, 0);
}

TEST(TcpReadingEnd, SilentPrinterEndsTheReadAfterTheTimeLimit) {
    ScriptedPeer peer(Automatic());
    OpenedPort port(peer.portName(), "9100", 200);
    ASSERT_TRUE(port);
    int result = -1;
    EXPECT_LT(MillisecondsOf([&] { Read(port.get(), 100, &result); }), 5000);
    EXPECT_EQ(result, 0);
}
