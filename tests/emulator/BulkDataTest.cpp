// Print data arriving in large pieces, as a host streaming a big job sends it:
// the printer takes plain runs of data whole, and must keep the same order,
// ETB count and answers as byte by byte.
#include <gtest/gtest.h>

#include "RawHost.h"
#include "emulator/NetworkPrinter.h"

using emulator::NetworkPrinter;
using rawhost::bytes;
using rawhost::Connection;
using namespace std::chrono_literals;

TEST(BulkData, LongRunsAroundCommandsKeepOrderEtbCountAndAnswers) {
    NetworkPrinter::Options options;
    options.automaticStatus = false;
    NetworkPrinter printer(options);
    printer.start();
    Connection host(printer.address(), 9100);

    std::string data;
    for (int i = 0; i < 33; ++i)
        data += std::string(100, static_cast<char>('a' + i % 26)) + "\x17";
    const std::string jobEnd("\x1B\x1D\x03\x01\x01\x01", 6);
    // An escape that begins no command sits inside the data and stays data.
    const std::string tail = std::string(3000, 'z') + "\x1B\x40" + std::string(3000, 'y');
    host.send(data + jobEnd + tail);

    EXPECT_EQ(host.receive(8), bytes({0x1B, 0x1D, 0x03, 0x01, 0x01, 0x01, 0x01, 0x00}));
    ASSERT_TRUE(printer.model().waitPrinted(data.size() + tail.size(), 5s));
    EXPECT_EQ(printer.model().printedData(), data + tail);
    EXPECT_EQ(printer.model().etbCounter(), 1u) << "33 ETBs wrap the counter once";
}
