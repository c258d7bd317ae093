// The interposer routes calls on registered paths to their fake device and
// leaves every other call to libc.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/FakeDevice.h"

namespace {

class PipeDevice : public testsupport::FakeDevice {
public:
    int open(const std::string&, int) override {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return -1;
        peer = ends[1];
        log.add("open");
        return ends[0];
    }
    bool ioctl(int, unsigned long request, void* argument, int* result) override {
        if (request != 0x5415) return false;  // TIOCMGET only
        *static_cast<int*>(argument) = 0x100;
        *result = 0;
        log.add("TIOCMGET");
        return true;
    }
    void closed(int) override { log.add("close"); }

    int peer = -1;
    testsupport::CallLog log;
};

TEST(FakeDevice, RegisteredPathsOpenTheDeviceAndOtherCallsReachLibc) {
    auto device = std::make_shared<PipeDevice>();
    int fd;
    {
        testsupport::DeviceRegistration registration("/dev/ttyQVsupport", device);
        fd = open("/dev/ttyQVsupport", O_RDWR);
        ASSERT_GE(fd, 0);
        int lines = 0;
        EXPECT_EQ(ioctl(fd, TIOCMGET, &lines), 0);
        EXPECT_EQ(lines, 0x100);
        int waiting = -1;
        ASSERT_EQ(write(device->peer, "ab", 2), 2);
        EXPECT_EQ(ioctl(fd, FIONREAD, &waiting), 0);  // not the device's: the real socket answers
        EXPECT_EQ(waiting, 2);
        char got[2];
        EXPECT_EQ(read(fd, got, 2), 2);
        EXPECT_EQ(close(fd), 0);
    }
    EXPECT_EQ(device->log.names(), (std::vector<std::string>{"open", "TIOCMGET", "close"}));
    EXPECT_EQ(open("/dev/ttyQVsupport", O_RDWR), -1);  // registration gone: the real path does not exist
    close(device->peer);
}

}  // namespace
