// The network port measured against what a program with plain sockets would
// do on the same wire, each side against a virtual printer of its own on its
// own loopback address, answering at once.
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include "PlainSocket.h"
#include "Rows.h"
#include "emulator/NetworkPrinter.h"
#include "quenvar.h"

namespace bench {

namespace {

using Options = emulator::NetworkPrinter::Options;

constexpr unsigned int kTimeoutMs = 2000;
constexpr unsigned short kDataPort = 9100;
constexpr unsigned short kStatusPort = 9101;
constexpr auto kPrinterBound = std::chrono::seconds(60);

// A printer with automatic status on the data connection (discovery answers
// with a model that sends it).
Options automatic_status() { return Options{}; }

// A printer that answers status only on port 9101.
Options status_on_request() {
    Options options;
    options.modelName = "QRX450NET";
    options.automaticStatus = false;
    return options;
}

// A started virtual printer; the benchmark stops it when it returns.
class Printer {
public:
    explicit Printer(Options options) : printer_(std::move(options)) { printer_.start(); }
    const std::string& address() {
        if (address_.empty()) address_ = printer_.address();
        return address_;
    }
    std::string name() { return "TCP:" + address(); }
    emulator::PrinterModel& model() { return printer_.model(); }

private:
    emulator::NetworkPrinter printer_;
    std::string address_;
};

// Runs `body`; an exception (no loopback address free, say) becomes the
// benchmark's error instead of ending the process.
template <class Body>
void guarded(benchmark::State& state, Body body) {
    try {
        body();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

// A plain data connection in the state the port's is after opening: options
// set, the printer's opening status read. -1 on failure.
int plain_data_connection(Printer& printer) {
    const int fd = PlainConnect(printer.address(), kDataPort);
    if (fd < 0) return -1;
    if (SetPortOptions(fd, kTimeoutMs) == 0 || ReadOpeningStatus(fd) == 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends `total` bytes in calls of at most `chunk` through `send_one`, which
// returns the count one call took (< 0 on failure), as a caller loops on a
// partial send. 1 or 0.
template <class SendOne>
int send_in_calls(std::size_t total, std::size_t chunk, const unsigned char* data, SendOne send_one) {
    for (std::size_t sent = 0; sent < total;) {
        const std::size_t want = total - sent < chunk ? total - sent : chunk;
        const long took = send_one(data, want);
        if (took <= 0) return 0;
        sent += static_cast<std::size_t>(took);
    }
    return 1;
}

long write_port_once(void* port, const unsigned char* data, std::size_t size) {
    unsigned int written = 0;
    if (WritePort(port, data, static_cast<unsigned int>(size), &written) != 1) return -1;
    return static_cast<long>(written);
}

long send_once(int fd, const unsigned char* data, std::size_t size) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    return static_cast<long>(sent);
}

// ---- bulk write ------------------------------------------------------------

// `total` bytes in calls of `chunk` on each side, each side timed until its
// printer has received all of them, with sender and printers on one CPU
// (PinnedToOneCpu says why).
//
// With `againstFloor` (the smallest calls), the row is judged against the
// floor any port handle implies: a plain send reached through an exported
// call and a virtual call (LayeredSend), without any library code. The plain
// send loop is measured in the same iterations as the reference.
void bulk_write(benchmark::State& state, std::size_t chunk, std::size_t total, bool againstFloor) {
    const PinnedToOneCpu pinned;  // before the printers start: their threads inherit it
    guarded(state, [&] {
        Printer forPlain(automatic_status()), forLibrary(automatic_status()), forFloor(automatic_status());
        const int plainFd = plain_data_connection(forPlain);
        const int floorFd = againstFloor ? plain_data_connection(forFloor) : -1;
        void* port = OpenPort(forLibrary.name().c_str(), "9100", kTimeoutMs);
        const std::vector<unsigned char> data(chunk, 'A');
        std::size_t plainExpected = forPlain.model().receivedSize();
        std::size_t libraryExpected = forLibrary.model().receivedSize();
        std::size_t floorExpected = forFloor.model().receivedSize();
        const auto timed = [&](Printer& printer, std::size_t& expected, auto send_one) {
            const double start = WallSeconds();
            if (send_in_calls(total, chunk, data.data(), send_one) == 0) return 0.0;
            expected += total;
            if (!printer.model().waitReceived(expected, kPrinterBound)) return 0.0;
            return WallSeconds() - start;
        };
        const auto plain = [&] {
            return timed(forPlain, plainExpected,
                         [plainFd](const unsigned char* d, std::size_t n) { return send_once(plainFd, d, n); });
        };
        const auto library = [&] {
            return timed(forLibrary, libraryExpected,
                         [port](const unsigned char* d, std::size_t n) { return write_port_once(port, d, n); });
        };
        const auto floor = [&] {
            return timed(forFloor, floorExpected,
                         [floorFd](const unsigned char* d, std::size_t n) { return LayeredSend(floorFd, d, n); });
        };
        if (plainFd < 0 || port == nullptr || (againstFloor && floorFd < 0))
            state.SkipWithError("cannot connect");
        else if (againstFloor)
            RunPaired(state, floor, library, static_cast<double>(total), plain);
        else
            RunPaired(state, plain, library, static_cast<double>(total));
        if (port != nullptr) ClosePort(port);
        if (plainFd >= 0) close(plainFd);
        if (floorFd >= 0) close(floorFd);
    });
}

// ---- status ----------------------------------------------------------------

// GetParsedStatusEx over and over on a port opened with `settings`.
void status_library(benchmark::State& state, const Options& options, const char* settings) {
    guarded(state, [&] {
        Printer printer(options);
        void* port = OpenPort(printer.name().c_str(), settings, kTimeoutMs);
        if (port == nullptr) return state.SkipWithError("cannot open the port");
        VelmarPrinterStatus_2 status;
        for (auto _ : state) {
            if (GetParsedStatusEx(port, &status, 2) != 1) {
                state.SkipWithError("status failed");
                break;
            }
            benchmark::DoNotOptimize(status);
        }
        ClosePort(port);
    });
}

void status_automatic_library(benchmark::State& state) { status_library(state, automatic_status(), "9100"); }

void status_automatic_baseline(benchmark::State& state) {
    guarded(state, [&] {
        Printer printer(automatic_status());
        const int fd = plain_data_connection(printer);
        if (fd < 0) return state.SkipWithError("cannot connect");
        for (auto _ : state) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(fd, &readable);
            timeval zero{0, 0};
            const int ready = select(fd + 1, &readable, nullptr, nullptr, &zero);
            benchmark::DoNotOptimize(ready);
        }
        close(fd);
    });
}

void status_on_request_library(benchmark::State& state) { status_library(state, status_on_request(), "9101"); }

void status_on_request_baseline(benchmark::State& state) {
    guarded(state, [&] {
        Printer printer(status_on_request());
        const unsigned char request = 0x33;
        unsigned char reply[256];
        for (auto _ : state) {
            const int fd = PlainConnect(printer.address(), kStatusPort);
            const bool ok =
                fd >= 0 && send(fd, &request, 1, MSG_NOSIGNAL) == 1 && recv(fd, reply, sizeof reply, 0) >= 7;
            if (fd >= 0) close(fd);
            if (!ok) {
                state.SkipWithError("no status reply");
                break;
            }
        }
    });
}

// ---- checked job -----------------------------------------------------------

void checked_job_library(benchmark::State& state) {
    guarded(state, [&] {
        Printer printer(automatic_status());
        void* port = OpenPort(printer.name().c_str(), "9100", kTimeoutMs);
        if (port == nullptr) return state.SkipWithError("cannot open the port");
        const std::vector<unsigned char> job(4096, 'A');
        VelmarPrinterStatus_2 status;
        for (auto _ : state) {
            const bool begun = BeginCheckedBlockEx(port, &status, 2) == 1 && status.offline == 0;
            const bool written = begun && send_in_calls(job.size(), job.size(), job.data(),
                                                        [port](const unsigned char* d, std::size_t n) {
                                                            return write_port_once(port, d, n);
                                                        }) == 1;
            if (!written || EndCheckedBlockEx(port, &status, 2) != 1 || status.offline != 0) {
                state.SkipWithError("the checked job failed");
                break;
            }
        }
        ClosePort(port);
    });
}

// The two pauses alone: one before the job begin answer is read, one before
// the job end answer is read.
void checked_job_pauses(benchmark::State& state) {
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

// ---- opening ---------------------------------------------------------------

// Closes as ClosePort does: no more sending, then wait until the printer has
// closed its side, so that it is idle before the next opening.
void close_in_order(int fd) {
    shutdown(fd, SHUT_WR);
    unsigned char scratch[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, static_cast<int>(kTimeoutMs)) == 1 && recv(fd, scratch, sizeof scratch, 0) > 0) {}
    close(fd);
}

// OpenPort with `settings` against a plain connect, with `discovery` also one
// discovery round trip, with `openingStatus` also the read of the printer's
// opening status. Only the opening is timed; after each the connection is
// closed and the printer has taken it, so every opening meets an idle printer.
void open_port(benchmark::State& state, const char* settings, bool discovery, bool openingStatus) {
    guarded(state, [&] {
        Printer printer(automatic_status());
        unsigned int connections = printer.model().connectionCount();
        const auto taken = [&] { return printer.model().waitConnections(++connections, kPrinterBound); };
        RunPaired(
            state,
            [&] {
                const double start = WallSeconds();
                const int fd = PlainConnect(printer.address(), kDataPort);
                bool ok = fd >= 0 && (!discovery || DiscoveryRoundTrip(printer.address(), kTimeoutMs) == 1) &&
                          (!openingStatus || ReadOpeningStatus(fd) == 1);
                const double taken_s = WallSeconds() - start;
                if (fd >= 0) close_in_order(fd);
                ok = taken() && ok;
                return ok ? taken_s : 0.0;
            },
            [&] {
                const double start = WallSeconds();
                void* port = OpenPort(printer.name().c_str(), settings, kTimeoutMs);
                const double taken_s = WallSeconds() - start;
                if (port == nullptr) return 0.0;
                ClosePort(port);
                return taken() ? taken_s : 0.0;
            });
    });
}

// ---- waiting for a slow printer --------------------------------------------

// A job the printer needs `seconds` to print; times EndCheckedBlockEx waiting
// for it, on the wall clock and in CPU time of this thread.
void slow_printer_wait(benchmark::State& state, double seconds) {
    guarded(state, [&] {
        const unsigned int speed = 2048;
        Options options = automatic_status();
        options.printSpeedBps = speed;
        Printer printer(options);
        void* port = OpenPort(printer.name().c_str(), "9100", 5000);
        if (port == nullptr) return state.SkipWithError("cannot open the port");
        const std::vector<unsigned char> job(static_cast<std::size_t>(speed * seconds), 'A');
        VelmarPrinterStatus_2 status;
        double wall = 0, cpu = 0;
        for (auto _ : state) {
            const bool begun =
                BeginCheckedBlockEx(port, &status, 2) == 1 && status.offline == 0 &&
                send_in_calls(job.size(), job.size(), job.data(), [port](const unsigned char* d, std::size_t n) {
                    return write_port_once(port, d, n);
                }) == 1;
            const double wallStart = WallSeconds(), cpuStart = ThreadCpuSeconds();
            const bool ended = begun && EndCheckedBlockEx(port, &status, 2) == 1 && status.offline == 0;
            const double wallTaken = WallSeconds() - wallStart;
            cpu += ThreadCpuSeconds() - cpuStart;
            wall += wallTaken;
            state.SetIterationTime(wallTaken);
            if (!ended) {
                state.SkipWithError("the job did not end");
                break;
            }
        }
        const double iterations = state.iterations() > 0 ? static_cast<double>(state.iterations()) : 1.0;
        state.counters["wall_s"] = wall / iterations;
        state.counters["cpu_s"] = cpu / iterations;
        ClosePort(port);
    });
}

// ---- memory per port -------------------------------------------------------

std::string own_executable() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return std::string();
    return std::string(path, static_cast<std::size_t>(length));
}

// `count` printers; a child process opens one port to each and reports its
// resident memory before and after.
void resident_per_port(benchmark::State& state, int count) {
    guarded(state, [&] {
        std::vector<std::unique_ptr<Printer>> printers;
        std::string command = "'" + own_executable() + "' --resident-probe 9100";
        for (int i = 0; i < count; ++i) {
            printers.push_back(std::make_unique<Printer>(automatic_status()));
            command += " " + printers.back()->address();
        }
        double before = 0, after = 0;
        for (auto _ : state) {
            std::FILE* child = popen(command.c_str(), "r");
            std::size_t residentBefore = 0, residentAfter = 0;
            const bool read = child != nullptr && std::fscanf(child, "%zu %zu", &residentBefore, &residentAfter) == 2;
            const bool exited = child != nullptr && pclose(child) == 0;
            if (!read || !exited) {
                state.SkipWithError("the probe could not open every port");
                break;
            }
            before += static_cast<double>(residentBefore);
            after += static_cast<double>(residentAfter);
        }
        const double iterations = state.iterations() > 0 ? static_cast<double>(state.iterations()) : 1.0;
        state.counters["before"] = before / iterations;
        state.counters["after"] = after / iterations;
    });
}

}  // namespace

void AddNetworkRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    const std::size_t bulk = smoke ? 64 * 1024 : 16 * 1024 * 1024;
    const std::string bulkText = smoke ? "64 KiB" : "16 MiB";
    const double mib = 1.0 / (1024 * 1024);

