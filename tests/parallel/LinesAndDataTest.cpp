// Print data out, the printer's bytes back, the status lines and the reset
// pulse on the INIT line.
#include <gtest/gtest.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <functional>

#include "ParallelTestSupport.h"

using namespace partest;

TEST(ParallelReading, ASilentPrinterEndsAReadAfterAboutASecondWhateverTheLimit) {
    for (const unsigned int timeoutMs : {100u, 5000u}) {
        EmulatedParallelPort printer;
        OpenedPort port(printer.portName(), "", timeoutMs);
        ASSERT_TRUE(port);
        unsigned char buffer[16];
        unsigned int read = 99;
        int result = -1;
        const long long took = MillisecondsOf([&] { result = ReadPort(port.get(), buffer, sizeof buffer, &read); });
        EXPECT_EQ(result, 0);
        EXPECT_EQ(read, 0u);
        EXPECT_GE(took, 950) << timeoutMs;
        EXPECT_LT(took, 2500) << timeoutMs;
    }
}

TEST(ParallelReading, WhatThePrinterSentIsDelivered) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    printer.model().sendRaw("hello");
    unsigned char buffer[16];
    unsigned int read = 0;
    EXPECT_EQ(ReadPort(port.get(), buffer, sizeof buffer, &read), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), read), "hello");
}

TEST(ParallelWriting, EachWriteReportsWhatTheDriverTookAndEveryByteArrivesOnce) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    std::string job(5000, '\0');
    for (std::size_t i = 0; i < job.size(); ++i)
        job[i] = static_cast<char>('A' + i % 26);
    std::size_t sent = 0;
    for (int calls = 0; sent < job.size() && calls < 100; ++calls) {
        unsigned int written = 0;
        ASSERT_EQ(WritePort(port.get(), reinterpret_cast<const unsigned char*>(job.data() + sent),
                            static_cast<unsigned int>(job.size() - sent), &written),
                  1);
        EXPECT_LE(written, 1024u);  // one transfer of the driver
        sent += written;
    }
    ASSERT_TRUE(printer.model().waitReceived(job.size(), std::chrono::seconds(5)));
    EXPECT_TRUE(printer.model().allReceived() == job);
}

TEST(ParallelLines, OnlineWhenErrorAndSelectAreSetAndPaperOutIsClear) {
    using Model = emulator::PrinterModel;
    const struct {
        const char* state;
        std::function<void(Model&)> set;
        unsigned char lines;
        unsigned int online;
    } cases[] = {
        {"ready", [](Model&) {}, PARPORT_STATUS_ERROR | PARPORT_STATUS_SELECT, 1},
        {"paper out", [](Model& m) { m.setPaperEmpty(true); },
         PARPORT_STATUS_ERROR | PARPORT_STATUS_SELECT | PARPORT_STATUS_PAPEROUT, 0},
        {"offline", [](Model& m) { m.setOffline(true); }, PARPORT_STATUS_ERROR, 0},
        {"cover open", [](Model& m) { m.setCoverOpen(true); }, PARPORT_STATUS_SELECT, 0},
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer;
        printer.model().setOfflineFollowsErrors(false);  // each line on its own
        c.set(printer.model());
        OpenedPort port(printer.portName(), "", 1000);
        ASSERT_TRUE(port);
        unsigned int online = 7;
        EXPECT_EQ(GetOnlineStatus(port.get(), &online), 1) << c.state;
        EXPECT_EQ(online, c.online) << c.state;
        const auto read = printer.device().log().entries("PPRSTATUS");
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(read[0].value, c.lines) << c.state;
    }
    // Lines that cannot be read give no answer.
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    printer.device().failNextRequest(PPRSTATUS, EIO);
    unsigned int online = 7;
    EXPECT_EQ(GetOnlineStatus(port.get(), &online), 0);
    EXPECT_EQ(online, 7u);
}

TEST(ParallelReset, HoldsTheInitLineActiveForOneMillisecond) {
    EmulatedParallelPort printer;
    OpenedPort port(printer.portName(), "", 1000);
    ASSERT_TRUE(port);
    EXPECT_EQ(ResetDevice(port.get()), 1);
    const auto init = printer.device().log().entries("INIT");
    ASSERT_EQ(init.size(), 2u);
    EXPECT_EQ(init[0].value, 1u);  // active
    EXPECT_EQ(init[1].value, 0u);  // released
    const auto held = init[1].at - init[0].at;
    EXPECT_GE(held, std::chrono::milliseconds(1));
    EXPECT_LT(held, std::chrono::milliseconds(200));

    printer.device().failNextRequest(PPFCONTROL, EIO);
    EXPECT_EQ(ResetDevice(port.get()), 0);
}
