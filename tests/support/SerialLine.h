// A serial line for tests, under a name the serial port takes ("/dev/ttyQV..."):
// opening the name opens the slave of a real pseudo-terminal whose master a
// virtual printer holds, so every byte crosses the real line discipline.
// What a pty lacks is emulated here, on the descriptor the name opened:
//   - modem lines: TIOCMGET / TIOCMSET / TIOCMBIS / TIOCMBIC. The host drives
//     DTR and RTS (raised when the line opens, as a serial driver does); DSR
//     is the printer's, read from `dataSetReady` at each TIOCMGET. A TIOCMSET
//     changes only the host's lines, as on a real port.
//   - on request, the line's speed: a write occupies the line for its bytes'
//     bit time at the baud rate the port set, and tcdrain (which reaches a
//     device as TCSBRK 1) waits until the line is idle, as a UART's does. A
//     pty's own drain returns at once.
// Everything else (attributes, FIONREAD, reads, flushes) goes to the real pty,
// which keeps every attribute but the character size and parity (always CS8,
// no parity on a pty): the log keeps each tcsetattr's termios as data.
// The log records open (value: flags), write (data), drain, every modem-line
// request (value: its argument) and each change of DTR or RTS (value: 0/1),
// all with their times, and close.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "tests/support/FakeDevice.h"

namespace testsupport {

class SerialLine : public FakeDevice {
public:
    // slavePath: in, the pty's slave, e.g. "/dev/pts/7".
    // dataSetReady: in, whether the printer asserts DSR right now.
    SerialLine(std::string slavePath, std::function<bool()> dataSetReady);

    // Writes take their time at the line's baud rate and tcdrain waits for it.
    void setLineSpeed(bool on);
    // `request` (e.g. TIOCMSET, or TCSBRK for tcdrain) fails with EIO from now on.
    void failRequest(unsigned long request);
    // Modem-line requests go to the pty itself, which has none (ENOTTY).
    void setWithoutModemLines(bool on);
    // DTR and RTS as the host left them (TIOCM_DTR | TIOCM_RTS bits).
    int hostLines() const;
    CallLog& log() { return log_; }

    int open(const std::string& path, int flags) override;
    bool ioctl(int fd, unsigned long request, void* argument, int* result) override;
    bool write(int fd, const void* buffer, size_t size, ssize_t* result) override;
    void closed(int fd) override;

private:
    // The bit time of `bytes` characters with the line's current settings.
    std::chrono::nanoseconds lineTime(int fd, size_t bytes) const;
    void setHostLines(int lines);

    const std::string slavePath_;
    const std::function<bool()> dataSetReady_;
    CallLog log_;
    mutable std::mutex mutex_;
    bool lineSpeed_ = false;
    bool withoutModemLines_ = false;
    std::set<unsigned long> failing_;
    int hostLines_ = 0;
    std::chrono::steady_clock::time_point lineIdleAt_{};
};

// Registers a SerialLine under a name of its own while it lives.
class SerialLineRegistration {
public:
    // slavePath, dataSetReady: as for SerialLine.
    SerialLineRegistration(std::string slavePath, std::function<bool()> dataSetReady);

    // "/dev/ttyQV<process>-<n>", unique in the process, for OpenPort.
    const std::string& name() const { return name_; }
    SerialLine& line() { return *line_; }

private:
    std::string name_;
    std::shared_ptr<SerialLine> line_;
    DeviceRegistration registration_;
};

}  // namespace testsupport
