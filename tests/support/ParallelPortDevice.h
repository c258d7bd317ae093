// A parallel port device node (Linux ppdev, /dev/parport0 and so on)
// emulated underneath the unchanged library. Opening the registered name
// gives one end of a socket pair; the other end goes to the printer's
// parallel front-end, so print data flows out and the printer's replies flow
// back as through the port's reverse channel. With O_NONBLOCK a read with
// nothing waiting fails with EAGAIN, as ppdev's does. The ppdev requests are
// served here from the printer's lines, as the driver serves them:
//   PPCLAIM      once per descriptor; a second claim fails with EINVAL
//   PPRELEASE    gives the claim up
//   PPSETTIME    checked as the driver checks it: negative parts or a zero
//                limit fail with EINVAL
//   PPNEGOT      the mode is recorded and taken
//   PPRSTATUS    the printer's status lines
//   PPFCONTROL   mask and value change the control lines; each change of the
//                INIT line is recorded with its time and told to the printer
// Every request but PPCLAIM fails with EINVAL before the port is claimed, and
// requests the driver does not know (or that are not emulated) fail with
// EINVAL. A write takes at most 1024 bytes, as the driver's one transfer of a
// non-blocking descriptor does, and none when the printer stays busy (its
// input full) for a moment.
#pragma once

#include <functional>
#include <map>
#include <mutex>

#include "tests/support/FakeDevice.h"

namespace testsupport {

// The printer at the far end of the cable, as the port sees it.
struct ParallelPeripheral {
    // Takes the printer's end of the data wire (a non-blocking stream socket)
    // for a host that opened the port; the printer owns it from now on.
    std::function<void(int printerEnd)> attach;
    // The status lines the printer drives now (PARPORT_STATUS_* bits).
    std::function<unsigned char()> statusLines;
    // The host changed the INIT line: `active` while it holds it low. May be empty.
    std::function<void(bool active)> initLine;
};

class ParallelPortDevice : public FakeDevice {
public:
    explicit ParallelPortDevice(ParallelPeripheral printer);

    int open(const std::string& path, int flags) override;
    bool ioctl(int fd, unsigned long request, void* argument, int* result) override;
    bool read(int fd, void* buffer, size_t size, ssize_t* result) override;
    bool write(int fd, const void* buffer, size_t size, ssize_t* result) override;
    void closed(int fd) override;

    // The next open, or the next ioctl `request`, fails with `error`.
    void failNextOpen(int error);
    void failNextRequest(unsigned long request, int error);
    // While not 0, every read fails with `error` (a port whose reverse
    // channel broke down); 0 lets reads reach the wire again.
    void failReads(int error);

    // What the host did, in order: "open" (value: the open flags), "PPCLAIM",
    // "PPRELEASE", "PPSETTIME" (value: the limit the driver takes, in
    // microseconds: seconds x 1000000 + the microseconds as the driver's int
    // holds them), "PPNEGOT" (value: the mode),
    // "PPRSTATUS" (value: the lines read), "INIT" (value: 1 held active, 0
    // released), "close". Failed requests are recorded too, with " failed"
    // after the name.
    CallLog& log() { return log_; }
    // Descriptors opened and not yet closed.
    int openDescriptors() const;

private:
    struct Line {
        bool claimed = false;
        unsigned char control = 0x0C;  // INIT and SELECT IN released, as after claiming
    };
    // Serves `request` on a claimed or unclaimed descriptor; 0 or an error number.
    int serve(Line& line, unsigned long request, void* argument);

    ParallelPeripheral printer_;
    CallLog log_;
    mutable std::mutex mutex_;
    std::map<int, Line> lines_;
    int failOpen_ = 0;
    std::map<unsigned long, int> failRequest_;
    int failReads_ = 0;
};

}  // namespace testsupport
