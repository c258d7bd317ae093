// Print data and the answers to the completion commands, seen from a raw host.
#include <gtest/gtest.h>

#include "RawHost.h"
#include "emulator/NetworkPrinter.h"

using emulator::NetworkPrinter;
using rawhost::bytes;
using rawhost::Connection;
using namespace std::chrono_literals;

namespace {

const std::string g_statusPreamble("\x1B\x1D\x03\x04\x00\x00", 6);
const std::string g_jobBegin("\x1B\x1D\x03\x02\x00\x00", 6);
const std::string g_jobBeginPoll("\x1B\x1D\x03\x00\x00\x00", 6);
const std::string g_jobAcknowledge("\x1B\x1D\x03\x03\x00\x00", 6);
const std::string g_jobEnd("\x1B\x1D\x03\x01\x01\x01", 6);
const std::string g_jobEndPoll("\x1B\x1D\x03\x00\x01\x01", 6);

std::string job_end_answer(int k, int c) { return bytes({0x1B, 0x1D, 0x03, k, 0x01, 0x01, c, 0x00}); }

// A printer without automatic status, so that only answers come back.
NetworkPrinter::Options answers_only(unsigned speed = 0) {
    NetworkPrinter::Options options;
    options.automaticStatus = false;
    options.printSpeedBps = speed;
    return options;
}

}  // namespace

TEST(Jobs, BeginPollIsAnsweredAtOnceWithTheValueSet) {
    NetworkPrinter printer(answers_only());
    printer.start();
    Connection host(printer.address(), 9100);
    host.send(g_statusPreamble + g_jobBegin + g_jobBeginPoll);
    EXPECT_EQ(host.receive(8), bytes({0x1B, 0x1D, 0x03, 0, 0, 0, 0x00, 0}));

    printer.model().failNextJobBegin(0x05);
    host.send(g_jobBeginPoll);
    EXPECT_EQ(host.receive(8), bytes({0x1B, 0x1D, 0x03, 0, 0, 0, 0x05, 0}));
    host.send(g_jobBeginPoll + g_jobAcknowledge);
    EXPECT_EQ(host.receive(8), bytes({0x1B, 0x1D, 0x03, 0, 0, 0, 0x00, 0}));
    EXPECT_EQ(host.receive(1, 200ms), "") << "preamble, job begin and acknowledge need no answer";
}

TEST(Jobs, PrintedDataKeepsOrderWithoutCommandsEvenWhenSplit) {
    NetworkPrinter printer(answers_only());
    printer.start();
    Connection host(printer.address(), 9100);
    // A command cut between two sends, and an escape sequence that only looks
    // like the start of one, must both come out right.
    std::string first = "AB" + g_jobBegin.substr(0, 3);
    std::string second = g_jobBegin.substr(3) + "C\x1B\x1D\x07" + "D" + g_jobEnd;
    host.send(first);
    ASSERT_TRUE(printer.model().waitReceived(first.size(), 5s));
    host.send(second);
    EXPECT_EQ(host.receive(8), job_end_answer(0x01, 0x01));
    EXPECT_EQ(printer.model().printedData(),
              "ABC\x1B\x1D\x07"
              "D");
    EXPECT_EQ(printer.model().allReceived(), first + second);
}

TEST(Jobs, EndAnswerComesOnlyAfterEverythingBeforeItIsPrinted) {
    NetworkPrinter printer(answers_only(4000));
    printer.start();
    Connection host(printer.address(), 9100);
    std::string job(600, 'x');
    host.send(job + g_jobEnd);
    ASSERT_EQ(host.receive(8), job_end_answer(0x01, 0x01));
    EXPECT_EQ(printer.model().printedSize(), job.size());

    // A poll after further data waits for that data too, and echoes its own byte 3.
    host.send(job + g_jobEndPoll);
    ASSERT_EQ(host.receive(8), job_end_answer(0x00, 0x01));
    EXPECT_EQ(printer.model().printedSize(), 2 * job.size());
}

TEST(Jobs, StoppedPrinterHoldsTheEndAnswersAndThenAnswersEveryPoll) {
    NetworkPrinter printer(answers_only());
    printer.start();
    printer.model().setPaperEmpty(true);
    Connection host(printer.address(), 9100);
    std::string sent = "xyz" + g_jobEnd + g_jobEndPoll + g_jobEndPoll;
    host.send(sent);
    ASSERT_TRUE(printer.model().waitReceived(sent.size(), 5s));
    EXPECT_EQ(host.receive(1, 300ms), "");
    EXPECT_EQ(printer.model().printedSize(), 0u);

    printer.model().failNextJobEnd(0x03);
    printer.model().setPaperEmpty(false);
    EXPECT_EQ(host.receive(24), job_end_answer(0x01, 0x03) + job_end_answer(0x00, 0x01) + job_end_answer(0x00, 0x01))
        << "the error value is for one answer only";
    EXPECT_EQ(host.receive(1, 300ms), "");
    EXPECT_EQ(printer.model().printedData(), "xyz");

    // Everything is printed when the printer goes offline: the job end that
    // follows still waits, or a checked job would be confirmed on a stopped printer.
    printer.model().setOffline(true);
    host.send(g_jobEnd);
    ASSERT_TRUE(printer.model().waitReceived(sent.size() + g_jobEnd.size(), 5s));
    EXPECT_EQ(host.receive(1, 300ms), "");
    printer.model().setOffline(false);
    EXPECT_EQ(host.receive(8), job_end_answer(0x01, 0x01));
}

TEST(Jobs, EtbAdvancesTheCounterOncePrintedAndWraps) {
    NetworkPrinter::Options options;
    options.printSpeedBps = 2000;
    NetworkPrinter printer(options);
    printer.start();
    Connection host(printer.address(), 9100);
    ASSERT_EQ(host.receive(11).size(), 11u);

    host.send(std::string(100, 'p') + "\x17");
    std::string frame = host.receive(11);
    ASSERT_EQ(frame.size(), 11u);
    EXPECT_EQ(frame[7], 0x02) << "counter 1";
    EXPECT_EQ(printer.model().printedSize(), 101u);

    host.send(std::string(32, '\x17'));
    ASSERT_TRUE(printer.model().waitPrinted(133, 5s));
    EXPECT_EQ(printer.model().etbCounter(), 1u);
}

TEST(Jobs, AnswersDueOnALostConnectionAreNotSentToTheNextHost) {
    NetworkPrinter printer(answers_only());
    printer.start();
    printer.model().setPaperEmpty(true);
    {
        Connection first(printer.address(), 9100);
        first.send("ab" + g_jobEnd + "\x1B\x1D");
        ASSERT_TRUE(printer.model().waitReceived(10, 5s));
    }
    Connection second(printer.address(), 9100);
    ASSERT_TRUE(printer.model().waitConnections(2, 5s));
    printer.model().setPaperEmpty(false);
    // A command cut off by the end of its connection was print data after all.
    ASSERT_TRUE(printer.model().waitPrinted(4, 5s));
    EXPECT_EQ(printer.model().printedData(), "ab\x1B\x1D");
    EXPECT_EQ(second.receive(1, 300ms), "");
}