    for (const std::size_t chunk : {std::size_t{64}, std::size_t{4096}, std::size_t{65536}}) {
        const std::string size = chunk >= 1024 ? std::to_string(chunk / 1024) + " KiB" : std::to_string(chunk) + " B";
        const std::string name = "tcp/bulk/" + std::to_string(chunk);
        const std::string figure = "WritePort " + bulkText + " in " + size + " calls";
        const bool againstFloor = chunk == 64;
        // Large calls run at the printer's own intake speed, which wanders
        // with its memory growing: more repetitions, as they are quick.
        suite
            .add(
                name, [=](benchmark::State& s) { bulk_write(s, chunk, bulk, againstFloor); }, true, chunk > 64 ? 3 : 1)
            ->Iterations(2);
        if (!againstFloor) {
            suite.row(
                PairedRateRow(figure, "blocking send loop, same options", name, Goal::AtLeast, 0.97, mib, "MiB/s"));
            continue;
        }
        // At 64 B each call is one system call, and the layering every port
        // handle implies (an exported call, a virtual call) is part of it.
        suite.row(PairedRateRow(figure, "send via entry + virtual call (the floor)", name, Goal::AtLeast, 0.97, mib,
                                "MiB/s"));
        suite.row(ReferenceRateRow(figure, "blocking send loop, same options", name, 0.97, mib, "MiB/s",
                                   "a plain send without the layering any port handle implies; the row above, "
                                   "against that layering alone, is the judged one"));
    }

