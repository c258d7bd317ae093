// The plain byte operations of the serial port: reads polled in 20 ms steps,
// writes of at most 40 bytes that return once the line has sent them, the
// printer's DSR, and the DTR pulse of a reset.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <thread>

#include "SerialTestSupport.h"

using namespace serialtest;
using namespace std::chrono_literals;

namespace {

Bytes Sequence(std::size_t count) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>('A' + i % 26);
    return bytes;
}

unsigned int Write(void* port, const Bytes& bytes, int* result) {
    unsigned int written = 12345;
    *result = WritePort(port, bytes.data(), static_cast<unsigned int>(bytes.size()), &written);
    return written;
}

}  // namespace

// ---------------------------------------------------------------------------
// Reading

TEST(SerialReading, EveryByteArrivesAsThePrinterSentIt) {
    ScriptedLine printer;
    termios attributes{};
    ASSERT_EQ(tcgetattr(printer.terminal(), &attributes), 0);
    attributes.c_iflag |= ICRNL | INLCR;  // what a terminal may have on before the port opens
    ASSERT_EQ(tcsetattr(printer.terminal(), TCSANOW, &attributes), 0);
    printer.send({0x01, 0x02});  // waiting before the port opens: discarded
    std::this_thread::sleep_for(100ms);

    OpenedPort port(printer.name(), kSettings, 500);
    ASSERT_TRUE(port);
    const Bytes sent{0x0D, 0x0A, 0x11, 0x13, 0x00, 0x1B, 0x1D, 0x03, 0x00, 0x01, 0x01, 0x0D, 0x00, 0x03, 0x1C, 0xFF};
    printer.send(sent);
    int result = 0;
    EXPECT_EQ(Read(port.get(), 63, &result), sent);
    EXPECT_EQ(result, 1);
}

