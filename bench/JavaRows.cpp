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
#include <map>
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

// The one JVM of the run for each printer route (`environment`: NAME=VALUE
// entries it gets on top of this process's), running JavaJobDriver, started
// by the first repetition that needs it. smoke: a JVM that starts cheaply (no
// optimising compiler), for a run whose numbers are not judged.
ForeignDriver& java_driver(bool smoke, const std::vector<std::string>& environment, bool* fresh) {
    static std::map<std::vector<std::string>, std::unique_ptr<ForeignDriver>> drivers;
    std::unique_ptr<ForeignDriver>& driver = drivers[environment];
    *fresh = !driver;
    if (!driver) {
        std::vector<std::string> words;
        if (!environment.empty()) words.push_back("/usr/bin/env");
        words.insert(words.end(), environment.begin(), environment.end());
        words.insert(words.end(), {QUENVAR_BENCH_JAVA, "-XX:+UseSerialGC"});
        if (smoke) words.insert(words.end(), {"-XX:TieredStopAtLevel=1", "-XX:CICompilerCount=1"});
        words.insert(words.end(), {"-cp", QUENVAR_BENCH_JAVA_CLASSPATH, "JavaJobDriver"});
        driver = std::make_unique<ForeignDriver>(words);
    }
    return *driver;
}

// Where each side prints: the C side in this process, the Java side in its
// JVM, on printers of their own with the same options.
struct JobSides {
    std::string cPortName, javaPortName, settings;
    unsigned int timeoutMs = kTimeoutMs;
    std::vector<std::string> javaEnvironment;  // for the JVM
    std::shared_ptr<void> printers;            // keeps them running
};

JobSides network_sides() {
    auto forC = std::make_shared<emulator::NetworkPrinter>(), forJava = std::make_shared<emulator::NetworkPrinter>();
    forC->start();
    forJava->start();
    JobSides sides;
    sides.cPortName = forC->portName();
    sides.javaPortName = forJava->portName();
    sides.settings = "9100";
    sides.printers = std::make_shared<std::pair<decltype(forC), decltype(forJava)>>(forC, forJava);
    return sides;
}

// The serial printer under a name in /dev, as `quenvar emulate --serial` puts
// it: the name must begin with /dev/tty, and a pseudo-terminal has no modem
// lines, so the line runs with flow n.
class LinkedSerialPrinter {
public:
    explicit LinkedSerialPrinter(const std::string& side)
        : name_("/dev/ttyQVbench" + std::to_string(getpid()) + "-" + side) {
        printer_.start();
        unlink(name_.c_str());
        if (symlink(printer_.devicePath().c_str(), name_.c_str()) != 0)
            throw std::runtime_error("cannot link " + name_ + " (names in /dev need root)");
    }
    ~LinkedSerialPrinter() { unlink(name_.c_str()); }
    const std::string& name() const { return name_; }

private:
    emulator::SerialPrinter printer_;
    std::string name_;
};

JobSides serial_sides() {
    auto forC = std::make_shared<LinkedSerialPrinter>("c"), forJava = std::make_shared<LinkedSerialPrinter>("java");
    JobSides sides;
    sides.cPortName = forC->name();
    sides.javaPortName = forJava->name();
    sides.settings = "115200,n,8,1,n";
    sides.printers = std::make_shared<std::pair<decltype(forC), decltype(forJava)>>(forC, forJava);
    return sides;
}

#ifdef QUENVAR_BENCH_USB
// The USB vendor route: the C side's printer plugged in here, the Java side's
// preloaded into its JVM.
JobSides usb_vendor_sides() {
    JobSides sides;
    sides.cPortName = "usbven:;sn:JOBC0001";
    sides.javaPortName = "usbven:;sn:JOBJ0001";
    sides.settings = "-";   // not interpreted on USB; one word for the driver's command line
    sides.timeoutMs = 100;  // each status exchange waits out two of these
    sides.javaEnvironment = {std::string("LD_PRELOAD=") + QUENVAR_PRELOAD_PATH,
                             "QUENVAR_TEST_PRINTER=usbven:serial=JOBJ0001"};
    sides.printers = PlugUsbVendorPrinter("JOBC0001");
    return sides;
}
#endif

void java_job(benchmark::State& state, bool smoke, std::size_t bytes, JobSides (*makeSides)()) {
    const std::string command = "job " + std::to_string(bytes);
    void* port = nullptr;
    ForeignDriver* driver = nullptr;
    try {
        const JobSides sides = makeSides();
        bool fresh = false;
        driver = &java_driver(smoke, sides.javaEnvironment, &fresh);
        driver->ask("open " + sides.javaPortName + " " + sides.settings + " " + std::to_string(sides.timeoutMs));
        // A new JVM first runs a few jobs untimed: its compilers see the job path.
        for (int i = 0; fresh && !smoke && i < 5; ++i)
            driver->ask(command);
        port = OpenPort(sides.cPortName.c_str(), sides.settings.c_str(), sides.timeoutMs);
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
        if (!failure.empty()) std::cerr << "\njava/job: " << failure << "\n";
        ClosePort(port);  // before its printer goes
        port = nullptr;
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
            "java/job", [=](benchmark::State& s) { java_job(s, smoke, bytes, network_sides); }, true, 3.0 / 7)
        ->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow(
        std::string("checked job via Java Printer.printJob: begin, ") + (smoke ? "4 KiB" : "1 MiB") + ", end",
        "the same job from C", "java/job", Goal::AtMost, 1.1, 1e3, "ms"));
#ifdef QUENVAR_BENCH_USB
    // The same on the USB vendor route, the Java side's printer preloaded
    // into its JVM; each pair waits out eight 100 ms time limits.
    suite
        .add(
            "java/usbjob", [=](benchmark::State& s) { java_job(s, smoke, bytes, usb_vendor_sides); }, true, 3.0 / 7)
        ->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow(
        std::string("USB vendor route: checked job via Java Printer.printJob, ") + (smoke ? "4 KiB" : "1 MiB"),
        "the same job from C", "java/usbjob", Goal::AtMost, 1.1, 1e3, "ms"));
#endif
    // The JVM reaches a serial printer only by a name in /dev, which needs
    // root: without it the row is left out.
    if (geteuid() != 0) return;
    const std::size_t serialBytes = smoke ? 1024 : 64 * 1024;
    suite
        .add(
            "java/serialjob", [=](benchmark::State& s) { java_job(s, smoke, serialBytes, serial_sides); }, true,
            3.0 / 7)
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
