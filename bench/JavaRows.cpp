// The Java API against the C interface: the same checked job (begin, 1 MiB,
// end) through Printer.printJob and through BeginCheckedBlockEx, WritePort
// and EndCheckedBlockEx, each side on a virtual printer of its own with the
// same options, measured in pairs.
//
// The Java side runs in one JVM started for the whole run (JavaJobDriver.java)
// that times its own jobs: neither the JVM's start nor the exchange over its
// standard input and output is in the figure.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ForeignDriver.h"
#include "Rows.h"
#include "emulator/NetworkPrinter.h"
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

void java_job(benchmark::State& state, bool smoke, std::size_t bytes) {
    const std::string command = "job " + std::to_string(bytes);
    void* port = nullptr;
    ForeignDriver* driver = nullptr;
    try {
        emulator::NetworkPrinter forC, forJava;
        forC.start();
        forJava.start();
        bool fresh = false;
        driver = &java_driver(smoke, &fresh);
        driver->ask("open " + forJava.portName() + " 9100 " + std::to_string(kTimeoutMs));
        // A new JVM first runs a few jobs untimed: its compilers see the job path.
        for (int i = 0; fresh && !smoke && i < 5; ++i)
            driver->ask(command);
        port = OpenPort(forC.portName().c_str(), "9100", kTimeoutMs);
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
            "java/job", [=](benchmark::State& s) { java_job(s, smoke, bytes); }, true, 3.0 / 7)
        ->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow(
        std::string("checked job via Java Printer.printJob: begin, ") + (smoke ? "4 KiB" : "1 MiB") + ", end",
        "the same job from C", "java/job", Goal::AtMost, 1.1, 1e3, "ms"));
}

#else

// Without the Java bridge in the build there is nothing to compare.
void AddJavaRows(Suite&) {}

#endif

}  // namespace bench
