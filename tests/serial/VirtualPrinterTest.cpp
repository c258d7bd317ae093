// The serial port against the virtual serial printer: whole jobs, the
// printer's states as the status and DSR report them, its error answers and
// its silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "SerialTestSupport.h"
#include "VirtualSerialPrinter.h"

using namespace serialtest;
using namespace std::chrono_literals;

namespace {

// Sends all of `job` with WritePort, looping on what each call took.
bool WriteAll(void* port, const std::string& job) {
    for (std::size_t sent = 0; sent < job.size();) {
        unsigned int written = 0;
        if (WritePort(port, reinterpret_cast<const unsigned char*>(job.data() + sent),
                      static_cast<unsigned int>(job.size() - sent), &written) != 1 ||
            written == 0)
            return false;
        sent += written;
    }
    return true;
}

}  // namespace

TEST(SerialVirtualPrinter, CheckedJobArrivesByteForByteAndIsConfirmedOncePrinted) {
    // Line-end and flow-control bytes included; the printer takes half a
    // second to print it, well within the port's time limit.
    std::string job;
    for (int i = 0; job.size() < 1000; ++i)
        job += std::string("receipt line ") + std::to_string(i) + "\r\n\x11\x13" + std::string(1, '\0');
    emulator::SerialPrinter::Options options;
    options.printSpeedBps = 2000;
    VirtualSerialPrinter printer(options);
    OpenedPort port(printer.name(), "115200,n,8,1,h", 1000);
    ASSERT_TRUE(port);

    const Outcome begun = Begin(port.get());
    ASSERT_EQ(begun.result, 1);
    ASSERT_EQ(begun.status.offline, 0u);
    ASSERT_TRUE(WriteAll(port.get(), job));
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 0u);
    EXPECT_EQ(ended.status.etbCounter, 1u);
    EXPECT_TRUE(printer.model().printedData() == job);
}

TEST(SerialVirtualPrinter, StatusAndDsrFollowThePrinter) {
    struct Case {
        const char* what;
        std::function<void(emulator::PrinterModel&)> set;
        uint32_t offline, coverOpen, paperEmpty, online;
    };
    const Case cases[] = {
        {"ready", [](emulator::PrinterModel&) {}, 0, 0, 0, 1},
        {"cover open", [](emulator::PrinterModel& m) { m.setCoverOpen(true); }, 1, 1, 0, 0},
        {"paper out", [](emulator::PrinterModel& m) { m.setPaperEmpty(true); }, 1, 0, 1, 0},
        {"switched offline", [](emulator::PrinterModel& m) { m.setOffline(true); }, 1, 0, 0, 0},
        {"paper near end only", [](emulator::PrinterModel& m) { m.setPaperNearEndInner(true); }, 0, 0, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        VirtualSerialPrinter printer;
        c.set(printer.model());
        OpenedPort port(printer.name(), kSettings, 500);
        ASSERT_TRUE(port);
        const Outcome got = Status(port.get());
        EXPECT_EQ(got.result, 1);
        EXPECT_EQ(got.status.offline, c.offline);
        EXPECT_EQ(got.status.coverOpen, c.coverOpen);
        EXPECT_EQ(got.status.receiptPaperEmpty, c.paperEmpty);
        unsigned int online = 7;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1);
        EXPECT_EQ(online, c.online);
        const Outcome begun = Begin(port.get());
        EXPECT_EQ(begun.result, 1);
        EXPECT_EQ(begun.status.offline, c.offline);
    }
}

TEST(SerialVirtualPrinter, ErrorAnswersSilenceAndADroppedDsr) {
    VirtualSerialPrinter printer;
    OpenedPort port(printer.name(), "9600,n,8,1,h", 200);
    ASSERT_TRUE(port);

    printer.model().failNextJobBegin(0x02);
    EXPECT_EQ(Begin(port.get()).result, 0);
    ASSERT_EQ(Begin(port.get()).result, 1);
    printer.model().failNextJobEnd(0x00);
    EXPECT_EQ(End(port.get()).result, 0);

    // DSR down: nothing goes out, and a block cannot even send its commands.
    printer.printer().forceDataSetReady(false);
    unsigned int written = 9;
    const unsigned char text[] = "hello";
    EXPECT_EQ(WritePort(port.get(), text, 5, &written), 1);
    EXPECT_EQ(written, 0u);
    Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 1u);
    printer.printer().forceDataSetReady(std::nullopt);

    // A silent printer gives no status and swallows the clearing block.
    printer.model().setSilent(true);
    const std::size_t before = printer.model().receivedSize();
    EXPECT_EQ(Status(port.get()).result, 0);
    EXPECT_TRUE(printer.model().waitReceived(before + 6 + 3 + 2503, 5s));
    printer.model().setSilent(false);
    EXPECT_EQ(Status(port.get()).result, 1);
}

// A job the printer finishes only after the block gave up on it is answered
// late; that answer, still on the line, is not the next job's status.
TEST(SerialVirtualPrinter, LateJobEndAnswerIsNotReadAsTheNextStatus) {
    VirtualSerialPrinter printer;
    OpenedPort port(printer.name(), kSettings, 200);
    ASSERT_TRUE(port);
    ASSERT_EQ(Begin(port.get()).status.offline, 0u);
    // Offline before the job's bytes arrive, so the printer holds them and its
    // answer to the job end, whatever the machine's load.
    printer.model().setOffline(true);
    ASSERT_TRUE(WriteAll(port.get(), "first job"));
    const Outcome ended = End(port.get());
    EXPECT_EQ(ended.result, 1);
    EXPECT_EQ(ended.status.offline, 1u);
    printer.model().setOffline(false);
    ASSERT_TRUE(printer.model().waitPrinted(9, 2s));
    std::this_thread::sleep_for(100ms);  // the printer's answer reaches the line
    const Outcome begun = Begin(port.get());
    EXPECT_EQ(begun.result, 1);
    EXPECT_EQ(begun.status.offline, 0u);
    ASSERT_TRUE(WriteAll(port.get(), "second job"));
    EXPECT_EQ(End(port.get()).status.offline, 0u);
    std::string printed = printer.model().printedData();
    printed.erase(std::remove(printed.begin(), printed.end(), '\0'), printed.end());  // clearing blocks
    EXPECT_EQ(printed, "first jobsecond job");
}
