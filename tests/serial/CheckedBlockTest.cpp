// Checked blocks on a serial line: the exact commands of each path, the
// printer's answers, and the bound on a printer that keeps answering but
// never says what the block waits for.
#include <gtest/gtest.h>

#include "SerialTestSupport.h"

using namespace serialtest;

namespace {

// What getParsedStatus sends to an online printer.
Bytes OnlineQuery() { return Concat({kPreamble, DleEot(3), DleEot(1)}); }

// An online printer (12 to every DLE EOT n) that adds `extra` to its replies.
ScriptedLine::Reaction Online(ScriptedLine::Reaction extra) {
    ScriptedLine::Reaction reaction = extra ? std::move(extra) : [](const Bytes&) { return Bytes{}; };
    for (unsigned char n : {3, 1, 2, 4})
        reaction = Both(reaction, Answering(DleEot(n), [](std::size_t) { return Bytes{0x12}; }));
    return reaction;
}

}  // namespace

// ---------------------------------------------------------------------------
// Beginning a block

TEST(SerialBeginCheckedBlock, OfflinePrinterIsToldNothing) {
    ScriptedLine::Reaction offline = [](const Bytes&) { return Bytes{}; };
    for (const auto& [n, reply] : {std::pair<unsigned char, unsigned char>{3, 0x12}, {1, 0x1A}, {2, 0x12}, {4, 0x12}})
        offline = Both(offline, Answering(DleEot(n), [reply = reply](std::size_t) { return Bytes{reply}; }));
    ScriptedLine printer(offline);
    OpenedPort port(printer.name(), kSettings, 500);
    ASSERT_TRUE(port);
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 1u);
    EXPECT_EQ(printer.received(), Concat({OnlineQuery(), DleEot(2), DleEot(4)}));
}

