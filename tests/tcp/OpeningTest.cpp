// Opening a network port: names, settings, the connection, discovery, the
// opening status, and reconnection.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "TcpTestSupport.h"

using namespace tcptest;

namespace {

// An automatic-mode printer: greets every connection with its status.
ScriptedPeer::Script Automatic(const Bytes& greeting = StatusFrame(9)) {
    ScriptedPeer::Script script;
    script.greeting = greeting;
    return script;
}

// A discovery reply naming `model` at byte 36, NUL-terminated unless told not.
Bytes DiscoveryReply(const std::string& model, bool terminated = true) {
    Bytes reply(36 + model.size() + (terminated ? 1 : 0), 0x00);
    for (std::size_t i = 0; i < model.size(); ++i) reply[36 + i] = static_cast<unsigned char>(model[i]);
    return reply;
}

}  // namespace

TEST(TcpNames, BothPrefixSpellingsOpenAndNothingElseIsTaken) {
    ScriptedPeer peer(Automatic());
    {
        OpenedPort lower("tcp:" + peer.address(), "9100", 2000);
        OpenedPort upper("TCP:" + peer.address(), "9100", 2000);
        EXPECT_TRUE(lower);
        EXPECT_TRUE(upper);
    }
    for (const std::string& name : {"Tcp:" + peer.address(), "tCP:" + peer.address(), "tcp" + peer.address(),
                                    std::string("TCP"), std::string("")}) {
        EXPECT_EQ(OpenPort(name.c_str(), "9100", 2000), nullptr) << name;
    }
    EXPECT_EQ(peer.connectionCount(), 2u);  // the refused names touched nothing
}

TEST(TcpNames, HostNamesAndPortNumbersAreNotAddresses) {
    ScriptedPeer peer(Automatic());
    EXPECT_EQ(OpenPort("TCP:localhost", "9100", 1000), nullptr);
    EXPECT_EQ(OpenPort(("TCP:" + peer.address() + ":9100").c_str(), "9100", 1000), nullptr);
    EXPECT_EQ(OpenPort("TCP:", "9100", 1000), nullptr);
    EXPECT_EQ(peer.connectionCount(), 0u);
}

