// Device nodes this machine lacks (serial modem lines, parallel ports, a USB
// host), emulated underneath the unchanged library inside the test process.
// The interposer (Interposer.c) catches the libc calls open, openat, ioctl,
// read, write and close, and tcdrain and tcsetattr, which a device sees as the
// ioctl requests the kernel gets (TCSBRK 1; TCSETS/TCSETSW/TCSETSF with libc's
// struct termios); a call on a path or descriptor that belongs to a
// registered FakeDevice goes to that device, every other call goes to libc
// untouched. Link the target quenvar_test_support into a test to use it.
// It also makes a network printer's data connection take a few bytes a call
// when asked (see the end of Interposer.c).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class FakeDevice {
public:
    virtual ~FakeDevice() = default;

    // open() or openat() of the registered path. Returns the descriptor the
    // caller gets: a real one that carries the bytes (a pty, one end of a
    // socket pair, a file with descriptors...), or -1 with errno set.
    virtual int open(const std::string& path, int flags) = 0;
    // ioctl() on a descriptor this device opened. Returns true when the device
    // answered the request itself, with the call's result in *result (and
    // errno set when it is -1); false hands the request to the real ioctl.
    virtual bool ioctl(int fd, unsigned long request, void* argument, int* result) {
        (void)fd, (void)request, (void)argument, (void)result;
        return false;
    }
    // read() and write() on its descriptors, the same way: true when handled.
    virtual bool read(int fd, void* buffer, size_t size, ssize_t* result) {
        (void)fd, (void)buffer, (void)size, (void)result;
        return false;
    }
    virtual bool write(int fd, const void* buffer, size_t size, ssize_t* result) {
        (void)fd, (void)buffer, (void)size, (void)result;
        return false;
    }
    // The caller is closing `fd`; the real descriptor is closed right after.
    virtual void closed(int fd) { (void)fd; }
};

// While it lives, opening `path` (the exact text) opens `device`.
class DeviceRegistration {
public:
    DeviceRegistration(std::string path, std::shared_ptr<FakeDevice> device);
    ~DeviceRegistration();
    DeviceRegistration(const DeviceRegistration&) = delete;
    DeviceRegistration& operator=(const DeviceRegistration&) = delete;

private:
    std::string path_;
};

// The real libc calls, for devices that need them (they never come back to
// the interposer).
int RealIoctl(int fd, unsigned long request, void* argument);
ssize_t RealRead(int fd, void* buffer, size_t size);
ssize_t RealWrite(int fd, const void* buffer, size_t size);

// A thread-safe record of what a device was asked, each entry with its time,
// so tests can check order and timing (an INIT pulse of 1 ms, a DTR pulse of
// 10 ms, a detach before set-configuration...).
class CallLog {
public:
    using Clock = std::chrono::steady_clock;
    struct Entry {
        Clock::time_point at;
        std::string what;                 // e.g. "TIOCMSET", "PPCLAIM", "control"
        uint64_t value = 0;               // the request's argument, when it is a number
        std::vector<unsigned char> data;  // bytes that went with it
    };

    void add(std::string what, uint64_t value = 0, std::vector<unsigned char> data = {});
    // false: add() keeps nothing from now on, for runs of many thousand jobs
    // that never read the log (it would grow with every request).
    void setRecording(bool on);
    std::vector<Entry> entries() const;
    // Only the entries whose `what` is `name`.
    std::vector<Entry> entries(const std::string& name) const;
    std::vector<std::string> names() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    bool recording_ = true;
};

}  // namespace testsupport