TEST(SerialBeginCheckedBlock, AnswersToThePoll) {
    struct Case {
        const char* what;
        std::function<Bytes(std::size_t nth)> answer;
        int result;
        Bytes sent;  // after the status requests and the job begin
    };
    const Case cases[] = {
        {"consent", [](std::size_t) { return JobBeginAnswer(0x00); }, 1, Concat({kJobBeginPoll, kJobAcknowledge})},
        {"error value", [](std::size_t) { return JobBeginAnswer(0x05); }, 0, kJobBeginPoll},
        {"a nine-byte reply is no answer",
         [](std::size_t nth) {
             return nth == 0 ? Concat({JobBeginAnswer(0x00), {0x12}}) : JobBeginAnswer(0x00);
         },
         1, Concat({kJobBeginPoll, kJobBeginPoll, kJobAcknowledge})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLine printer(Online(Answering(kJobBeginPoll, c.answer)));
        OpenedPort port(printer.name(), kSettings, 500);
        ASSERT_TRUE(port);
        const Outcome begun = Begin(port.get());
        EXPECT_EQ(begun.result, c.result);
        if (c.result == 1) {
            EXPECT_EQ(begun.status.offline, 0u);
            EXPECT_EQ(Bytes(begun.status.raw, begun.status.raw + begun.status.rawLength), JobBeginAnswer(0x00));
        }
        const Bytes sent = Concat({OnlineQuery(), kJobBegin, c.sent});
        EXPECT_TRUE(printer.waitUntil([&] { return printer.received() == sent; }))
            << ::testing::PrintToString(printer.received());
    }
}

TEST(SerialBeginCheckedBlock, SilenceAndEndlessOtherRepliesEndAsOffline) {
    {
        ScriptedLine printer(Online({}));  // the polls go unanswered
        OpenedPort port(printer.name(), kSettings, 200);
        ASSERT_TRUE(port);
        Outcome begun{};
        EXPECT_LT(MillisecondsOf([&] { begun = Begin(port.get()); }), 2000);
        EXPECT_EQ(begun.result, 1);
        EXPECT_EQ(begun.status.offline, 1u);
        EXPECT_EQ(printer.received(), Concat({OnlineQuery(), kJobBegin, kJobBeginPoll, Bytes(2503, 0x00)}));
    }
    {
        // Every poll answered with a status byte: the bound ends the block.
        ScriptedLine printer(Online(Answering(kJobBeginPoll, [](std::size_t) { return Bytes{0x12}; })));
        OpenedPort port(printer.name(), kSettings, 50);
        ASSERT_TRUE(port);
        Outcome begun{};
        const long long ms = MillisecondsOf([&] { begun = Begin(port.get()); });
        EXPECT_EQ(begun.result, 1);
        EXPECT_EQ(begun.status.offline, 1u);
        EXPECT_GE(ms, 950);  // QUENVAR_CHECKED_BLOCK_BOUND_MS(50) = 1000
        EXPECT_LT(ms, 2500);
        EXPECT_GE(Count(printer.received(), kJobBeginPoll), 3u);
    }
}

// ---------------------------------------------------------------------------
// Ending a block

TEST(SerialEndCheckedBlock, AnswersAndWhatFollowsThem) {
    struct Case {
        const char* what;
        ScriptedLine::Reaction printer;
        int result;
        uint32_t offline, etbCounter;
        Bytes sent;
    };
    const auto statusByte = [](unsigned char b) { return [b](std::size_t) { return Bytes{b}; }; };
    const Case cases[] = {
        {"answer in the first cycle", Answering(kJobEnd, [](std::size_t) { return JobEndAnswer(0x01, 0x01); }), 1, 0, 1,
         Concat({kJobEnd, kPreamble})},
        {"error value", Answering(kJobEnd, [](std::size_t) { return JobEndAnswer(0x01, 0x00); }), 0, 0, 0, kJobEnd},
        {"answer to the job end poll",
         Both(Both(Answering(kJobEnd, statusByte(0x12)), Answering(DleEot(1), statusByte(0x12))),
              Answering(kJobEndPoll, [](std::size_t) { return JobEndAnswer(0x00, 0x01); })),
         1, 0, 1, Concat({kJobEnd, kStatusQuery, kJobEndPoll, kPreamble})},
        {"answer ahead of the status byte",
         Both(Answering(kJobEnd, statusByte(0x12)), Answering(DleEot(1),
                                                              [](std::size_t) {
                                                                  return Concat({JobEndAnswer(0x01, 0x01), {0x12}});
                                                              })),
         1, 0, 1, Concat({kJobEnd, kStatusQuery, kPreamble})},
        {"printer goes offline", Both(Answering(kJobEnd, statusByte(0x12)), Answering(DleEot(1), statusByte(0x1A))), 1,
         1, 0, Concat({kJobEnd, kStatusQuery})},
        {"a broken answer",
         Answering(kJobEnd,
                   [](std::size_t) {
                       return Bytes{0x1B, 0x1D, 0x03};
                   }),
         0, 0, 0, kJobEnd},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLine printer(c.printer);
        OpenedPort port(printer.name(), kSettings, 500);
        ASSERT_TRUE(port);
        const Outcome ended = End(port.get());
        EXPECT_EQ(ended.result, c.result);
        if (c.result == 1) {
            EXPECT_EQ(ended.status.offline, c.offline);
            EXPECT_EQ(ended.status.etbCounter, c.etbCounter);
        }
        EXPECT_TRUE(printer.waitUntil([&] { return printer.received() == c.sent; }))
            << ::testing::PrintToString(printer.received());
    }
}

TEST(SerialEndCheckedBlock, SilenceAndEndlessOtherRepliesEndAsOffline) {
    {
        ScriptedLine printer;
        OpenedPort port(printer.name(), kSettings, 200);
        ASSERT_TRUE(port);
        Outcome ended{};
        EXPECT_LT(MillisecondsOf([&] { ended = End(port.get()); }), 2000);
        EXPECT_EQ(ended.result, 1);
        EXPECT_EQ(ended.status.offline, 1u);
        EXPECT_EQ(printer.received(), Concat({kJobEnd, Bytes(2503, 0x00)}));
    }
    {
        // A printer that says it is online to everything but never confirms.
        ScriptedLine printer(Both(Answering(kJobEnd, [](std::size_t) { return Bytes{0x12}; }),
                                  Both(Answering(DleEot(1), [](std::size_t) { return Bytes{0x12}; }),
                                       Answering(kJobEndPoll, [](std::size_t) { return Bytes{0x12}; }))));
        OpenedPort port(printer.name(), kSettings, 50);
        ASSERT_TRUE(port);
        Outcome ended{};
        const long long ms = MillisecondsOf([&] { ended = End(port.get()); });
        EXPECT_EQ(ended.result, 1);
        EXPECT_EQ(ended.status.offline, 1u);
        EXPECT_GE(ms, 950);
        EXPECT_LT(ms, 2500);
    }
}
