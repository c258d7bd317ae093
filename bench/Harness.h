// The benchmark harness: every figure is the library measured against a
// baseline that runs in the same process, on the same machine, in the same
// run. Each side is a Google Benchmark repeated several times (repetitions of
// all benchmarks interleaved in random order, so a noisy neighbour hits both
// sides alike); a row compares the medians of the two sides with its target.
//
// A row is a few lines: register the two benchmarks with Suite::add, then
// describe the comparison with Suite::row.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Config {
    bool smoke = false;    // tiny sizes, one repetition, targets not enforced
    int repetitions = 7;   // per benchmark
    double minTime = 0.2;  // seconds, for benchmarks that let the library pick the iteration count
    bool verbose = false;  // each repetition on the progress stream as it ends
};

// Which number of a benchmark's repetition one side of a row uses.
enum class Quantity {
    RealTime,  // wall seconds per iteration (the manual time, for UseManualTime benchmarks)
    CpuTime,   // CPU seconds of the benchmark thread per iteration
    Counter,   // a user counter, as the benchmark reported it
};

struct Probe {
    std::string benchmark;  // name given to Suite::add
    Quantity quantity = Quantity::RealTime;
    std::string counter;  // for Quantity::Counter
};

Probe RealTime(const std::string& benchmark);
Probe CpuTime(const std::string& benchmark);
Probe CounterOf(const std::string& benchmark, const std::string& counter);
// The bytes_per_second counter that State::SetBytesProcessed produces.
Probe Throughput(const std::string& benchmark);

enum class Goal { AtMost, AtLeast };

struct Row {
    Row(std::string figure, std::string baseline, Probe baselineProbe, Probe libraryProbe, Goal goal, double target,
        double scale, std::string unit)
        : figure(std::move(figure)),
          baseline(std::move(baseline)),
          baselineProbe(std::move(baselineProbe)),
          libraryProbe(std::move(libraryProbe)),
          goal(goal),
          target(target),
          scale(scale),
          unit(std::move(unit)) {}

    std::string figure;    // what is measured
    std::string baseline;  // what it is measured against
    Probe baselineProbe;
    Probe libraryProbe;
    Goal goal = Goal::AtMost;
    double target = 1.0;  // bound on the row's figure
    // How the two medians are shown: value x scale, followed by unit.
    double scale = 1.0;
    std::string unit;
    // The row's figure from the two medians; library / baseline when empty.
    std::function<double(double baseline, double library)> figureOf;
    // For sides measured in pairs (RunPaired): the figure is the median of
    // this probe's values, the ratios of the pairs, instead.
    std::optional<Probe> figureProbe;
    // A row kept for comparison with a baseline that does less than the
    // protocol requires: shown with its verdict, but a miss does not fail the
    // run. `note` (printed under the table) says why.
    bool judged = true;
    std::string note;
    // How the figure and the target are shown: value x figureScale, then figureUnit.
    double figureScale = 1.0;
    std::string figureUnit = "x";
};

// Median and spread of one side's repetitions.
struct Summary {
    double median = 0;
    double spread = 0;  // half the interquartile range, relative to the median
    std::size_t count = 0;
};

// values: in, one value per repetition (any order). An empty list gives a
// zero summary with count 0.
Summary Summarise(std::vector<double> values);

struct Verdict {
    bool measured = false;  // false: a side errored or produced nothing
    double figure = 0;
    bool pass = false;
    std::string error;
};

// The figure of `row` from the two sides' medians (or, for a row with a
// figure probe, from `figure`), and whether it meets the target.
Verdict Judge(const Row& row, const Summary& baseline, const Summary& library, const Summary& figure = Summary{});

// One repetition of a row whose two sides run in pairs: every iteration runs
// `baseline` and `library` once each, in alternating order, so that a load
// that comes and goes on a shared machine meets both alike. Each returns the
// seconds its piece of work took (0 or less: it failed, and the benchmark
// stops with an error). Reports the counters baseline_s and library_s (mean
// seconds), time_ratio (median over the pairs of library / baseline) and, for
// `work` above 0 (bytes, say), baseline_rate, library_rate (work per second)
// and rate_ratio (median of baseline / library seconds).
void RunPaired(benchmark::State& state, const std::function<double()>& baseline, const std::function<double()>& library,
               double work = 0);

// Rows over a RunPaired benchmark: times (library / baseline) and rates
// (library / baseline throughput).
Row PairedTimeRow(const std::string& figure, const std::string& baseline, const std::string& benchmark, Goal goal,
                  double target, double scale, const std::string& unit);
Row PairedRateRow(const std::string& figure, const std::string& baseline, const std::string& benchmark, Goal goal,
                  double target, double scale, const std::string& unit);

// One benchmark repetition as the harness keeps it.
struct Sample {
    double realSeconds = 0;  // per iteration
    double cpuSeconds = 0;   // per iteration
    std::map<std::string, double> counters;
    std::string error;
};

// The values a probe picks from a benchmark's samples.
std::vector<double> Pick(const Probe& probe, const std::vector<Sample>& samples);

class Suite {
public:
    explicit Suite(Config config);

    const Config& config() const { return config_; }

    // Registers `fn` as a Google Benchmark named `name`, timed on the wall
    // clock, or, with `manualTime`, by the times the benchmark reports with
    // State::SetIterationTime. It is repeated config().repetitions x
    // `repetitionFactor` times (at least once; once in smoke runs): noisy
    // short benchmarks take more repetitions, long waits fewer. Further
    // settings (Iterations) go on the returned object.
    benchmark::internal::Benchmark* add(const std::string& name, std::function<void(benchmark::State&)> fn,
                                        bool manualTime = false, double repetitionFactor = 1.0);

    // How often a benchmark added with `repetitionFactor` is repeated.
    int repetitionsFor(double repetitionFactor) const;
    void row(Row row);

    // Runs every registered benchmark, prints the table to `out` (progress to
    // `progress`). Returns the process exit status: 0 when every row meets
    // its target (in smoke mode: when every row was measured), 1 otherwise.
    int run(std::ostream& out, std::ostream& progress);

    // Prints the table for already collected samples; returns the exit status
    // as run() does.
    int report(const std::map<std::string, std::vector<Sample>>& samples, std::ostream& out) const;

private:
    Config config_;
    std::vector<Row> rows_;
};

}  // namespace bench