TEST(TcpSettings, EmptySettingsSetNoDelayAndKeepAlive) {
    ScriptedPeer::Script script = Automatic();
    script.discovery = [](const Bytes&) { return DiscoveryReply("QV-OTHER"); };
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "", 2000);
    ASSERT_TRUE(port);
    EXPECT_EQ(OptionOfConnectionTo(peer.address(), 9100, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(OptionOfConnectionTo(peer.address(), 9100, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(OptionOfConnectionTo(peer.address(), 9100, IPPROTO_TCP, TCP_KEEPIDLE), 1);
    EXPECT_EQ(OptionOfConnectionTo(peer.address(), 9100, IPPROTO_TCP, TCP_KEEPINTVL), 1);
}

TEST(TcpSettings, LettersNAndAAnywhereTurnNoDelayAndKeepAliveOff) {
    ScriptedPeer peer(Automatic());
    OpenedPort port(peer.portName(), "x9100an", 2000);
    ASSERT_TRUE(port);
    EXPECT_EQ(OptionOfConnectionTo(peer.address(), 9100, IPPROTO_TCP, TCP_NODELAY), 0);
    EXPECT_EQ(OptionOfConnectionTo(peer.address(), 9100, SOL_SOCKET, SO_KEEPALIVE), 0);
}

TEST(TcpSettings, FixedStatusModeSkipsDiscoveryAnd9100WinsOver9101) {
    ScriptedPeer::Script script = Automatic(StatusFrame(9, 0x20));  // cover open
    script.discovery = [](const Bytes&) { return DiscoveryReply("QV-OTHER"); };
    script.statusPortReply = [] { return Bytes{0x10, 0x00, 0x00, 0x00}; };
    ScriptedPeer peer(script);
    {
        OpenedPort port(peer.portName(), "9101,9100", 1000);
        ASSERT_TRUE(port);
        int result = 0;
        // Automatic mode: the opening status is the answer, port 9101 is not asked.
        EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(peer.statusPortRequests(), 0u);
    }
    {
        OpenedPort port(peer.portName(), "9101", 1000);
        ASSERT_TRUE(port);
        int result = 0;
        EXPECT_EQ(Status(port.get(), &result).coverOpen, 0u);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(peer.statusPortRequests(), 1u);
    }
    EXPECT_EQ(peer.discoveryRequests().size(), 0u);
}

TEST(TcpDiscovery, RequestIsThe28BytesAndTheModelChoosesTheStatusMode) {
    const Bytes request = {0x51, 0x56, 0x4C, 0x5F, 0x42, 0x43, 0x41, 0x53, 0x54, 0x00, 0x00, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x52, 0x51, 0x31, 0x2E, 0x30, 0x2E, 0x30, 0x00, 0x00, 0x1C, 0x64, 0x31};
    struct Case {
        Bytes reply;
        bool onRequest;  // true: status from port 9101
    };
    const Case cases[] = {
        {DiscoveryReply("NXCB-KW11/12"), true},
        {DiscoveryReply("QRX450NET"), true},
        {DiscoveryReply("QRX450NET-II"), false},
        {DiscoveryReply("QRX450NET", false), false},  // the name never ends within the reply
        {Bytes(20, 0x00), false},                     // too short to hold a name
    };
    for (const Case& c : cases) {
        ScriptedPeer::Script script = Automatic(StatusFrame(9, 0x08));  // offline
        script.discovery = [&](const Bytes&) { return c.reply; };
        script.statusPortReply = [] { return Bytes{0x10, 0x00, 0x00, 0x00}; };  // online
        ScriptedPeer peer(script);
        OpenedPort port(peer.portName(), "", 2000);
        ASSERT_TRUE(port);
        ASSERT_EQ(peer.discoveryRequests().size(), 1u);
        EXPECT_EQ(peer.discoveryRequests()[0], request);
        unsigned int online = 7;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
        EXPECT_EQ(online, c.onRequest ? 1u : 0u);
        EXPECT_EQ(peer.statusPortRequests(), c.onRequest ? 1u : 0u);
    }
}

TEST(TcpDiscovery, SilentPrinterGetsFiveRequestsWithinOneSharedWait) {
    ScriptedPeer::Script script = Automatic(Bytes{});
    script.discovery = [](const Bytes&) { return std::optional<Bytes>(); };
    script.statusPortReply = [] { return Bytes{0x10, 0x00, 0x00, 0x00}; };
    ScriptedPeer peer(script);
    void* port = nullptr;
    // Five separate waits would take 10 s; the shared budget ends near 2 s.
    EXPECT_LT(MillisecondsOf([&] { port = OpenPort(peer.portName().c_str(), "", 2000); }), 6000);
    ASSERT_NE(port, nullptr);
    peer.waitUntil([&] { return peer.discoveryRequests().size() >= 5; });
    EXPECT_EQ(peer.discoveryRequests().size(), 5u);
    // No reply: status on request.
    int result = 0;
    Status(port, &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(peer.statusPortRequests(), 1u);
    ClosePort(port);
}

TEST(TcpOpeningStatus, MissingShortOrUnknownOpeningStatusFailsTheOpen) {
    const Bytes greetings[] = {
        Bytes{},                                       // nothing within the limit
        Bytes{0x23, 0x80, 0x00},                       // cut short
        Bytes{0x11, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},  // header no length is known for
    };
    for (const Bytes& greeting : greetings) {
        ScriptedPeer peer(Automatic(greeting));
        EXPECT_EQ(OpenPort(peer.portName().c_str(), "9100", 300), nullptr);
    }
}

TEST(TcpOpeningStatus, OpeningStatusWithExtensionIsTheStatusUntilTheNextFrame) {
    const Bytes extension = ExtensionBlock("01", 2, 2, {0xAA, 0xBB});
    ScriptedPeer peer(Automatic(StatusFrame(15, 0x20, 0x08, extension)));
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
}

TEST(TcpConnection, RefusedConnectionFailsTheOpenInEveryMode) {
    ScriptedPeer::Script script;
    script.listenData = false;
    script.statusPortReply = [] { return Bytes{0x10, 0x00, 0x00, 0x00}; };
    ScriptedPeer peer(script);
    for (const char* settings : {"9100", "9101", ""}) {
        EXPECT_EQ(OpenPort(peer.portName().c_str(), settings, 1000), nullptr) << settings;
    }
}

TEST(TcpConnection, ZeroTimeLimitStillOpensAStraightConnection) {
    ScriptedPeer peer(Automatic());
    OpenedPort port(peer.portName(), "9100", 0);
    EXPECT_TRUE(port);
}

TEST(TcpReconnection, FailedTransferReconnectsOnceWithoutDiscoveryAndRereadsTheOpeningStatus) {
    ScriptedPeer::Script script = Automatic(StatusFrame(9, 0x08));  // offline at every greeting
    script.discovery = [](const Bytes&) { return DiscoveryReply("QV-OTHER"); };
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "", 1000);
    ASSERT_TRUE(port);
    ASSERT_EQ(peer.discoveryRequests().size(), 1u);
    // The printer reports itself back online, then drops the connection.
    ASSERT_TRUE(peer.send(0, StatusFrame(9)));
    Settle();
    int result = 0;
    EXPECT_EQ(Status(port.get(), &result).offline, 0u);
    peer.closeConnection(0);
    // The port notices on its next transfers and comes back by itself.
    unsigned int written = 0;
    const unsigned char byte = 'x';
    for (int attempt = 0; attempt < 5 && peer.connectionCount() < 2; ++attempt) WritePort(port.get(), &byte, 1, &written);
    EXPECT_EQ(peer.connectionCount(), 2u);
    EXPECT_EQ(Status(port.get(), &result).offline, 1u);  // the new opening status
    EXPECT_EQ(result, 1);
    EXPECT_EQ(peer.discoveryRequests().size(), 1u);
}
