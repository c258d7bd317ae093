// The stress run's figure: checked jobs per second with many printers driven
// from many threads and random faults, against every printer busy only for
// the pauses its protocol mandates (make stress runs the full size).
#include "Rows.h"

#ifdef QUENVAR_BENCH_STRESS

#include <random>

#include "Transports.h"

namespace bench {

void AddStressRows(Suite& suite) {
    const bool smoke = suite.config().smoke;
    // Each repetition is a stress run of its own, seconds long: fewer of them.
    suite
        .add(
            "stress/jobs",
            [smoke](benchmark::State& state) {
                for (auto _ : state) {
                    reliability::StressOptions options;
                    options.printers = smoke ? 8 : 64;
                    options.threads = smoke ? 8 : 64;
                    options.jobsPerPrinter = smoke ? 2 : 10;
                    options.markJobs = smoke ? 8 : 128;
                    options.seed = std::random_device()();
                    const reliability::StressReport report =
                        reliability::RunStress(reliability::AllStressTransports(), options);
                    if (!report.problems.empty()) {
                        state.SkipWithError(("stress run: " + report.problems.front()).c_str());
                        break;
                    }
                    state.counters["rate"] = report.jobsPerSecond();
                    state.counters["ideal_rate"] = report.idealJobsPerSecond();
                }
            },
            false, 3.0 / 7)
        ->Iterations(1);
    suite.row(Row("checked jobs/s: 64 printers shared by the transports, 64 threads, 10 % with a random fault mid-job",
                  "every printer busy only for its protocol's pauses", CounterOf("stress/jobs", "ideal_rate"),
                  CounterOf("stress/jobs", "rate"), Goal::AtLeast, 0.9, 1.0, "jobs/s"));
}

}  // namespace bench

#else

namespace bench {

void AddStressRows(Suite&) {}

}  // namespace bench

#endif
