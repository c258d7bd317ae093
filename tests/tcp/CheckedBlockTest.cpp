// Checked blocks on the network: the exact commands of each path, the
// printer's answers, and the bound on a printer that never answers.
#include <gtest/gtest.h>

#include <future>
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

TEST(TcpCheckedJob, SlowPrinterConfirmsFiftyJobsOnOneConnection) {
    // The ETB halfway makes the printer send a status frame while the job
    // prints, so that frames and job end answers meet the port in every order.
    NetworkPrinter::Options options;
    options.printSpeedBps = 2000;
    NetworkPrinter printer(options);
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    const std::string job = std::string(150, 'a') + "\x17" + std::string(150, 'b');
    int confirmed = 0;
    for (int i = 0; i < 50; ++i) {
        if (Begin(port.get()).result != 1) continue;
        unsigned int written = 0;
        if (WritePort(port.get(), reinterpret_cast<const unsigned char*>(job.data()),
                      static_cast<unsigned int>(job.size()), &written) != 1 ||
            written != job.size())
            continue;
        const Outcome ended = End(port.get());
        if (ended.result == 1 && ended.status.offline == 0) ++confirmed;
    }
    EXPECT_EQ(confirmed, 50);
    EXPECT_EQ(printer.model().connectionCount(), 1u);
}

// A connection that broke in the middle of a job may have lost some of its
// bytes; the printer's answer on a new connection knows nothing of them.
TEST(TcpCheckedJob, JobWhoseConnectionBrokeIsNeverConfirmed) {
    const std::string half(2048, 'j');
    // The printer takes 100 bytes of the second half, then drops the line;
    // the application ends the job, or first goes on writing.
    for (const bool writeOnAfterFailure : {false, true}) {
        SCOPED_TRACE(writeOnAfterFailure ? "writes go on after a failure" : "the job is ended at once");
        NetworkPrinter printer;
        printer.start();
        OpenedPort port(printer.portName(), "9100", 1000);
        ASSERT_TRUE(port);
        ASSERT_EQ(Begin(port.get()).result, 1);
        unsigned int written = 0;
        ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(half.data()), 2048, &written), 1);
        ASSERT_TRUE(printer.model().waitReceived(printer.model().receivedSize() + 0, std::chrono::seconds(5)));
        printer.model().closeAfterBytes(100);
        for (int i = 0; i < (writeOnAfterFailure ? 4 : 1); ++i) {
            (void)WritePort(port.get(), reinterpret_cast<const unsigned char*>(half.data()), 2048, &written);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const Outcome ended = End(port.get());
        EXPECT_EQ(ended.result, 1);
        EXPECT_EQ(ended.status.offline, 1u);
        EXPECT_NE(printer.model().printedData(), std::string(writeOnAfterFailure ? 5 * 2048 : 2 * 2048, 'j'));
    }
}

// The port's own choice to start its connection afresh (data where the
// printer's status belongs) loses nothing: the printer reads all of the job
// before it closes its side.
TEST(TcpCheckedJob, ConnectionTheStatusCallClosedStillConfirmsTheJob) {
    NetworkPrinter::Options slow;
    slow.printSpeedBps = 3000;
    NetworkPrinter printer(slow);
    printer.start();
    OpenedPort port(printer.portName(), "9100", 1000);
    ASSERT_TRUE(port);
    ASSERT_EQ(Begin(port.get()).result, 1);
    const std::string job(3000, 'k');
    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(job.data()), 3000, &written), 1);
    ASSERT_EQ(written, 3000u);
    // Reply data while the job prints: some of it meets the job end's
    // status call, which starts the connection afresh.
    auto ending = std::async(std::launch::async, [&] { return End(port.get()); });
    for (int i = 0; i < 15; ++i) {
        printer.model().sendRaw("reply data");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    const Outcome ended = ending.get();
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 0u);
    EXPECT_EQ(printer.model().printedData(), job);
    EXPECT_GE(printer.model().connectionCount(), 2u);
}

// ---------------------------------------------------------------------------
// The block's bound holds for every wait inside it

namespace {

// Runs `operation` and gives it the block's bound for a time limit of
// `timeoutMs` and a generous margin; past that, `release` frees it.
template <class Operation, class Release>
Outcome WithinTheBound(unsigned int timeoutMs, Operation operation, Release release, bool* inTime) {
    auto outcome = std::async(std::launch::async, operation);
    const auto allowed = std::chrono::milliseconds(QUENVAR_CHECKED_BLOCK_BOUND_MS(timeoutMs) + 1500);
    *inTime = outcome.wait_for(allowed) == std::future_status::ready;
    if (!*inTime) release();
    return outcome.get();
}

}  // namespace

TEST(TcpCheckedBlockBound, SilentStatusPortEndsTheBeginAsOffline) {
    NetworkPrinter::Options onRequest;
    onRequest.modelName = "QRX450NET";
    onRequest.automaticStatus = false;
    NetworkPrinter printer(onRequest);
    printer.start();
    // No time limit of the port's own: only the block's bound ends the wait.
    OpenedPort port(printer.portName(), "9101", 0);
    ASSERT_TRUE(port);
    printer.model().setSilent(true);
    bool inTime = false;
    const Outcome begun = WithinTheBound(
        0, [&] { return Begin(port.get()); }, [&] { printer.stop(); }, &inTime);
    EXPECT_TRUE(inTime);
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 1u);
}

TEST(TcpCheckedBlockBound, ReconnectInsideTheBlockEndsWithIt) {
    NetworkPrinter printer;
    printer.start();
    OpenedPort port(printer.portName(), "9100", 0);
    ASSERT_TRUE(port);
    // The connection drops; the printer takes the next one but never opens
    // it with its status.
    printer.model().setSilent(true);
    printer.model().dropConnection();
    // A status call meets the end of the connection; the block reconnects.
    Settle();
    int statusResult = -1;
    (void)Status(port.get(), &statusResult);
    EXPECT_EQ(statusResult, 0);
    bool inTime = false;
    const Outcome ended = WithinTheBound(
        0, [&] { return Begin(port.get()); }, [&] { printer.stop(); }, &inTime);
    EXPECT_TRUE(inTime);
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 1u);
    EXPECT_GE(printer.model().connectionCount(), 2u);
}