    suite.add("tcp/status9100/baseline", status_automatic_baseline);
    suite.add("tcp/status9100/library", status_automatic_library);
    suite.row({"GetParsedStatusEx 9100, nothing waiting", "one select poll", RealTime("tcp/status9100/baseline"),
               RealTime("tcp/status9100/library"), Goal::AtMost, 2.0, 1e6, "us"});

    suite.add("tcp/status9101/baseline", status_on_request_baseline);
    suite.add("tcp/status9101/library", status_on_request_library);
    suite.row({"GetParsedStatusEx 9101", "connect, send 1 B, recv, close on 9101", RealTime("tcp/status9101/baseline"),
               RealTime("tcp/status9101/library"), Goal::AtMost, 1.2, 1e6, "us"});

    suite.add("tcp/checkedjob/baseline", checked_job_pauses)->Iterations(1);
    suite.add("tcp/checkedjob/library", checked_job_library)->Iterations(1);
    suite.row({"checked job: begin, 4 KiB, end", "the two 100 ms pauses", RealTime("tcp/checkedjob/baseline"),
               RealTime("tcp/checkedjob/library"), Goal::AtMost, 1.05, 1e3, "ms"});

    const int openings = smoke ? 4 : 200;
    suite
        .add(
            "tcp/open9100", [](benchmark::State& s) { open_port(s, "9100", false, false); }, true)
        ->Iterations(openings);
    Row openPlain = PairedTimeRow("OpenPort \"9100\"", "plain connect", "tcp/open9100", Goal::AtMost, 1.5, 1e6, "us");
    openPlain.judged = false;
    openPlain.note =
        "in mode 9100 the port is open only once the printer's opening status has come, which a plain connect "
        "never waits for; the row below, with that status read, is the floor and is judged";
    suite.row(openPlain);
    suite
        .add(
            "tcp/open9100status", [](benchmark::State& s) { open_port(s, "9100", false, true); }, true)
        ->Iterations(openings);
    suite.row(PairedTimeRow("OpenPort \"9100\"", "plain connect + opening status", "tcp/open9100status", Goal::AtMost,
                            1.5, 1e6, "us"));
    suite
        .add(
            "tcp/opendiscovery", [](benchmark::State& s) { open_port(s, "", true, false); }, true)
        ->Iterations(openings);
    suite.row(PairedTimeRow("OpenPort, discovery answered", "plain connect + UDP round trip", "tcp/opendiscovery",
                            Goal::AtMost, 1.5, 1e6, "us"));

