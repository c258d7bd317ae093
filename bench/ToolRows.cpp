// The quenvar command against a program that sends the same file with plain
// sockets: both are processes started afresh, each against a virtual printer
// of its own, timed until the process has ended and its printer has every
// byte. The command streams, so its memory must not grow with the job.
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "PlainSocket.h"
#include "Rows.h"
#include "emulator/NetworkPrinter.h"

extern char** environ;

namespace bench {

namespace {

constexpr unsigned int kTimeoutMs = 2000;
constexpr auto kPrinterBound = std::chrono::seconds(120);

// A scratch file of `size` print data bytes (letters: no command bytes).
class JobFile {
public:
    explicit JobFile(std::size_t size) {
        char pattern[] = "/tmp/quenvar-bench-job-XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) return;
        path_ = pattern;
        std::vector<char> block(1 << 20);
        std::mt19937 random(11);
        for (char& c : block)
            c = static_cast<char>('A' + random() % 26);
        for (std::size_t left = size; left > 0;) {
            const std::size_t n = left < block.size() ? left : block.size();
            if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) break;
            left -= n;
        }
        close(fd);
    }
    ~JobFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The peak resident memory of process `pid` so far, in KiB (VmHWM: the
// high-water mark of its own address space, which a spawned child does not
// inherit from its parent the way its rusage does), or -1.
long peak_resident_kib(pid_t pid) {
    std::FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    std::fclose(status);
    return kib;
}

// Runs `arguments` as a process with its output discarded; the seconds until
// it ended (0 when it failed), and in `*peakKib` its peak resident memory as
// last seen while it ran.
double run_process(const std::vector<std::string>& arguments, long* peakKib) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const double start = WallSeconds();
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return 0;
    int status = 0;
    for (;;) {
        const pid_t ended = waitpid(child, &status, WNOHANG);
        if (ended == child) break;
        if (ended < 0) return 0;
        const long peak = peak_resident_kib(child);
        if (peak > *peakKib) *peakKib = peak;
        usleep(1000);
    }
    const double taken = WallSeconds() - start;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? taken : 0;
}

std::string own_executable() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

// `quenvar print --no-check` of a `size`-byte file against the plain sender,
// in pairs; reports both processes' peak resident memory too.
void print_file(benchmark::State& state, std::size_t size) {
    const PinnedToOneCpu pinned;  // printers and both processes inherit it, as in the bulk rows
    JobFile job(size);
    emulator::NetworkPrinter forPlain, forTool;
    // The printers count what they receive but keep only a tail of it: a
    // 256 MiB job must not weigh on the machine that measures it.
    for (emulator::NetworkPrinter* printer : {&forPlain, &forTool})
        printer->model().setPrintedSink([](const char*, std::size_t) {}, 64 * 1024);
    forPlain.start();
    forTool.start();
    long plainPeak = 0, toolPeak = 0;
    const auto timed = [&](emulator::NetworkPrinter& printer, const std::vector<std::string>& command, long* peak) {
        const std::size_t expected = printer.model().receivedSize() + size;
        const double start = WallSeconds();
        if (run_process(command, peak) <= 0 || !printer.model().waitReceived(expected, kPrinterBound)) return 0.0;
        return WallSeconds() - start;
    };
    if (job.path().empty()) return state.SkipWithError("cannot write the job file");
    RunPaired(
        state,
        [&] {
            return timed(forPlain, {own_executable(), "--plain-send", forPlain.address(), job.path()}, &plainPeak);
        },
        [&] {
            return timed(forTool,
                         {QUENVAR_TOOL_PATH, "print", forTool.portName(), job.path(), "--no-check", "--settings",
                          "9100", "--timeout", std::to_string(kTimeoutMs)},
                         &toolPeak);
        },
        static_cast<double>(size));
    state.counters["plain_peak_kib"] = static_cast<double>(plainPeak);
    state.counters["tool_peak_kib"] = static_cast<double>(toolPeak);
}

}  // namespace

int RunPlainSend(const std::string& address, const std::string& file) {
    const int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const int fd = PlainConnect(address, 9100);
    if (in < 0 || fd < 0 || SetPortOptions(fd, kTimeoutMs) == 0 || ReadOpeningStatus(fd) == 0) return 1;
    std::vector<unsigned char> slice(64 * 1024);
    for (;;) {
        const ssize_t got = read(in, slice.data(), slice.size());
        if (got < 0) return 1;
        if (got == 0) break;
        if (SendAll(fd, slice.data(), static_cast<std::size_t>(got), slice.size()) == 0) return 1;
    }
    close(in);
    // Closed as the library closes: no more sending, then until the printer closes.
    shutdown(fd, SHUT_WR);
    unsigned char scratch[256];
    while (recv(fd, scratch, sizeof scratch, 0) > 0) {}
    close(fd);
    return 0;
}

void AddToolRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    const std::size_t bulk = smoke ? 256 * 1024 : 16 * 1024 * 1024;
    const std::string bulkText = smoke ? "256 KiB" : "16 MiB";
    suite
        .add(
            "tool/print", [=](benchmark::State& s) { print_file(s, bulk); }, true)
        ->Iterations(2);
    suite.row(PairedRateRow("quenvar print --no-check " + bulkText, "plain send of the same file (a process too)",
                            "tool/print", Goal::AtLeast, 0.9, 1.0 / (1024 * 1024), "MiB/s"));

    const std::size_t large = smoke ? 1024 * 1024 : 256 * 1024 * 1024;
    const std::string largeText = smoke ? "1 MiB" : "256 MiB";
    suite
        .add(
            "tool/print/large", [=](benchmark::State& s) { print_file(s, large); }, true, 3.0 / 7)
        ->Iterations(1);
    Row resident("quenvar print resident memory, " + largeText + " job", "plain send of the same file",
                 CounterOf("tool/print/large", "plain_peak_kib"), CounterOf("tool/print/large", "tool_peak_kib"),
                 Goal::AtMost, 16, 1, "KiB");
    resident.figureOf = [](double, double tool) { return tool / 1024; };
    resident.figureUnit = " MiB";
    suite.row(resident);
}

}  // namespace bench
