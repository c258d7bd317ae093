#include <gtest/gtest.h>

#include <vector>

#include "core/CompletionCommands.h"
#include "core/Deadline.h"
#include "quenvar.h"

using namespace quenvar;

namespace {

TEST(CompletionCommands, AnswerScanTakesTheLatestAnswer) {
    unsigned char value = 0xAA;
    std::vector<unsigned char> begin{0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_TRUE(FindJobBeginAnswer(begin.data(), 8, &value));
    EXPECT_EQ(value, 0x00);
    EXPECT_FALSE(FindJobBeginAnswer(begin.data(), 7, &value));  // fewer than 8 bytes are not scanned

    // Two answers: the later one decides.
    std::vector<unsigned char> two{0x55, 0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00,
                                   0x1B, 0x1D, 0x03, 0x00, 0x00, 0x00, 0x05, 0x00, 0x41};
    EXPECT_TRUE(FindJobBeginAnswer(two.data(), static_cast<unsigned>(two.size()), &value));
    EXPECT_EQ(value, 0x05);

    // The job end answer ignores byte 3; the job begin answer does not.
    std::vector<unsigned char> end{0x1B, 0x1D, 0x03, 0x01, 0x01, 0x01, 0x01, 0x00};
    EXPECT_TRUE(FindJobEndAnswer(end.data(), 8, &value));
    EXPECT_EQ(value, 0x01);
    value = 0xAA;
    std::vector<unsigned char> notBegin{0x1B, 0x1D, 0x03, 0x01, 0x00, 0x00, 0x00, 0x00};
    EXPECT_FALSE(FindJobBeginAnswer(notBegin.data(), 8, &value));
    EXPECT_EQ(value, 0xAA);
    // Byte 7 must be 00.
    std::vector<unsigned char> badTail{0x1B, 0x1D, 0x03, 0x00, 0x01, 0x01, 0x01, 0x01};
    EXPECT_FALSE(FindJobEndAnswer(badTail.data(), 8, &value));
}

TEST(CompletionCommands, CommandBytes) {
    const unsigned char* commands[] = {StatusPreambleCommand, JobBeginCommand, JobBeginPollCommand,
                                       JobAcknowledgeCommand, JobEndCommand,   JobEndPollCommand};
    const unsigned char tails[][3] = {{4, 0, 0}, {2, 0, 0}, {0, 0, 0}, {3, 0, 0}, {1, 1, 1}, {0, 1, 1}};
    for (int i = 0; i < 6; ++i) {
        const std::vector<unsigned char> want{0x1B, 0x1D, 0x03, tails[i][0], tails[i][1], tails[i][2]};
        EXPECT_EQ(std::vector<unsigned char>(commands[i], commands[i] + 6), want) << i;
    }
}

TEST(Deadline, CheckedBlockBoundHasAFloorAndScalesWithTheTimeLimit) {
    EXPECT_EQ(QUENVAR_CHECKED_BLOCK_BOUND_MS(0), 1000u);
    EXPECT_EQ(QUENVAR_CHECKED_BLOCK_BOUND_MS(50), 1000u);
    EXPECT_EQ(QUENVAR_CHECKED_BLOCK_BOUND_MS(3000), 30000u);
    EXPECT_EQ(QUENVAR_CHECKED_BLOCK_BOUND_MS(0xFFFFFFFFu), 0xFFFFFFFFull * 10);  // no overflow

    const Deadline deadline = Deadline::checkedBlock(0);
    EXPECT_FALSE(deadline.expired());
    EXPECT_LE(deadline.remainingMs(), 1000u);
    EXPECT_GT(deadline.remainingMs(), 0u);
    EXPECT_EQ(deadline.capMs(5), 5u);
    EXPECT_EQ(deadline.earliest(Deadline::never()).remainingMs(), deadline.remainingMs());
    EXPECT_TRUE(Deadline::after(0).expired());
    EXPECT_EQ(Deadline::never().capMs(7), 7u);
}

}  // namespace
