// The parallel port measured against the same writes made by hand on the same
// emulated port (the ppdev device of the test rigs), each side with a virtual
// printer of its own.
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "PlainSocket.h"
#include "Rows.h"
#include "quenvar.h"
#include "tests/support/EmulatedParallelPort.h"

namespace bench {

namespace {

constexpr unsigned int kTimeoutMs = 2000;
constexpr auto kPrinterBound = std::chrono::seconds(60);

using testsupport::EmulatedParallelPort;

// Sends the whole job through `write_one`, which returns the count one call
// took (< 0 on failure), as a caller loops on a partial write. 1 or 0.
template <class WriteOne>
int write_job(const std::vector<unsigned char>& job, WriteOne write_one) {
    for (std::size_t sent = 0; sent < job.size();) {
        const long took = write_one(job.data() + sent, job.size() - sent);
        if (took < 0) return 0;
        sent += static_cast<std::size_t>(took);
    }
    return 1;
}

// A job of `total` bytes on each side, each timed until its printer has
// received all of it. Sender and printers share one CPU, as in the network's
// bulk rows.
void parallel_job(benchmark::State& state, std::size_t total) {
    const PinnedToOneCpu pinned;  // before the printers start: their threads inherit it
    EmulatedParallelPort forBaseline, forLibrary;
    // The printers keep no history of the data: a record that grows with
    // every job would make later jobs cost more than earlier ones.
    for (EmulatedParallelPort* printer : {&forBaseline, &forLibrary})
        printer->model().setPrintedSink([](const char*, std::size_t) {}, 0);
    // By hand: the device opened and claimed as the port opens it.
    const int fd = open(forBaseline.portName().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    const bool claimed = fd >= 0 && ioctl(fd, PPCLAIM) == 0;
    void* port = OpenPort(forLibrary.portName().c_str(), "", kTimeoutMs);
    const std::vector<unsigned char> job(total, 'A');
    std::size_t baselineExpected = 0, libraryExpected = 0;
    const auto timed = [&](EmulatedParallelPort& printer, std::size_t& expected, auto write_one) {
        const double start = WallSeconds();
        if (write_job(job, write_one) == 0) return 0.0;
        expected += total;
        if (!printer.model().waitReceived(expected, kPrinterBound)) return 0.0;
        return WallSeconds() - start;
    };
    if (!claimed || port == nullptr) {
        state.SkipWithError("cannot open the emulated parallel port");
    } else {
        RunPaired(
            state,
            [&] {
                return timed(forBaseline, baselineExpected, [fd](const unsigned char* d, std::size_t n) {
                    return static_cast<long>(write(fd, d, n));
                });
            },
            [&] {
                return timed(forLibrary, libraryExpected, [port](const unsigned char* d, std::size_t n) {
                    unsigned int written = 0;
                    return WritePort(port, d, static_cast<unsigned int>(n), &written) == 1 ? static_cast<long>(written)
                                                                                           : -1L;
                });
            },
            static_cast<double>(total));
    }
    if (port != nullptr) ClosePort(port);
    if (fd >= 0) close(fd);
}

}  // namespace

void AddParallelRows(Suite& suite) {
    const double mib = 1.0 / (1024 * 1024);
    suite
        .add(
            "par/job64k", [](benchmark::State& s) { parallel_job(s, 64 * 1024); }, true)
        ->Iterations(50);
    suite.row(PairedRateRow("WritePort 64 KiB job, emulated parallel port", "the same writes by hand", "par/job64k",
                            Goal::AtLeast, 0.97, mib, "MiB/s"));
}

}  // namespace bench