TEST(SerialReading, WaitsInStepsAndEndsWhenBytesStopComing) {
    ScriptedLine printer;
    {
        // Nothing comes: 0 with nothing read after the time limit.
        OpenedPort port(printer.name(), kSettings, 200);
        ASSERT_TRUE(port);
        int result = -1;
        Bytes got;
        const long long ms = MillisecondsOf([&] { got = Read(port.get(), 63, &result); });
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(got.empty());
        EXPECT_GE(ms, 190);
        EXPECT_LT(ms, 1000);

        // Five bytes waiting: they come after one step that brings nothing more.
        printer.send(Sequence(5));
        std::this_thread::sleep_for(50ms);
        const long long fiveMs = MillisecondsOf([&] { got = Read(port.get(), 63, &result); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(got, Sequence(5));
        EXPECT_GE(fiveMs, 19);
        EXPECT_LT(fiveMs, 190);

        // As many bytes as asked for: no pause at all (ten reads well within one step each).
        printer.send(Sequence(10));
        std::this_thread::sleep_for(50ms);
        Bytes one;
        const long long tenMs = MillisecondsOf([&] {
            for (int i = 0; i < 10; ++i) {
                const Bytes part = Read(port.get(), 1, &result);
                one.insert(one.end(), part.begin(), part.end());
            }
        });
        EXPECT_EQ(one, Sequence(10));
        EXPECT_LT(tenMs, 150);
    }
    {
        // Time limit 0: one immediate look.
        OpenedPort port(printer.name(), kSettings, 0);
        ASSERT_TRUE(port);
        int result = -1;
        Bytes got;
        EXPECT_LT(MillisecondsOf([&] { got = Read(port.get(), 63, &result); }), 100);
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(got.empty());
    }
}

TEST(SerialReading, APrinterThatKeepsSendingCannotHoldTheRead) {
    ScriptedLine printer;
    OpenedPort port(printer.name(), kSettings, 200);
    ASSERT_TRUE(port);
    std::atomic<bool> talking{true};
    std::thread chatter([&] {
        while (talking) {
            printer.send({0x42});
            std::this_thread::sleep_for(5ms);
        }
    });
    int result = 0;
    Bytes got;
    const long long ms = MillisecondsOf([&] { got = Read(port.get(), 4096, &result); });
    talking = false;
    chatter.join();
    EXPECT_EQ(result, 1);
    EXPECT_FALSE(got.empty());
    EXPECT_LT(ms, 1000);
}

// ---------------------------------------------------------------------------
// Writing

TEST(SerialWriting, AtMostFortyBytesPerCallEachDrainedAtTheLineSpeed) {
    ScriptedLine printer;
    printer.line().setLineSpeed(true);
    OpenedPort port(printer.name(), "9600,n,8,1,n", 500);
    ASSERT_TRUE(port);
    const Bytes job = Sequence(100);
    int result = 0;
    unsigned int written = 0;
    // 40 characters of 10 bits at 9600 baud take 41.7 ms on the line.
    const long long ms = MillisecondsOf([&] { written = Write(port.get(), job, &result); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(written, 40u);
    EXPECT_GE(ms, 40);
    EXPECT_EQ(printer.line().log().names(),
              (std::vector<std::string>{"open", "DTR", "RTS", "tcsetattr", "write", "drain"}));
    EXPECT_TRUE(printer.waitUntil([&] { return printer.received() == Bytes(job.begin(), job.begin() + 40); }));
}

TEST(SerialWriting, AFailedDrainStillTellsHowManyBytesWent) {
    ScriptedLine printer;
    printer.line().failRequest(TCSBRK);
    OpenedPort port(printer.name(), kSettings, 500);
    ASSERT_TRUE(port);
    int result = 1;
    EXPECT_EQ(Write(port.get(), Sequence(50), &result), 40u);  // so the caller never sends them twice
    EXPECT_EQ(result, 0);
}

TEST(SerialWriting, AFullOutputQueueWaitsForRoomWithinTheTimeLimit) {
    ScriptedLine printer;
    printer.setReading(false);
    OpenedPort port(printer.name(), kSettings, 300);
    ASSERT_TRUE(port);
    // A pseudo-terminal does not drain: with the printer not reading, its
    // queue fills until a write finds no room for the whole time limit.
    int result = 1;
    unsigned int total = 0;
    long long lastMs = 0;
    for (int i = 0; i < 10000 && result == 1; ++i)
        lastMs = MillisecondsOf([&] { total += Write(port.get(), Sequence(40), &result); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(lastMs, 290);
    EXPECT_LT(lastMs, 2000);
    // Room again within the limit: the write goes through.
    std::thread reader([&] {
        std::this_thread::sleep_for(100ms);
        printer.setReading(true);
    });
    EXPECT_EQ(Write(port.get(), Sequence(40), &result), 40u);
    EXPECT_EQ(result, 1);
    reader.join();
    total += 40;
    EXPECT_TRUE(printer.waitUntil([&] { return printer.received().size() == total; }));
}

// ---------------------------------------------------------------------------
// Modem lines

TEST(SerialModemLines, DsrGatesWritesWithFlowHOnlyAndIsTheOnlineState) {
    ScriptedLine printer;
    OpenedPort hardware(printer.name(), "9600,n,8,1,h", 200);
    ASSERT_TRUE(hardware);
    unsigned int online = 7;
    EXPECT_EQ(GetOnlineStatus(hardware.get(), &online), 1);
    EXPECT_EQ(online, 1u);

    printer.setDsr(false);
    EXPECT_EQ(GetOnlineStatus(hardware.get(), &online), 1);
    EXPECT_EQ(online, 0u);
    int result = 0;
    EXPECT_EQ(Write(hardware.get(), Sequence(10), &result), 0u);
    EXPECT_EQ(result, 1);  // not ready: nothing taken, try again later
    EXPECT_TRUE(printer.line().log().entries("write").empty());

    {
        OpenedPort none(printer.name(), kSettings, 200);  // flow n: DSR is not asked
        ASSERT_TRUE(none);
        printer.line().log().clear();
        EXPECT_EQ(Write(none.get(), Sequence(10), &result), 10u);
        EXPECT_EQ(result, 1);
        EXPECT_TRUE(printer.line().log().entries("TIOCMGET").empty());
    }

    printer.setDsr(true);
    EXPECT_EQ(Write(hardware.get(), Sequence(10), &result), 10u);
    EXPECT_EQ(result, 1);

    // A device without modem lines: no online state, no writes with flow h.
    printer.line().setWithoutModemLines(true);
    online = 7;
    EXPECT_EQ(GetOnlineStatus(hardware.get(), &online), 0);
    EXPECT_EQ(online, 7u);
    EXPECT_EQ(Write(hardware.get(), Sequence(10), &result), 0u);
    EXPECT_EQ(result, 0);
}

TEST(SerialModemLines, ResetPulsesDtrForTenMilliseconds) {
    ScriptedLine printer;
    OpenedPort port(printer.name(), kSettings, 200);
    ASSERT_TRUE(port);
    printer.line().log().clear();
    EXPECT_EQ(ResetDevice(port.get()), 1);
    const auto changes = printer.line().log().entries("DTR");
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].value, 0u);
    EXPECT_EQ(changes[1].value, 1u);
    const auto low = changes[1].at - changes[0].at;
    EXPECT_GE(low, 10ms);
    EXPECT_LT(low, 500ms);
    EXPECT_EQ(printer.line().hostLines(), TIOCM_DTR | TIOCM_RTS);

    printer.line().failRequest(TIOCMSET);
    EXPECT_EQ(ResetDevice(port.get()), 0);
    printer.line().setWithoutModemLines(true);
    EXPECT_EQ(ResetDevice(port.get()), 0);
}
