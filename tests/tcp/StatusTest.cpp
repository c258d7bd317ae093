// The printer's status on the network, in both modes: automatic frames on the
// data connection (9100), and requests to the status port (9101).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "TcpTestSupport.h"
#include "emulator/NetworkPrinter.h"

using namespace tcptest;
using emulator::NetworkPrinter;

namespace {

NetworkPrinter::Options OnRequestPrinter() {
    NetworkPrinter::Options options;
    options.modelName = "QRX450NET";
    options.automaticStatus = false;
    return options;
}

// Asks for the status until `wanted` holds for it (the printer's frame is on
// its way), at most 5 s.
template <class Predicate>
VelmarPrinterStatus_2 StatusOnceItShows(void* port, Predicate wanted) {
    VelmarPrinterStatus_2 status{};
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int result = 0;
    do {
        status = Status(port, &result);
        if (result == 1 && wanted(status)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < end);
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------
// Automatic mode

TEST(TcpAutomaticStatus, OpeningStatusIsKeptWhileNothingNewArrives) {
    NetworkPrinter printer;
    printer.model().setCoverOpen(true);
    printer.start();
    OpenedPort port(printer.portName(), "", 1000);  // discovery names a model of automatic mode
    ASSERT_TRUE(port);
    for (int call = 0; call < 3; ++call) {
        int result = 0;
        const VelmarPrinterStatus_2 status = Status(port.get(), &result);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(status.coverOpen, 1u) << "call " << call;
        EXPECT_EQ(status.offline, 1u);
        unsigned int online = 7;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
        EXPECT_EQ(online, 0u);
    }
    EXPECT_EQ(printer.statusPortRequests(), 0u);
}

TEST(TcpAutomaticStatus, EachNewFrameReplacesTheStatus) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    unsigned int online = 7;
    EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
    EXPECT_EQ(online, 1u);

    printer.model().setPaperEmpty(true);
    EXPECT_EQ(StatusOnceItShows(port.get(), [](const VelmarPrinterStatus_2& s) { return s.receiptPaperEmpty == 1; })
                  .receiptPaperEmpty,
              1u);
    printer.model().setPaperEmpty(false);
    EXPECT_EQ(StatusOnceItShows(port.get(), [](const VelmarPrinterStatus_2& s) { return s.receiptPaperEmpty == 0; })
                  .receiptPaperEmpty,
              0u);
}

TEST(TcpAutomaticStatus, OfTwoWaitingFramesTheLaterWins) {
    ScriptedPeer::Script script;
    script.greeting = StatusFrame(9);
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(peer.send(0, Concat({StatusFrame(9, 0x20), StatusFrame(10, 0x00, 0x08)})));
    Settle();
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.coverOpen, 0u);
    EXPECT_EQ(status.receiptPaperEmpty, 1u);
    EXPECT_EQ(status.rawLength, 10u);
}

TEST(TcpAutomaticStatus, NonStatusBytesWaitingFailTheCallAndTheNextReconnects) {
    ScriptedPeer::Script script;
    script.greeting = StatusFrame(9, 0x08);
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(peer.send(0, Text("reply data")));
    Settle();
    VelmarPrinterStatus_0 untouched;
    memset(&untouched, 0x5A, sizeof untouched);
    VelmarPrinterStatus_0 status = untouched;
    EXPECT_EQ(GetParsedStatus(port.get(), &status), 0);
    EXPECT_EQ(memcmp(&status, &untouched, sizeof status), 0);
    EXPECT_EQ(GetParsedStatus(port.get(), &status), 1);
    EXPECT_EQ(status.offline, 1u);  // the opening status of the new connection
    EXPECT_EQ(peer.connectionCount(), 2u);
}

TEST(TcpAutomaticStatus, LateJobAnswersWaitingAreSkipped) {
    ScriptedPeer::Script script;
    script.greeting = StatusFrame(9);
    ScriptedPeer peer(script);
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    ASSERT_TRUE(peer.send(0, Concat({JobEndAnswer(0x00, 0x01), StatusFrame(9, 0x20), JobBeginAnswer(0x00)})));
    Settle();
    int result = 0;
    EXPECT_EQ(Status(port.get(), &result).coverOpen, 1u);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(peer.connectionCount(), 1u);
}

TEST(TcpAutomaticStatus, PrinterThatNeverStopsSendingDoesNotHoldTheStatusCall) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 200);
    ASSERT_TRUE(port);
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        const std::string frame = printer.statusFrame();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!stop && std::chrono::steady_clock::now() < end)
            printer.model().sendRaw(frame + frame + frame);
    });
    Settle();
    int result = 0;
    const long long ms = MillisecondsOf([&] { Status(port.get(), &result); });
    stop = true;
    chatter.join();
    EXPECT_EQ(result, 1);
    EXPECT_LT(ms, 5000);  // the drain ends by itself while frames keep coming
}

// ---------------------------------------------------------------------------
// On-request mode (status port 9101)

