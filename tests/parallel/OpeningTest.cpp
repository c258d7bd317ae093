// Which names open the parallel port, what opening asks of the driver, and
// that every failed opening leaves the device closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>

#include <functional>
#include <optional>

#include "ParallelTestSupport.h"

using namespace partest;

TEST(ParallelNames, OnlyNamesBeginningWithDevParportReachTheParallelPort) {
    const struct {
        const char* name;
        bool opens;
    } cases[] = {
        {"/dev/parport0", true}, {"/dev/parport", true},   {"/dev/parport-qv-name", true},
        {"/dev/lp0", false},     {"/dev/PARPORT0", false}, {"dev/parport0", false},
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer({}, c.name);
        OpenedPort port(c.name, "", 1000);
        EXPECT_EQ(static_cast<bool>(port), c.opens) << c.name;
        EXPECT_EQ(printer.device().log().entries("open").size(), c.opens ? 1u : 0u) << c.name;
    }
}

TEST(ParallelOpening, ClaimsOnceAndHandsTheDriverTheWholeTimeLimit) {
    const struct {
        unsigned int timeoutMs;
        std::optional<uint64_t> driverMicroseconds;  // none: no time value handed over
    } cases[] = {
        {1500, 1500000},
        {999, 999000},
        {5000000, 5000000000ull},  // 83 minutes: more than 32-bit microseconds hold
        {0, std::nullopt},         // the driver refuses a zero limit and keeps its own
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer;
        OpenedPort port(printer.portName(), "anything", c.timeoutMs);
        ASSERT_TRUE(port) << c.timeoutMs;
        auto& log = printer.device().log();
        std::vector<std::string> expected{"open", "PPCLAIM"};
        if (c.driverMicroseconds) expected.push_back("PPSETTIME");
        EXPECT_EQ(log.names(), expected) << c.timeoutMs;
        const uint64_t flags = log.entries("open")[0].value;
        EXPECT_EQ(flags & O_ACCMODE, static_cast<uint64_t>(O_RDWR));
        EXPECT_NE(flags & O_NONBLOCK, 0u);
        if (c.driverMicroseconds) {
            EXPECT_EQ(log.entries("PPSETTIME")[0].value, *c.driverMicroseconds) << c.timeoutMs;
        }
    }
}

TEST(ParallelOpening, AFailedStepLeavesTheDeviceClosed) {
    using Device = testsupport::ParallelPortDevice;
    const struct {
        std::function<void(Device&)> fault;
        std::vector<std::string> log;
    } cases[] = {
        {[](Device& d) { d.failNextOpen(EACCES); }, {"open failed"}},
        {[](Device& d) { d.failNextRequest(PPCLAIM, EBUSY); }, {"open", "PPCLAIM failed", "close"}},
        {[](Device& d) { d.failNextRequest(PPSETTIME, EINVAL); }, {"open", "PPCLAIM", "PPSETTIME failed", "close"}},
    };
    for (const auto& c : cases) {
        EmulatedParallelPort printer;
        c.fault(printer.device());
        EXPECT_EQ(OpenPort(printer.portName().c_str(), "", 1000), nullptr);
        EXPECT_EQ(printer.device().log().names(), c.log);
        EXPECT_EQ(printer.device().openDescriptors(), 0);
    }
}

TEST(ParallelOpening, NamesAndSettingsOfAHundredCharactersAreRefusedNeverCut) {
    const std::string name99 = "/dev/parport" + std::string(99 - 12, 'x');
    EmulatedParallelPort printer({}, name99);
    EXPECT_TRUE(OpenedPort(name99, std::string(99, 's'), 1000));  // 99 of each still fit
    printer.device().log().clear();
    // Cut to 99 characters, this name would open the printer above.
    EXPECT_FALSE(OpenedPort(name99 + "0", "", 1000));
    EXPECT_FALSE(OpenedPort(name99, std::string(100, 's'), 1000));
    EXPECT_TRUE(printer.device().log().names().empty());
}
