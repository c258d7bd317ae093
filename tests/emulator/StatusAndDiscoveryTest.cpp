// What the virtual printer says about itself on the wire: the opening status
// frame, frames on change, the status port and the discovery reply.
#include <gtest/gtest.h>

#include "RawHost.h"
#include "emulator/NetworkPrinter.h"

using emulator::Condition;
using emulator::NetworkPrinter;
using rawhost::bytes;
using rawhost::Connection;
using namespace std::chrono_literals;

namespace {

const std::string g_discoveryRequest(
    "QVL_BCAST\0\0\0\0\0\0\0RQ1.0.0\0\x00\x1C"
    "d1",
    28);

std::string opening_frame(NetworkPrinter& printer, std::size_t length = 11) {
    printer.start();
    Connection host(printer.address(), 9100);
    std::string frame = host.receive(length);
    EXPECT_EQ(host.receive(1, 100ms), "") << "more than one frame";
    return frame;
}

}  // namespace

TEST(OpeningFrame, EncodesConditionsEtbCounterAndPresenter) {
    {
        NetworkPrinter printer;
        EXPECT_EQ(opening_frame(printer), bytes({0x23, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    }
    {
        // An open cover stops the printer, so it also reports itself offline.
        NetworkPrinter printer;
        printer.model().setCoverOpen(true);
        printer.model().setPaperNearEndInner(true);
        printer.model().setEtbCounter(31);
        printer.model().setPresenterState(7);
        EXPECT_EQ(opening_frame(printer), bytes({0x23, 0x80, 0x28, 0, 0, 0x04, 0, 0x6E, 0x0E, 0, 0}));
    }
    {
        NetworkPrinter printer;
        printer.model().setPaperEmpty(true);
        printer.model().setCutterError(true);
        printer.model().set(Condition::HeadUp, true);
        printer.model().set(Condition::PresenterPaperPresent, true);
        printer.model().setEtbCounter(9);
        EXPECT_EQ(opening_frame(printer), bytes({0x23, 0x80, 0x08, 0x08, 0x02, 0x08, 0x02, 0x22, 0, 0, 0}));
    }
    {
        // Errors reported without taking the printer offline, and a short block.
        NetworkPrinter printer;
        printer.model().setOfflineFollowsErrors(false);
        printer.model().setMechanicalError(true);
        printer.model().setStatusBlockLength(7);
        EXPECT_EQ(opening_frame(printer, 9), bytes({0x0F, 0x80, 0, 0x04, 0, 0, 0, 0, 0}));
    }
}

TEST(OpeningFrame, NewFrameOnEveryChangeAndNoneWithoutAutomaticStatus) {
    NetworkPrinter printer;
    printer.start();
    Connection host(printer.address(), 9100);
    ASSERT_EQ(host.receive(11).size(), 11u);
    printer.model().setOffline(true);
    EXPECT_EQ(host.receive(11), bytes({0x23, 0x80, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}));
    printer.model().setOffline(false);
    EXPECT_EQ(host.receive(11), bytes({0x23, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    NetworkPrinter::Options options;
    options.automaticStatus = false;
    NetworkPrinter quiet(options);
    quiet.start();
    Connection other(quiet.address(), 9100);
    quiet.model().setCoverOpen(true);
    EXPECT_EQ(other.receive(1, 200ms), "");
}

TEST(StatusPort, AnswersOneRequestThenCloses) {
    NetworkPrinter printer;
    printer.start();
    printer.model().setPaperEmpty(true);
    {
        Connection host(printer.address(), 9101);
        host.send("3");
        EXPECT_EQ(host.receive(100), bytes({0x23, 0x80, 0x08, 0, 0, 0x08, 0, 0, 0}));
    }
    printer.setStatusPortEscpos(true);
    printer.model().setCoverOpen(true);
    {
        Connection host(printer.address(), 9101);
        host.send("3");
        EXPECT_EQ(host.receive(100), bytes({0x38, 0, 0x0C, 0}));
    }
    EXPECT_EQ(printer.statusPortRequests(), 2u);
}

TEST(Discovery, RepliesWithModelNameOnlyToTheExactRequest) {
    NetworkPrinter::Options options;
    options.modelName = "QRX450NET";
    NetworkPrinter printer(options);
    printer.start();

    std::string reply = rawhost::exchange_datagram(printer.address(), 22222, g_discoveryRequest, 5s);
    ASSERT_EQ(reply.size(), 36u + 10u);
    EXPECT_EQ(std::string(reply.c_str() + 36), "QRX450NET");
    EXPECT_EQ(reply.back(), '\0');

    std::string wrong = g_discoveryRequest;
    wrong[17] = 'X';
    EXPECT_EQ(rawhost::exchange_datagram(printer.address(), 22222, wrong, 200ms), "");
    EXPECT_EQ(rawhost::exchange_datagram(printer.address(), 22222, g_discoveryRequest.substr(0, 27), 200ms), "");

    printer.setAnswerDiscovery(false);
    EXPECT_EQ(rawhost::exchange_datagram(printer.address(), 22222, g_discoveryRequest, 200ms), "");

    auto seen = printer.discoveryRequests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], g_discoveryRequest);
    EXPECT_EQ(seen[1], wrong);
}