    const double wait = smoke ? 0.125 : 2.0;
    // Each repetition waits the whole time: fewer of them.
    suite
        .add(
            "tcp/slowprinter", [=](benchmark::State& s) { slow_printer_wait(s, wait); }, true, 3.0 / 7)
        ->Iterations(1);
    Row cpu{"CPU in EndCheckedBlock, slow printer",
            "wall time of the wait",
            CounterOf("tcp/slowprinter", "wall_s"),
            CounterOf("tcp/slowprinter", "cpu_s"),
            Goal::AtMost,
            0.01,
            1e3,
            "ms"};
    cpu.figureScale = 100;
    cpu.figureUnit = "%";
    suite.row(cpu);

    const int ports = smoke ? 8 : 256;
    suite
        .add(
            "tcp/resident", [=](benchmark::State& s) { resident_per_port(s, ports); }, false, 3.0 / 7)
        ->Iterations(1);
    Row resident{std::to_string(ports) + " ports open at once",
                 "resident memory before",
                 CounterOf("tcp/resident", "before"),
                 CounterOf("tcp/resident", "after"),
                 Goal::AtMost,
                 16.0,
                 1.0 / 1024,
                 "KiB"};
    resident.figureOf = [ports](double before, double after) { return (after - before) / 1024 / ports; };
    resident.figureUnit = " KiB/port";
    suite.row(resident);
}

}  // namespace bench
