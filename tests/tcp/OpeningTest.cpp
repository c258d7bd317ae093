// Opening a network port: names, settings, the connection, discovery, the
// opening status, and reconnection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <thread>

#include "TcpTestSupport.h"
#include "emulator/NetworkPrinter.h"

using namespace tcptest;
using emulator::NetworkPrinter;

namespace {

// A discovery reply naming `model` at byte 36, NUL-terminated unless told not.
std::string DiscoveryReply(const std::string& model, bool terminated = true) {
    return std::string(36, '\0') + model + (terminated ? std::string(1, '\0') : std::string());
}

}  // namespace

TEST(TcpNames, BothPrefixSpellingsOpenAndNothingElseIsTaken) {
    NetworkPrinter printer;
    printer.start();
    const std::string address = printer.address();
    {
        OpenedPort lower("tcp:" + address, "9100", 2000);
        EXPECT_TRUE(lower);
    }
    {
        OpenedPort upper("TCP:" + address, "9100", 2000);
        EXPECT_TRUE(upper);
    }
    for (const std::string& name :
         {"Tcp:" + address, "tCP:" + address, "tcp" + address, std::string("TCP"), std::string(""),
          std::string("TCP:localhost"), "TCP:" + address + ":9100", std::string("TCP:")}) {
        EXPECT_EQ(OpenPort(name.c_str(), "9100", 1000), nullptr) << name;
    }
    EXPECT_EQ(printer.model().connectionCount(), 2u);  // the refused names touched nothing
}

