// The Python package against the C interface: the same checked job (begin,
// 4 KiB, end) through quenvar.Printer.print_job and through
// BeginCheckedBlockEx, WritePort and EndCheckedBlockEx, each side on a
// virtual printer of its own with the same options, measured in pairs.
//
// The Python side runs in one interpreter started for the whole run
// (PythonJobDriver.py) that times its own jobs: neither the interpreter's
// start nor the exchange over its standard input and output is in the figure.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ForeignDriver.h"
#include "Rows.h"
#include "emulator/NetworkPrinter.h"
#include "quenvar.h"

namespace bench {

#ifdef QUENVAR_BENCH_PYTHON

namespace {

constexpr unsigned int kTimeoutMs = 2000;
constexpr std::size_t kJobBytes = 4096;

// The one interpreter of the run, started by the first repetition that needs it.
ForeignDriver& python_driver(bool* fresh) {
    static std::unique_ptr<ForeignDriver> driver;
    *fresh = !driver;
    if (!driver)
        driver = std::make_unique<ForeignDriver>(std::vector<std::string>{
            QUENVAR_BENCH_PYTHON, "-I", QUENVAR_BENCH_PYTHON_DRIVER, QUENVAR_BENCH_PYTHON_PACKAGE_PARENT});
    return *driver;
}

void python_job(benchmark::State& state) {
    const std::string command = "job " + std::to_string(kJobBytes);
    void* port = nullptr;
    ForeignDriver* driver = nullptr;
    try {
        emulator::NetworkPrinter forC, forPython;
        forC.start();
        forPython.start();
        bool fresh = false;
        driver = &python_driver(&fresh);
        driver->ask("open " + forPython.portName() + " 9100 " + std::to_string(kTimeoutMs));
        // A new interpreter runs one job untimed: its first job also looks up
        // the library's functions.
        if (fresh) driver->ask(command);
        port = OpenPort(forC.portName().c_str(), "9100", kTimeoutMs);
        if (port == nullptr) return state.SkipWithError("cannot open the port");
        const std::vector<unsigned char> job(kJobBytes, 'A');
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
        if (!failure.empty()) std::cerr << "\npython/job: " << failure << "\n";
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
    if (port != nullptr) ClosePort(port);
    try {
        if (driver != nullptr) driver->ask("close");
    } catch (const std::exception&) {
        // an interpreter that failed has said so already
    }
}

}  // namespace

void AddPythonRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    // Each pair waits out four 100 ms pauses: a few fewer repetitions.
    suite.add("python/job", python_job, true, 5.0 / 7)->Iterations(smoke ? 1 : 5);
    suite.row(PairedTimeRow("checked job via Python Printer.print_job: begin, 4 KiB, end", "the same job from C",
                            "python/job", Goal::AtMost, 1.05, 1e3, "ms"));
}

#else

// Without the Python package in the build there is nothing to compare.
void AddPythonRows(Suite&) {}

#endif

}  // namespace bench
