// Checked blocks on the network: the exact commands of each path, the
// printer's answers, and the bound on a printer that never answers.
#include <gtest/gtest.h>

#include <thread>

#include "TcpTestSupport.h"
#include "emulator/NetworkPrinter.h"

using namespace tcptest;
using emulator::NetworkPrinter;

namespace {

// An automatic-mode printer whose answer to each completion command that the
// test names is given by `answer` (empty: no answer).
ScriptedPeer::Script Answering(const Bytes& command, std::function<Bytes(std::size_t nth)> answer,
                               const Bytes& greeting = StatusFrame(9)) {
    ScriptedPeer::Script script;
    script.greeting = greeting;
    // The port may reconnect while it polls: `answer` numbers the commands
    // over all connections.
    script.reaction = [command, answer, seen = std::vector<std::size_t>(), total = std::size_t{0}](
                          std::size_t connection, const Bytes& received) mutable {
        if (seen.size() <= connection) seen.resize(connection + 1, 0);
        Bytes reply;
        for (const std::size_t count = Count(received, command); seen[connection] < count; ++seen[connection]) {
            const Bytes part = answer(total++);
            reply.insert(reply.end(), part.begin(), part.end());
        }
        return reply;
    };
    return script;
}

// Everything the port sent, over all its connections in order.
Bytes AllReceived(const ScriptedPeer& peer) {
    Bytes all;
    for (std::size_t i = 0; i < peer.connectionCount(); ++i) {
        const Bytes part = peer.received(i);
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct Outcome {
    int result;
    VelmarPrinterStatus_2 status;
};

Outcome Begin(void* port) {
    Outcome o{};
    o.result = BeginCheckedBlockEx(port, &o.status, 2);
    return o;
}

Outcome End(void* port) {
    Outcome o{};
    o.result = EndCheckedBlockEx(port, &o.status, 2);
    return o;
}

}  // namespace

// ---------------------------------------------------------------------------
// Beginning a block

TEST(TcpBeginCheckedBlock, OfflinePrinterIsToldNothing) {
    ScriptedPeer peer(Answering(
        kJobBeginPoll, [](std::size_t) { return JobBeginAnswer(0); }, StatusFrame(9, 0x08)));
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 1u);
    Settle();
    EXPECT_EQ(peer.received(0), Bytes{});
}

TEST(TcpBeginCheckedBlock, ConsentInTheFirstCycleTakesExactlyFourCommands) {
    ScriptedPeer peer(Answering(kJobBeginPoll, [](std::size_t) { return JobBeginAnswer(0); }));
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 0u);
    EXPECT_EQ(begun.status.rawLength, 8u);  // the answer as received
    peer.waitUntil([&] { return Count(peer.received(0), kJobAcknowledge) == 1; });
    EXPECT_EQ(peer.received(0), Concat({kPreamble, kJobBegin, kJobBeginPoll, kJobAcknowledge}));
}

TEST(TcpBeginCheckedBlock, ErrorValueEndsWithoutAcknowledge) {
    ScriptedPeer peer(Answering(kJobBeginPoll, [](std::size_t) { return JobBeginAnswer(0x02); }));
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    VelmarPrinterStatus_0 status{};
    EXPECT_EQ(BeginCheckedBlock(port.get(), &status), 0);
    Settle();
    EXPECT_EQ(peer.received(0), Concat({kPreamble, kJobBegin, kJobBeginPoll}));
}

TEST(TcpBeginCheckedBlock, TheLaterOfTwoAnswersDecides) {
    {
        ScriptedPeer peer(Answering(kJobBeginPoll, [](std::size_t) {
            return Concat({JobBeginAnswer(0x00), JobBeginAnswer(0x05)});
        }));
        OpenedPort port(peer.portName(), "9100", 1000);
        ASSERT_TRUE(port);
        EXPECT_EQ(Begin(port.get()).result, 0);
    }
    {
        ScriptedPeer peer(Answering(kJobBeginPoll, [](std::size_t) {
            return Concat({JobBeginAnswer(0x05), JobBeginAnswer(0x00)});
        }));
        OpenedPort port(peer.portName(), "9100", 1000);
        ASSERT_TRUE(port);
        const Outcome begun = Begin(port.get());
        EXPECT_EQ(begun.result, 1);
        EXPECT_EQ(begun.status.offline, 0u);
    }
}

TEST(TcpBeginCheckedBlock, PollsUntilThePrinterAnswers) {
    // No answer to the first two polls. A poll unanswered for the whole
    // receive limit counts as a lost connection: the next poll goes out on a
    // new one.
    ScriptedPeer peer(Answering(kJobBeginPoll, [](std::size_t nth) { return nth < 2 ? Bytes{} : JobBeginAnswer(0); }));
    OpenedPort port(peer.portName(), "9100", 200);
    ASSERT_TRUE(port);
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 0u);
    peer.waitUntil([&] { return Count(AllReceived(peer), kJobAcknowledge) == 1; });
    EXPECT_EQ(AllReceived(peer),
              Concat({kPreamble, kJobBegin, kJobBeginPoll, kJobBeginPoll, kJobBeginPoll, kJobAcknowledge}));
}

