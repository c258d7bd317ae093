// The serial port measured against the same system calls made by hand, each
// side on a virtual serial printer of its own behind a pseudo-terminal that
// the test rig puts under a serial name (tests/support/SerialLine.h): both
// sides pass through the same interposed calls. With the line speed emulated,
// every write occupies the line for its bytes' bit time and tcdrain waits for
// it, as on a UART; without, the pty's own speed (its drain returns at once).
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "PlainSocket.h"
#include "Rows.h"

#ifdef QUENVAR_BENCH_SERIAL

#include "emulator/SerialPrinter.h"
#include "quenvar.h"
#include "tests/support/SerialLine.h"

namespace bench {

namespace {

constexpr unsigned int kTimeoutMs = 2000;
constexpr const char* kSettings = "115200,n,8,1,n";
constexpr unsigned int kChunk = 40;       // what the port sends per call
constexpr unsigned int kReadStepMs = 20;  // how often the port looks for a reply
constexpr auto kPrinterBound = std::chrono::seconds(60);

// A started virtual serial printer under a serial name; stopped when the
// benchmark returns.
class Printer {
public:
    explicit Printer(bool lineSpeed) {
        printer_.start();
        line_ = std::make_unique<testsupport::SerialLineRegistration>(printer_.devicePath(),
                                                                      [this] { return printer_.dataSetReady(); });
        line_->line().setLineSpeed(lineSpeed);
    }
    ~Printer() {
        line_.reset();
        printer_.stop();
    }
    Printer(const Printer&) = delete;
    Printer& operator=(const Printer&) = delete;
    const std::string& name() const { return line_->name(); }
    emulator::PrinterModel& model() { return printer_.model(); }

private:
    emulator::SerialPrinter printer_;
    std::unique_ptr<testsupport::SerialLineRegistration> line_;
};

template <class Body>
void guarded(benchmark::State& state, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// The device opened and set up by hand as the port sets it up for
// 115200,n,8,1,n: raw, 8 bits, no flow control. -1 on failure.
int plain_open(const std::string& name) {
    const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return -1;
    termios attributes{};
    tcflush(fd, TCIFLUSH);
    if (tcgetattr(fd, &attributes) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&attributes);
    attributes.c_cflag |= CREAD | CLOCAL;
    attributes.c_cflag &= ~(CRTSCTS | CSTOPB);
    attributes.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (cfsetispeed(&attributes, B115200) != 0 || cfsetospeed(&attributes, B115200) != 0 ||
        tcsetattr(fd, TCSANOW, &attributes) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// One write of at most 40 bytes and its drain, waiting for room first when
// the queue is full as the port does. The count written, or -1.
long plain_write_drained(int fd, const unsigned char* data, std::size_t size) {
    if (size > kChunk) size = kChunk;
    ssize_t sent = write(fd, data, size);
    if (sent < 0 && errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(kTimeoutMs)) == 1) sent = write(fd, data, size);
    }
    if (sent < 0 || tcdrain(fd) != 0) return -1;
    return static_cast<long>(sent);
}

long write_port_once(void* port, const unsigned char* data, std::size_t size) {
    unsigned int written = 0;
    if (WritePort(port, data, static_cast<unsigned int>(size), &written) != 1) return -1;
    return static_cast<long>(written);
}

// Sends `total` bytes through `send_one`, looping on what each call took.
template <class SendOne>
bool send_all(std::size_t total, const unsigned char* data, SendOne send_one) {
    for (std::size_t sent = 0; sent < total;) {
        const long took = send_one(data + sent, total - sent);
        if (took <= 0) return false;
        sent += static_cast<std::size_t>(took);
    }
    return true;
}

// ---- bulk write ------------------------------------------------------------

// `total` bytes on each side, timed until its printer has them all.
void bulk_write(benchmark::State& state, std::size_t total, bool lineSpeed) {
    guarded(state, [&] {
        Printer forPlain(lineSpeed), forLibrary(lineSpeed);
        const int fd = plain_open(forPlain.name());
        void* port = OpenPort(forLibrary.name().c_str(), kSettings, kTimeoutMs);
        std::vector<unsigned char> data(total);
        for (std::size_t i = 0; i < total; ++i)
            data[i] = static_cast<unsigned char>('A' + i % 26);
        std::size_t plainExpected = 0, libraryExpected = 0;
        const auto timed = [&](Printer& printer, std::size_t& expected, auto send_one) {
            const double start = WallSeconds();
            if (!send_all(total, data.data(), send_one)) return 0.0;
            expected += total;
            if (!printer.model().waitReceived(expected, kPrinterBound)) return 0.0;
            return WallSeconds() - start;
        };
        if (fd < 0 || port == nullptr) {
            state.SkipWithError("cannot open the serial line");
        } else {
            RunPaired(
                state,
                [&] {
                    return timed(forPlain, plainExpected,
                                 [fd](const unsigned char* d, std::size_t n) { return plain_write_drained(fd, d, n); });
                },
                [&] {
                    return timed(forLibrary, libraryExpected,
                                 [port](const unsigned char* d, std::size_t n) { return write_port_once(port, d, n); });
                },
                static_cast<double>(total));
        }
        if (port != nullptr) ClosePort(port);
        if (fd >= 0) close(fd);
    });
}

// ---- status ----------------------------------------------------------------

// Waits for a reply as the port's reads do: a look every 20 ms, until bytes
// came and a step brought no more, or the time limit's steps ran out.
bool plain_read_reply(int fd, unsigned char* reply) {
    unsigned int available = 0;
    for (unsigned int remaining = kTimeoutMs; remaining != 0;
         remaining = remaining > kReadStepMs ? remaining - kReadStepMs : 0) {
        const unsigned int previous = available;
        int waiting = 0;
        if (ioctl(fd, FIONREAD, &waiting) != 0) return false;
        available = static_cast<unsigned int>(waiting);
        if (available >= 63 || (available != 0 && available == previous)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kReadStepMs));
    }
    unsigned char bytes[63];
    if (read(fd, bytes, sizeof bytes) < 1) return false;
    *reply = bytes[0];
    return true;
}

// The exchanges an online printer's status takes: the status preamble, then
// DLE EOT 3 and DLE EOT 1, each reply waited for as the port waits.
double plain_status(int fd) {
    static const unsigned char preamble[6] = {0x1B, 0x1D, 0x03, 0x04, 0x00, 0x00};
    const double start = WallSeconds();
    if (plain_write_drained(fd, preamble, sizeof preamble) != sizeof preamble) return 0.0;
    for (const unsigned char n : {3, 1}) {
        const unsigned char request[3] = {0x10, 0x04, n};
        unsigned char reply = 0;
        if (write(fd, request, sizeof request) != sizeof request || !plain_read_reply(fd, &reply) ||
            (reply & 0xF3) != 0x12)
            return 0.0;
    }
    return WallSeconds() - start;
}

void status(benchmark::State& state) {
    guarded(state, [&] {
        Printer forPlain(false), forLibrary(false);
        const int fd = plain_open(forPlain.name());
        void* port = OpenPort(forLibrary.name().c_str(), kSettings, kTimeoutMs);
        if (fd < 0 || port == nullptr) {
            state.SkipWithError("cannot open the serial line");
        } else {
            RunPaired(
                state, [&] { return plain_status(fd); },
                [&] {
                    VelmarPrinterStatus_2 status;
                    const double start = WallSeconds();
                    const bool ok = GetParsedStatusEx(port, &status, 2) == 1 && status.offline == 0;
                    return ok ? WallSeconds() - start : 0.0;
                });
        }
        if (port != nullptr) ClosePort(port);
        if (fd >= 0) close(fd);
    });
}

}  // namespace

void AddSerialRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    const std::size_t job = smoke ? 4 * 1024 : 64 * 1024;
    const std::string jobText = smoke ? "4 KiB" : "64 KiB";
    const double kib = 1.0 / 1024;

