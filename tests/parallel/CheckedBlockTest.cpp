// Print jobs bracketed by the completion commands: the printer's answers, its
// errors, and the bound on a printer that never answers.
#include <gtest/gtest.h>

#include <functional>

#include "ParallelTestSupport.h"

using namespace partest;

TEST(ParallelCheckedBlock, AConfirmedJob) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 0u);
    const std::string begin = kAutomaticStatusOn + kPreamble + kJobBegin + kJobBeginPoll + kJobAcknowledge;
    EXPECT_TRUE(Received(printer, begin.size()) == begin);

    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>("receipt\n"), 8, &written), 1);
    ASSERT_EQ(written, 8u);
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 0u);
    EXPECT_EQ(ended.status.etbCounter, 0u);  // this port confirms by the answer, not by a counter
    EXPECT_EQ(printer.model().printedData(), "receipt\n");
    const std::string end = "receipt\n" + kJobEnd + kPreamble;
    EXPECT_TRUE(Received(printer, begin.size() + end.size()) == begin + end);
}

TEST(ParallelCheckedBlock, ASlowPrinterIsAskedUntilItConfirms) {
    emulator::ParallelPrinter::Options slow;
    slow.printSpeedBps = 1000;
    EmulatedParallelPort printer(slow);
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    ASSERT_EQ(Begin(port.get()).status.offline, 0u);
    const std::string job(600, 'x');  // 0.6 s of printing
    unsigned int written = 0;
    ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(job.data()), 600, &written), 1);
    ASSERT_EQ(written, 600u);
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 0u);
    EXPECT_EQ(printer.model().printedSize(), 600u);
    EXPECT_NE(printer.model().allReceived().find(kJobEndPoll), std::string::npos);
}

TEST(ParallelCheckedBlock, AnswersBehindOtherBytesAreFound) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    printer.model().sayBeforeNextAnswer("\x01\x02 noise");
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 0u);
    printer.model().sayBeforeNextAnswer(std::string("\x1B\x1D\x03\x00\x00\x00", 6));  // half an answer
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 0u);
}

TEST(ParallelCheckedBlock, ErrorAnswersFail) {
    using Model = emulator::PrinterModel;
    const struct {
        const char* answer;
        std::function<void(Model&)> set;
        std::function<Outcome(void*)> operation;
    } cases[] = {
        {"job begin 01", [](Model& m) { m.failNextJobBegin(0x01); }, Begin},
        {"job end 00", [](Model& m) { m.failNextJobEnd(0x00); }, End},
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer;
        c.set(printer.model());
        OpenedPort port(printer.portName(), "", 1000);
        ASSERT_TRUE(port);
        EXPECT_EQ(c.operation(port.get()).result, 0) << c.answer;
    }
}

TEST(ParallelCheckedBlock, AnOfflinePrinterIsToldNoJob) {
    EmulatedParallelPort printer;
    printer.model().setCoverOpen(true);
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 1u);
    EXPECT_EQ(begun.status.coverOpen, 1u);
    EXPECT_TRUE(Received(printer, kAutomaticStatusOn.size() + kPreamble.size()) == kAutomaticStatusOn + kPreamble);
}

TEST(ParallelCheckedBlock, APrinterThatNeverAnswersIsGivenUpAtTheBound) {
    // timeoutMs 100: the bound is the minimum of 1000 ms.
    const struct {
        const char* operation;
        std::function<Outcome(void*)> run;
    } cases[] = {{"begin", Begin}, {"end", End}};
    for (const auto& c : cases) {
        EmulatedParallelPort printer;
        printer.model().setAnswerCompletionCommands(false);
        OpenedPort port(printer.portName(), "", 100);
        ASSERT_TRUE(port);
        Outcome outcome{};
        const long long took = MillisecondsOf([&] { outcome = c.run(port.get()); });
        EXPECT_EQ(outcome.result, 1) << c.operation;
        EXPECT_EQ(outcome.status.offline, 1u) << c.operation;
        EXPECT_GE(took, 900) << c.operation;
        EXPECT_LT(took, 1800) << c.operation;
    }
}