TEST(TcpOnRequestStatus, EveryCallAsksThePrinterAgain) {
    NetworkPrinter printer(OnRequestPrinter());
    printer.start();
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    int result = 0;
    EXPECT_EQ(Status(port.get(), &result).coverOpen, 0u);
    printer.model().setCoverOpen(true);
    const VelmarPrinterStatus_2 open = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(open.coverOpen, 1u);
    EXPECT_EQ(open.rawLength, 9u);
    printer.model().setCoverOpen(false);
    EXPECT_EQ(Status(port.get(), &result).coverOpen, 0u);
    EXPECT_EQ(printer.statusPortRequests(), 3u);
}

TEST(TcpOnRequestStatus, FourByteAnswerGivesThreeConditionsAndNoRawBytes) {
    NetworkPrinter printer(OnRequestPrinter());
    printer.setStatusPortReply(std::string("\x18\x00\x0C\x00", 4));
    printer.start();
    OpenedPort port(printer.portName(), "9101", 1000);
    ASSERT_TRUE(port);
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.offline, 1u);
    EXPECT_EQ(status.coverOpen, 0u);
    EXPECT_EQ(status.receiptPaperEmpty, 1u);
    EXPECT_EQ(status.receiptPaperNearEmptyInner, 0u);
    EXPECT_EQ(status.slipTOF, 0u);
    EXPECT_EQ(status.rawLength, 0u);
}

TEST(TcpOnRequestStatus, LongAnswerKeepsItsFirst63Bytes) {
    std::string reply(80, '\0');
    reply[0] = 0x2F;
    reply[1] = static_cast<char>(0x80);
    reply[2] = 0x20;  // cover open
    for (std::size_t i = 7; i < reply.size(); ++i)
        reply[i] = static_cast<char>(i);
    NetworkPrinter printer(OnRequestPrinter());
    printer.setStatusPortReply(reply);
    printer.start();
    OpenedPort port(printer.portName(), "9101", 1000);
    ASSERT_TRUE(port);
    int result = 0;
    const VelmarPrinterStatus_2 status = Status(port.get(), &result);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(status.rawLength, 63u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(status.raw), 63), reply.substr(0, 63));
    EXPECT_EQ(status.coverOpen, 1u);
}

TEST(TcpOnRequestStatus, UnusableAnswersFailAndLeaveTheCallersStatusAlone) {
    const std::string answers[] = {
        std::string(""),                         // closed without a word
        std::string("\x10\x00\x00", 3),          // too short
        std::string("\x10\x00\x00\x00\x00", 5),  // neither form
        std::string("\x10\x00\x00\x00\x00\x00", 6),
        std::string("\x90\x00\x00\x00", 4),                      // fixed bits of the 4-byte form wrong
        std::string("\x23\x00\x00\x00\x00\x00\x00\x00\x00", 9),  // head without its marker bit
    };
    for (const std::string& answer : answers) {
        NetworkPrinter printer(OnRequestPrinter());
        printer.setStatusPortReply(answer);
        printer.start();
        OpenedPort port(printer.portName(), "9101", 1000);
        ASSERT_TRUE(port);
        VelmarPrinterStatus_2 status;
        memset(&status, 0x5A, sizeof status);
        EXPECT_EQ(GetParsedStatusEx(port.get(), &status, 2), 0) << answer.size();
        EXPECT_EQ(status.offline, 0x5A5A5A5Au);
        unsigned int online = 7;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 0);
        EXPECT_EQ(online, 7u);
    }
}

TEST(TcpOnRequestStatus, SilentOrRefusingStatusPortFailsWithinItsBound) {
    NetworkPrinter printer(OnRequestPrinter());
    printer.start();
    OpenedPort port(printer.portName(), "9101", 300);
    ASSERT_TRUE(port);
    int result = -1;
    printer.model().setSilent(true);
    EXPECT_LT(MillisecondsOf([&] { Status(port.get(), &result); }), 5000);
    EXPECT_EQ(result, 0);
    printer.model().setSilent(false);
    printer.setRefuseConnections(true);
    EXPECT_LT(MillisecondsOf([&] { Status(port.get(), &result); }), 5000);
    EXPECT_EQ(result, 0);
}

TEST(TcpOnRequestStatus, PrinterClosingTheDataConnectionDoesNotHoldTheStatusCall) {
    NetworkPrinter printer(OnRequestPrinter());
    printer.start();
    // No time limit: only the printer's close ends the look at the data connection.
    OpenedPort port(printer.portName(), "9101", 0);
    ASSERT_TRUE(port);
    ASSERT_TRUE(printer.model().waitConnections(1, std::chrono::seconds(5)));
    printer.model().dropConnection();
    Settle();
    int result = -1;
    EXPECT_LT(MillisecondsOf([&] { Status(port.get(), &result); }), 5000);
    EXPECT_EQ(result, 1);  // the status port still answers
    // The data connection comes back with the next transfer.
    unsigned int written = 0;
    const unsigned char byte = 'x';
    EXPECT_EQ(WritePort(port.get(), &byte, 1, &written), 1);
    EXPECT_TRUE(printer.model().waitConnections(2, std::chrono::seconds(5)));
}

TEST(TcpStatus, ResetIsNotSupported) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    EXPECT_EQ(ResetDevice(port.get()), 0);
    EXPECT_EQ(printer.model().receivedSize(), 0u);
}
