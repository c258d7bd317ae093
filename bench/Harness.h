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
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace bench {

struct Config {
    bool smoke = false;    // tiny sizes, one repetition, targets not enforced
    int repetitions = 7;   // per benchmark
    double minTime = 0.2;  // seconds, for benchmarks that let the library pick the iteration count
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
    std::string counter;    // for Quantity::Counter
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

    std::string figure;     // what is measured
    std::string baseline;   // what it is measured against
    Probe baselineProbe;
    Probe libraryProbe;
    Goal goal = Goal::AtMost;
    double target = 1.0;    // bound on the row's figure
    // How the two medians are shown: value x scale, followed by unit.
    double scale = 1.0;
    std::string unit;
    // The row's figure from the two medians; library / baseline when empty.
    std::function<double(double baseline, double library)> figureOf;
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

// The figure of `row` from the two sides' medians, and whether it meets the target.
Verdict Judge(const Row& row, const Summary& baseline, const Summary& library);

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
