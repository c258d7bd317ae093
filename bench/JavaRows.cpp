// The Java API against the C interface: the same checked job (begin, 1 MiB,
// end) through Printer.printJob and through BeginCheckedBlockEx, WritePort
// and EndCheckedBlockEx, each side on a virtual printer of its own with the
// same options, measured in pairs. On a serial line (64 KiB) both sides open
// a name in /dev linked to their printer's pseudo-terminal, which needs root.
//
// The Java side runs in one JVM started for the whole run (JavaJobDriver.java)
// that times its own jobs: neither the JVM's start nor the exchange over its
// standard input and output is in the figure.
#include <unistd.h>

#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ForeignDriver.h"
#include "Rows.h"
#include "emulator/NetworkPrinter.h"
#include "emulator/SerialPrinter.h"
#include "quenvar.h"

namespace bench {

#ifdef QUENVAR_BENCH_JAVA

namespace {

constexpr unsigned int kTimeoutMs = 2000;

// The one JVM of the run, running JavaJobDriver, started by the first
// repetition that needs it. smoke: a JVM that starts cheaply (no optimising
// compiler), for a run whose numbers are not judged.
ForeignDriver& java_driver(bool smoke, bool* fresh) {
    static std::unique_ptr<ForeignDriver> driver;
    *fresh = !driver;
    if (!driver) {
        std::vector<std::string> words{QUENVAR_BENCH_JAVA, "-XX:+UseSerialGC"};
        if (smoke) words.insert(words.end(), {"-XX:TieredStopAtLevel=1", "-XX:CICompilerCount=1"});
        words.insert(words.end(), {"-cp", QUENVAR_BENCH_JAVA_CLASSPATH, "JavaJobDriver"});
        driver = std::make_unique<ForeignDriver>(words);
    }
    return *driver;
}

// A virtual printer and the port name and settings that reach it.
class JobPrinter {
public:
    virtual ~JobPrinter() = default;
    virtual std::string portName() const = 0;
    virtual std::string settings() const = 0;
};

class NetworkJobPrinter : public JobPrinter {
public:
    NetworkJobPrinter() { printer_.start(); }
    std::string portName() const override { return printer_.portName(); }
    std::string settings() const override { return "9100"; }

private:
    emulator::NetworkPrinter printer_;
};

// The serial printer under a name in /dev, as `quenvar emulate --serial` puts
// it: the name must begin with /dev/tty, and a pseudo-terminal has no modem
// lines, so the line runs with flow n.
class SerialJobPrinter : public JobPrinter {
public:
    explicit SerialJobPrinter(const std::string& side)
        : name_("/dev/ttyQVbench" + std::to_string(getpid()) + "-" + side) {
        printer_.start();
        unlink(name_.c_str());
        if (symlink(printer_.devicePath().c_str(), name_.c_str()) != 0)
            throw std::runtime_error("cannot link " + name_ + " (names in /dev need root)");
    }
    ~SerialJobPrinter() override { unlink(name_.c_str()); }
    std::string portName() const override { return name_; }
    std::string settings() const override { return "115200,n,8,1,n"; }

private:
    emulator::SerialPrinter printer_;
    std::string name_;
};

std::unique_ptr<JobPrinter> job_printer(bool serial, const std::string& side) {
    if (serial) return std::make_unique<SerialJobPrinter>(side);
    return std::make_unique<NetworkJobPrinter>();
}

void java_job(benchmark::State& state, bool smoke, std::size_t bytes, bool serial) {
    const std::string command = "job " + std::to_string(bytes);
    void* port = nullptr;
    ForeignDriver* driver = nullptr;
    try {
        const std::unique_ptr<JobPrinter> forC = job_printer(serial, "c"), forJava = job_printer(serial, "java");
        bool fresh = false;
        driver = &java_driver(smoke, &fresh);
        driver->ask("open " + forJava->portName() + " " + forJava->settings() + " " + std::to_string(kTimeoutMs));
        // A new JVM first runs a few jobs untimed: its compilers see the job path.
        for (int i = 0; fresh && !smoke && i < 5; ++i)
            driver->ask(command);
        port = OpenPort(forC->portName().c_str(), forC->settings().c_str(), kTimeoutMs);
        if (port == nullptr) return state.SkipWithError("cannot open the port");
        const std::vector<unsigned char> job(bytes, 'A');
        std::string failure;
        RunPaired(
            state, [&] { return CheckedJobFromC(port, job); },
            [&] {
                try {
                    return std::stod(driver->ask(command));
                } catch (const std::exception& e) {
                    failure = e.what();
                    return 0.0;
                }
            });
        if (!failure.empty()) std::cerr << "\njava job: " << failure << "\n";
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    if (port != nullptr) ClosePort(port);
    try {
        if (driver != nullptr) driver->ask("close");
    } catch (const std::exception&) {
        // a JVM that failed has said so already
    }
}

}  // namespace

void AddJavaRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    const std::size_t bytes = smoke ? 4096 : 1024 * 1024;
    // Each pair waits out four 100 ms pauses: fewer repetitions.
    suite
        .add(
            "java/job", [=](benchmark::State& s) { java_job(s, smoke, bytes, false); }, true, 3.0 / 7)
        ->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow(
        std::string("checked job via Java Printer.printJob: begin, ") + (smoke ? "4 KiB" : "1 MiB") + ", end",
        "the same job from C", "java/job", Goal::AtMost, 1.1, 1e3, "ms"));

    // The JVM reaches the serial printer only by a name in /dev, which needs
    // root: without it the row is left out.
    if (geteuid() != 0) return;
    const std::size_t serialBytes = smoke ? 1024 : 64 * 1024;
    suite
        .add(
            "java/serialjob", [=](benchmark::State& s) { java_job(s, smoke, serialBytes, true); }, true, 3.0 / 7)
        ->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow(std::string("checked job via Java Printer.printJob on a serial line: begin, ") +
                                (smoke ? "1 KiB" : "64 KiB") + ", end",
                            "the same job from C", "java/serialjob", Goal::AtMost, 1.1, 1e3, "ms"));
}

#else

// Without the Java bridge in the build there is nothing to compare.
void AddJavaRows(Suite&) {}

#endif

}  // namespace bench
