// Writing to a network printer, and the port's life when the printer goes
// away underneath it.
#include <gtest/gtest.h>

#include "TcpTestSupport.h"
#include "emulator/NetworkPrinter.h"

using namespace tcptest;
using emulator::NetworkPrinter;

TEST(TcpWriting, EmptyWriteSucceedsWithNothingWritten) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    unsigned int written = 99;
    const unsigned char byte = 0;
    EXPECT_EQ(WritePort(port.get(), &byte, 0, &written), 1);
    EXPECT_EQ(written, 0u);
}

TEST(TcpWriting, LargeWritesArriveWholeAndInOrder) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 2000);
    ASSERT_TRUE(port);
    std::string data;
    for (int i = 0; i < 200000; ++i)
        data.push_back(static_cast<char>('A' + i % 23));
    std::size_t sent = 0;
    while (sent < data.size()) {
        unsigned int written = 0;
        ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(data.data()) + sent,
                            static_cast<unsigned int>(data.size() - sent), &written),
                  1);
        sent += written;
    }
    ASSERT_TRUE(printer.model().waitReceived(data.size(), std::chrono::seconds(10)));
    EXPECT_EQ(printer.model().allReceived(), data);
}

TEST(TcpWriting, PrinterThatClosedMakesWritesFailWithoutSigpipeThenComesBack) {
    // SIGPIPE keeps its default action here: raising it would end the test
    // program.
    ScriptedPeer::Script script;
    script.greeting = StatusFrame(9);
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    peer.closeConnection(0);
    const unsigned char chunk[1024] = {};
    int failures = 0;
    for (int attempt = 0; attempt < 20 && failures == 0; ++attempt) {
        unsigned int written = 7;
        if (WritePort(port.get(), chunk, sizeof chunk, &written) == 0) {
            ++failures;
            EXPECT_EQ(written, 0u);
        }
    }
    EXPECT_EQ(failures, 1);
    // The next write reconnects and goes through.
    unsigned int written = 0;
    const unsigned char hello[] = {'h', 'i'};
    EXPECT_EQ(WritePort(port.get(), hello, sizeof hello, &written), 1);
    EXPECT_EQ(written, 2u);
    EXPECT_TRUE(peer.waitUntil([&] { return peer.received(1) == Text("hi"); }));
}

TEST(TcpWriting, PrinterGoneForGoodFailsEveryCallWithinItsBound) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 300);
    ASSERT_TRUE(port);
    printer.setRefuseConnections(true);
    printer.model().dropConnection();
    unsigned int written = 0, read = 0, online = 5;
    unsigned char buffer[16] = {};
    VelmarPrinterStatus_2 status{};
    const long long took = MillisecondsOf([&] {
        for (int round = 0; round < 3; ++round) {
            WritePort(port.get(), buffer, sizeof buffer, &written);
            ReadPort(port.get(), buffer, sizeof buffer, &read);
            GetOnlineStatus(port.get(), &online);
        }
    });
    EXPECT_LT(took, 10000);
    EXPECT_EQ(WritePort(port.get(), buffer, sizeof buffer, &written), 0);
    EXPECT_EQ(ReadPort(port.get(), buffer, sizeof buffer, &read), 0);
    EXPECT_EQ(GetParsedStatusEx(port.get(), &status, 2), 0);
    EXPECT_EQ(online, 5u);
    EXPECT_EQ(BeginCheckedBlockEx(port.get(), &status, 2), 0);  // its status cannot be taken
    EXPECT_EQ(EndCheckedBlockEx(port.get(), &status, 2), 1);
    EXPECT_EQ(status.offline, 1u);
}