    // At 115200 baud a job takes the line's time, 5.7 s for 64 KiB: few repetitions.
    suite
        .add(
            "serial/bulk115200", [=](benchmark::State& s) { bulk_write(s, job, true); }, true, 3.0 / 7)
        ->Iterations(1);
    suite.row(PairedRateRow("WritePort " + jobText + " at 115200 baud", "40 B write + tcdrain loop by hand",
                            "serial/bulk115200", Goal::AtLeast, 0.97, kib, "KiB/s"));
    suite
        .add(
            "serial/bulkpty", [=](benchmark::State& s) { bulk_write(s, job, false); }, true)
        ->Iterations(smoke ? 1 : 10);
    suite.row(PairedRateRow("WritePort " + jobText + " at the pty's own speed", "40 B write + tcdrain loop by hand",
                            "serial/bulkpty", Goal::AtLeast, 0.97, kib, "KiB/s"));

    suite.add("serial/status", status, true)->Iterations(smoke ? 1 : 10);
    suite.row(PairedTimeRow("GetParsedStatusEx serial, online printer",
                            "preamble, DLE EOT 3 and 1 by hand, replies polled every 20 ms", "serial/status",
                            Goal::AtMost, 1.1, 1e3, "ms"));
}

}  // namespace bench

#else

namespace bench {

// Without the test rig in the build there is no serial line to measure on.
void AddSerialRows(Suite&) {}

}  // namespace bench

#endif
