// The printer's status from the real-time requests DLE EOT 3, 1, 2, 4: which
// requests go out, how each reply byte counts, and the clearing block when a
// reply never comes.
#include <gtest/gtest.h>

#include <map>

#include "SerialTestSupport.h"

using namespace serialtest;

namespace {

// A printer that answers DLE EOT n with replies[n] (no entry: no answer).
ScriptedLine::Reaction RealTimeReplies(const std::map<unsigned char, unsigned char>& replies) {
    ScriptedLine::Reaction reaction = [](const Bytes&) { return Bytes{}; };
    for (const auto& [n, reply] : replies)
        reaction = Both(reaction, Answering(DleEot(n), [reply = reply](std::size_t) { return Bytes{reply}; }));
    return reaction;
}

Bytes Requests(std::initializer_list<unsigned char> sequence) {
    Bytes all = kPreamble;
    for (unsigned char n : sequence) {
        const Bytes request = DleEot(n);
        all.insert(all.end(), request.begin(), request.end());
    }
    return all;
}

}  // namespace

TEST(SerialStatus, EachReplyByteAndWhereTheSequenceStops) {
    struct Case {
        const char* what;
        std::map<unsigned char, unsigned char> replies;
        Bytes sent;
        uint32_t offline, coverOpen, paperEmpty;
    };
    const Case cases[] = {
        {"online after two requests", {{3, 0x12}, {1, 0x12}}, Requests({3, 1}), 0, 0, 0},
        {"error bit 5 in the error cause", {{3, 0x32}}, Requests({3}), 1, 0, 0},
        {"bad fixed bits in the printer status", {{3, 0x12}, {1, 0x13}}, Requests({3, 1}), 1, 0, 0},
        {"offline, cover open, paper end",
         {{3, 0x12}, {1, 0x1A}, {2, 0x16}, {4, 0x72}},
         Requests({3, 1, 2, 4}),
         1,
         1,
         1},
        {"offline for no reported reason",
         {{3, 0x12}, {1, 0x1A}, {2, 0x12}, {4, 0x12}},
         Requests({3, 1, 2, 4}),
         1,
         0,
         0},
        {"bad offline cause", {{3, 0x12}, {1, 0x1A}, {2, 0x92}}, Requests({3, 1, 2}), 1, 0, 0},
        {"bad paper sensor byte forgets the cover",
         {{3, 0x12}, {1, 0x1A}, {2, 0x16}, {4, 0x13}},
         Requests({3, 1, 2, 4}),
         1,
         0,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLine printer(RealTimeReplies(c.replies));
        OpenedPort port(printer.name(), kSettings, 500);
        ASSERT_TRUE(port);
        const Outcome got = Status(port.get());
        EXPECT_EQ(got.result, 1);
        EXPECT_EQ(got.status.offline, c.offline);
        EXPECT_EQ(got.status.coverOpen, c.coverOpen);
        EXPECT_EQ(got.status.receiptPaperEmpty, c.paperEmpty);
        EXPECT_EQ(got.status.rawLength, 1u);
        EXPECT_EQ(got.status.raw[0], c.replies.at(c.sent.back()));  // the last reply read
        EXPECT_EQ(printer.received(), c.sent);
    }
}

TEST(SerialStatus, NoReplySendsTheClearingBlockAndGivesNoStatus) {
    ScriptedLine printer;
    OpenedPort port(printer.name(), kSettings, 200);
    ASSERT_TRUE(port);
    VelmarPrinterStatus_0 untouched{};
    untouched.offline = 7;
    VelmarPrinterStatus_0 status = untouched;
    int result = -1;
    const long long ms = MillisecondsOf([&] { result = GetParsedStatus(port.get(), &status); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(status.offline, 7u);
    EXPECT_LT(ms, 2000);  // two reads of the time limit, with margin
    const Bytes expected = Concat({Requests({3}), Bytes(2503, 0x00)});
    EXPECT_TRUE(printer.waitUntil([&] { return printer.received() == expected; }));
}
