// Opening a serial port: which names it takes, the settings grammar (every
// rejection closes the device again) and the terminal attributes it leaves.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>

#include "SerialTestSupport.h"

using namespace serialtest;

namespace {

// The device was opened once and is closed again.
bool OpenedAndClosed(testsupport::SerialLine& line) {
    const std::vector<std::string> names = line.log().names();
    return line.log().entries("open").size() == 1 && line.log().entries("close").size() == 1 && names.back() == "close";
}

}  // namespace

TEST(SerialOpening, SettingsGrammar) {
    struct Case {
        const char* settings;
        bool accepted;
    };
    const Case cases[] = {
        {"9600,n,8,1,n", true},
        {"115200,o,7,2,h", true},
        {"9600,none,8,1,hardware", true},  // the rest of a field is ignored
        {" +2400,e,8,1,n and more", true},
        {"57600,n,8,1,nx", true},
        {"9600,N,8,1,n", false},  // letters are lower case only
        {"9600,n,8,1", false},    // all five fields, no defaults
        {"600,n,8,1,n", false},
        {"9601,n,8,1,n", false},
        {"9600,n,6,1,n", false},
        {"9600,n,8,3,n", false},
        {"9600,n,8,1,x", false},
        {"9600,n,8,1,", false},
        {"9600,,8,1,n", false},
        {"", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        ScriptedLine printer;
        {
            OpenedPort port(printer.name(), c.settings, 100);
            EXPECT_EQ(static_cast<bool>(port), c.accepted);
            if (!c.accepted) {
                EXPECT_TRUE(OpenedAndClosed(printer.line()));
            }
        }
        EXPECT_TRUE(OpenedAndClosed(printer.line()));
    }
}

TEST(SerialOpening, NamesAndMissingArguments) {
    ScriptedLine printer;
    // Only names beginning with "/dev/tty" reach the serial port.
    for (const char* name : {"/dev/TTYQV0", "/dev/ttx0", "/dev/tt"}) {
        auto line = std::make_shared<testsupport::SerialLine>("/dev/null", [] { return true; });
        testsupport::DeviceRegistration registration(name, line);
        EXPECT_EQ(OpenPort(name, kSettings, 100), nullptr) << name;
        EXPECT_TRUE(line->log().entries().empty()) << name;
    }
    EXPECT_EQ(OpenPort(nullptr, kSettings, 100), nullptr);
    EXPECT_EQ(OpenPort(printer.name().c_str(), nullptr, 100), nullptr);
    EXPECT_TRUE(printer.line().log().entries().empty());
    EXPECT_EQ(OpenPort("/dev/ttyQVnothing-here", kSettings, 100), nullptr);

    OpenedPort port(printer.name(), kSettings, 100);
    ASSERT_TRUE(port);
    EXPECT_EQ(printer.line().log().entries("open").at(0).value, static_cast<uint64_t>(O_RDWR | O_NOCTTY | O_NONBLOCK));
}

TEST(SerialOpening, TerminalAttributesAsTheSettingsSay) {
    struct Case {
        const char* settings;
        speed_t speed;
        tcflag_t cflagSet, cflagClear, iflagSet;
    };
    const Case cases[] = {
        {"9600,n,8,1,n", B9600, CS8, PARENB | CSTOPB, 0},
        {"115200,o,7,2,h", B115200, CS7 | PARENB | PARODD | CSTOPB, 0, INPCK | ISTRIP},
        {"2400,e,8,1,n", B2400, CS8 | PARENB, PARODD | CSTOPB, INPCK | ISTRIP},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        ScriptedLine printer;
        termios before{};
        ASSERT_EQ(tcgetattr(printer.terminal(), &before), 0);
        // What a terminal may have on: translations, flow control, echo.
        before.c_iflag |= ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY;
        before.c_cflag |= CRTSCTS;
        before.c_lflag |= ISIG | ICANON | ECHO | ECHOE | IEXTEN;
        before.c_oflag |= OPOST;
        ASSERT_EQ(tcsetattr(printer.terminal(), TCSANOW, &before), 0);

        OpenedPort port(printer.name(), c.settings, 100);
        ASSERT_TRUE(port);
        termios after{};
        ASSERT_EQ(tcgetattr(printer.terminal(), &after), 0);
        EXPECT_EQ(cfgetispeed(&after), c.speed);
        EXPECT_EQ(cfgetospeed(&after), c.speed);
        // A pty always reports CS8 and no parity: those two come from what the port set.
        const auto set = printer.line().log().entries("tcsetattr");
        ASSERT_EQ(set.size(), 1u);
        ASSERT_EQ(set[0].value, static_cast<uint64_t>(TCSETS));  // TCSANOW
        termios asked{};
        std::memcpy(&asked, set[0].data.data(), sizeof asked);
        EXPECT_EQ(asked.c_cflag & (CSIZE | PARENB), c.cflagSet & (CSIZE | PARENB));
        after.c_cflag = (after.c_cflag & ~(CSIZE | PARENB)) | (asked.c_cflag & (CSIZE | PARENB));
        EXPECT_EQ(after.c_cflag & (c.cflagSet | CREAD | CLOCAL), c.cflagSet | CREAD | CLOCAL);
        EXPECT_EQ(after.c_cflag & (c.cflagClear | CRTSCTS), 0u);
        EXPECT_EQ(after.c_iflag & c.iflagSet, c.iflagSet);
        EXPECT_EQ(after.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY), 0u);
        EXPECT_EQ(after.c_lflag & (ISIG | ICANON | ECHO | ECHOE), 0u);
        EXPECT_EQ(after.c_oflag & OPOST, 0u);
        // Everything else stays as the terminal had it.
        EXPECT_NE(after.c_lflag & IEXTEN, 0u);
        EXPECT_EQ(std::vector<cc_t>(after.c_cc, after.c_cc + NCCS), std::vector<cc_t>(before.c_cc, before.c_cc + NCCS));
    }
}
