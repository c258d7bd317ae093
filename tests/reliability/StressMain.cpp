// reliability_stress: the stress run at any size (make stress runs it at full
// size). Prints what it saw and the jobs per second against the ideal; exits
// 1 when a promise broke or the rate is under the target.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "Transports.h"

namespace {

// Jobs per second against every printer busy only for its mandated pauses.
constexpr double kTargetShareOfIdeal = 0.9;

constexpr const char* kTunables = "GLIBC_TUNABLES";
constexpr const char* kNoThreadCache = "glibc.malloc.tcache_count=0";

}  // namespace

int main(int argc, char** argv) {
    // glibc keeps a cache of freed blocks per thread that fills slowly over a
    // long run; with a few hundred threads (the callers' and the printers')
    // it grows resident memory by megabytes without anything leaking. The
    // run judges memory with those caches off: it starts itself once more so.
    if (std::getenv(kTunables) == nullptr) {
        setenv(kTunables, kNoThreadCache, 1);
        execv("/proc/self/exe", argv);
        std::perror("execv");  // runs on, with the caches
    }
    reliability::StressOptions options;
    std::string only;
    const auto usage = [&] {
        std::fprintf(stderr,
                     "usage: %s [--printers N] [--threads N] [--jobs PER_PRINTER] [--faults PERCENT] [--seed N]"
                     " [--only TRANSPORT]\n",
                     argv[0]);
        return 2;
    };
    for (int i = 1; i < argc; i += 2) {
        const std::string flag = argv[i];
        // A flag without its value (--help among them) gets the usage, not a full run.
        if (i + 1 >= argc) return usage();
        if (flag == "--only") {
            only = argv[i + 1];
            continue;
        }
        const unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
        if (flag == "--printers")
            options.printers = static_cast<unsigned>(value);
        else if (flag == "--threads")
            options.threads = static_cast<unsigned>(value);
        else if (flag == "--jobs")
            options.jobsPerPrinter = static_cast<unsigned>(value);
        else if (flag == "--faults")
            options.faultShare = static_cast<double>(value) / 100.0;
        else if (flag == "--seed")
            options.seed = static_cast<uint32_t>(value);
        else
            return usage();
    }
    std::cout << "seed " << options.seed << "\n" << std::flush;
    // --only network, serial, ...: one transport's printers alone.
    std::vector<reliability::StressTransport> transports = reliability::AllStressTransports();
    if (!only.empty()) {
        std::vector<reliability::StressTransport> chosen;
        for (reliability::StressTransport& t : transports)
            if (t.name.find(only) != std::string::npos) {
                t.fillsTheRest = false;
                chosen.push_back(std::move(t));
            }
        // Each chosen transport gets an equal share; the last one takes what
        // the others' rigs cannot have (the first such one would take it all).
        if (!chosen.empty()) chosen.back().fillsTheRest = true;
        transports = std::move(chosen);
    }
    const reliability::StressReport report = RunStress(transports, options);
    std::cout << report.summary();
    const double share = report.jobsPerSecond() / report.idealJobsPerSecond();
    if (!report.problems.empty()) return 1;
    if (share < kTargetShareOfIdeal) {
        std::cout << "under the target of " << kTargetShareOfIdeal << " x ideal\n";
        return 1;
    }
    return 0;
}