TEST(TcpSettings, EmptySettingsSetNoDelayAndKeepAlive) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "", 2000);
    ASSERT_TRUE(port);
    EXPECT_EQ(OptionOfConnectionTo(printer.address(), 9100, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(OptionOfConnectionTo(printer.address(), 9100, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(OptionOfConnectionTo(printer.address(), 9100, IPPROTO_TCP, TCP_KEEPIDLE), 1);
    EXPECT_EQ(OptionOfConnectionTo(printer.address(), 9100, IPPROTO_TCP, TCP_KEEPINTVL), 1);
}

TEST(TcpSettings, LettersNAndAAnywhereTurnNoDelayAndKeepAliveOff) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "x9100an", 2000);
    ASSERT_TRUE(port);
    EXPECT_EQ(OptionOfConnectionTo(printer.address(), 9100, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(OptionOfConnectionTo(printer.address(), 9100, SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST(TcpSettings, FixedStatusModeSkipsDiscoveryAnd9100WinsOver9101) {
    NetworkPrinter printer;
    printer.model().setCoverOpen(true);
    printer.start();
    {
        OpenedPort port(printer.portName(), "9101,9100", 1000);
        ASSERT_TRUE(port);
        int result = 0;
        // Automatic mode: the opening status is the answer, port 9101 is not asked.
        EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(printer.statusPortRequests(), 0u);
    }
    {
        OpenedPort port(printer.portName(), "9101", 1000);
        ASSERT_TRUE(port);
        int result = 0;
        EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(printer.statusPortRequests(), 1u);
    }
    EXPECT_EQ(printer.discoveryRequests().size(), 0u);
}

TEST(TcpDiscovery, RequestIsThe28BytesAndTheModelChoosesTheStatusMode) {
    const std::string request("QVL_BCAST\0\0\0\0\0\0\0RQ1.0.0\0\x00\x1C\x64\x31", 28);
    struct Case {
        std::string reply;
        bool onRequest;  // true: status from port 9101
    };
    const Case cases[] = {
        {DiscoveryReply("NXCB-KW11/12"), true},
        {DiscoveryReply("QRX450NET"), true},
        {DiscoveryReply("QRX450NET-II"), false},
        {DiscoveryReply("QRX450NET", false), false},  // the name never ends within the reply
        {std::string(20, '\0'), false},               // too short to hold a name
    };
    for (const Case& c : cases) {
        NetworkPrinter printer;
        printer.setDiscoveryReply(c.reply);
        printer.start();
        OpenedPort port(printer.portName(), "", 2000);
        ASSERT_TRUE(port);
        ASSERT_EQ(printer.discoveryRequests().size(), 1u);
        EXPECT_EQ(printer.discoveryRequests()[0], request);
        unsigned int online = 7;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
        EXPECT_EQ(online, 1u);
        EXPECT_EQ(printer.statusPortRequests(), c.onRequest ? 1u : 0u) << c.reply.size();
    }
}

TEST(TcpDiscovery, SilentPrinterGetsFiveRequestsWithinOneSharedWait) {
    NetworkPrinter::Options options;
    options.answerDiscovery = false;
    options.automaticStatus = false;
    NetworkPrinter printer(options);
    printer.start();
    void* port = nullptr;
    // Five separate waits would take 10 s; the shared budget ends near 2 s.
    EXPECT_LT(MillisecondsOf([&] { port = OpenPort(printer.portName().c_str(), "", 2000); }), 6000);
    ASSERT_NE(port, nullptr);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (printer.discoveryRequests().size() < 5 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(printer.discoveryRequests().size(), 5u);
    // No reply: status on request.
    int result = 0;
    Status(port, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printer.statusPortRequests(), 1u);
    ClosePort(port);
}

TEST(TcpOpeningStatus, MissingShortOrUnknownOpeningStatusFailsTheOpen) {
    const Bytes greetings[] = {
        Bytes{},                                                      // nothing within the limit
        Bytes{0x23, 0x80, 0x00},                                      // cut short
        Bytes{0x11, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // header no length is known for
    };
    for (const Bytes& greeting : greetings) {
        ScriptedPeer::Script script;
        script.greeting = greeting;
        ScriptedPeer peer(script);
        EXPECT_EQ(OpenPort(peer.portName().c_str(), "9100", 300), nullptr);
    }
}

TEST(TcpOpeningStatus, OpeningStatusWithExtensionIsTheStatusUntilTheNextFrame) {
    ScriptedPeer::Script script;
    script.greeting = StatusFrame(15, 0x20, 0x08, ExtensionBlock("01", 2, 2, {0xAA, 0xBB}));
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "9100", 2000);
    ASSERT_TRUE(port);
    for (int call = 0; call < 2; ++call) {
        int result = 0;
        const VelmarPrinterStatus_2 status = Status(port.get(), &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(status.coverOpen, 1u);
        EXPECT_EQ(status.receiptPaperEmpty, 1u);
        EXPECT_EQ(status.rawLength, 15u);
        EXPECT_EQ(status.etbAvailable, 1u);
    }
    // The extension's payload was part of the opening, not data for the caller.
    int result = 0;
    EXPECT_EQ(Read(port.get(), 10, &result), Bytes{});
}

TEST(TcpConnection, RefusedConnectionFailsTheOpenInEveryMode) {
    NetworkPrinter printer;
    printer.start();
    printer.setRefuseConnections(true);
    for (const char* settings : {"9100", "9101", ""}) {
        EXPECT_EQ(OpenPort(printer.portName().c_str(), settings, 1000), nullptr) << settings;
    }
}

TEST(TcpConnection, ZeroTimeLimitStillOpensAStraightConnection) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 0);
    EXPECT_TRUE(port);
}

TEST(TcpReconnection, LostConnectionComesBackWithoutDiscoveryAndWithAFreshOpeningStatus) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    ASSERT_EQ(printer.discoveryRequests().size(), 1u);
    printer.setRefuseConnections(true);
    printer.model().dropConnection();
    printer.model().setCoverOpen(true);  // changed while the port is away
    // The port notices on its transfers and comes back once it may.
    unsigned int written = 0;
    const unsigned char byte = 'x';
    int failures = 0;
    for (int attempt = 0; attempt < 100 && failures < 2; ++attempt) {
        if (WritePort(port.get(), &byte, 1, &written) == 0) ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(failures, 2);
    printer.setRefuseConnections(false);
    EXPECT_EQ(WritePort(port.get(), &byte, 1, &written), 1);
    EXPECT_EQ(printer.model().connectionCount(), 2u);
    int result = 0;
    EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printer.discoveryRequests().size(), 1u);
}