// ---------------------------------------------------------------------------
// Ending a block

TEST(TcpEndCheckedBlock, AnswerIsTakenWhateverItsFourthByte) {
    ScriptedPeer peer(Answering(kJobEnd, [](std::size_t) { return JobEndAnswer(0x01, 0x01); }));
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 0u);
    peer.waitUntil([&] { return Count(peer.received(0), kJobAcknowledge) == 1; });
    EXPECT_EQ(peer.received(0), Concat({kJobEnd, kJobAcknowledge}));
}

TEST(TcpEndCheckedBlock, AnswerToALaterPollCompletesTheBlock) {
    ScriptedPeer peer(Answering(kJobEndPoll, [](std::size_t) { return JobEndAnswer(0x00, 0x01); }));
    OpenedPort port(peer.portName(), "9100", 200);
    ASSERT_TRUE(port);
    EXPECT_EQ(End(port.get()).result, 1);
    peer.waitUntil([&] { return Count(AllReceived(peer), kJobAcknowledge) == 1; });
    EXPECT_EQ(AllReceived(peer), Concat({kJobEnd, kJobEndPoll, kJobAcknowledge}));
}

TEST(TcpEndCheckedBlock, ErrorValueEndsWithoutAcknowledge) {
    ScriptedPeer peer(Answering(kJobEnd, [](std::size_t) { return JobEndAnswer(0x01, 0x00); }));
    OpenedPort port(peer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    EXPECT_EQ(End(port.get()).result, 0);
    Settle();
    EXPECT_EQ(peer.received(0), kJobEnd);
}

TEST(TcpEndCheckedBlock, ConnectionLostForGoodEndsAsOffline) {
    NetworkPrinter printer;
    printer.model().setAnswerCompletionCommands(false);
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    std::thread unplug([&] {
        printer.model().waitReceived(kJobEnd.size(), std::chrono::seconds(5));
        printer.setRefuseConnections(true);
        printer.model().dropConnection();
    });
    Outcome ended{};
    EXPECT_LT(MillisecondsOf([&] { ended = End(port.get()); }), 5000);
    unplug.join();
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 1u);
    EXPECT_EQ(printer.model().connectionCount(), 1u);
}

TEST(TcpEndCheckedBlock, PrinterGoingOfflineEndsTheWait) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    ASSERT_EQ(Begin(port.get()).result, 1);
    printer.model().setCoverOpen(true);  // printing stops; the job end answer has to wait
    unsigned int written = 0;
    const unsigned char line[] = "receipt\n";
    ASSERT_EQ(WritePort(port.get(), line, sizeof line - 1, &written), 1);
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 1u);
    EXPECT_EQ(ended.status.coverOpen, 1u);
    // Told by the printer's own frame on the data connection, wherever the
    // port met it: no need to drop the connection to learn it.
    EXPECT_EQ(printer.model().connectionCount(), 1u);
}

// ---------------------------------------------------------------------------
// Whole jobs and the bound on silence

TEST(TcpCheckedJob, JobFromOpenToCloseReachesThePrinterInBothStatusModes) {
    NetworkPrinter::Options onRequest;
    onRequest.modelName = "NXCB-KW11/12";
    onRequest.automaticStatus = false;
    for (const NetworkPrinter::Options& options : {NetworkPrinter::Options{}, onRequest}) {
        NetworkPrinter printer(options);
        printer.start();
        void* port = OpenPort(printer.portName().c_str(), "", 1000);
        ASSERT_NE(port, nullptr);
        VelmarPrinterStatus_1 status{};
        ASSERT_EQ(BeginCheckedBlockEx(port, &status, 1), 1);
        EXPECT_EQ(status.offline, 0u);
        const std::string job = "Total 12.50\n\x17";
        unsigned int written = 0;
        ASSERT_EQ(WritePort(port, reinterpret_cast<const unsigned char*>(job.data()),
                            static_cast<unsigned int>(job.size()), &written),
                  1);
        EXPECT_EQ(written, job.size());
        EXPECT_EQ(EndCheckedBlockEx(port, &status, 1), 1);
        EXPECT_EQ(status.offline, 0u);
        EXPECT_EQ(ClosePort(port), 1);
        EXPECT_EQ(printer.model().printedData(), job);
    }
}

TEST(TcpCheckedJob, PrinterThatNeverAnswersReleasesTheCallerAsOffline) {
    // Without a time limit of its own (0) a receive would wait for ever; the
    // block's bound still ends it.
    for (unsigned int timeoutMs : {100u, 0u}) {
        NetworkPrinter printer;
        printer.model().setAnswerCompletionCommands(false);
        printer.start();
        OpenedPort port(printer.portName(), "9100", timeoutMs);
        ASSERT_TRUE(port);
        Outcome begun{}, ended{};
        EXPECT_LT(MillisecondsOf([&] { begun = Begin(port.get()); }), 5000);
        EXPECT_EQ(begun.result, 1);
        EXPECT_EQ(begun.status.offline, 1u);
        EXPECT_LT(MillisecondsOf([&] { ended = End(port.get()); }), 5000);
        EXPECT_EQ(ended.result, 1);
        EXPECT_EQ(ended.status.offline, 1u);
    }
}
