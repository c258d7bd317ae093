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
#include <sched.h>

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
    // Only the rows whose figure contains one of these texts (any case);
    // every row when empty.
    std::vector<std::string> filter;
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
    // The figure's own spread (half the interquartile range, relative) is
    // larger than its distance to the target: this run cannot tell a pass
    // from a miss.
    bool noisy = false;
    double spread = 0;  // that spread
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
//
// With a `reference`, each iteration runs all three sides in rotating order:
// the row is judged against `baseline` (the floor the library can reach) and
// the reference (what a program without any port layer does) is shown
// beside it. Adds the counters reference_s, reference_time_ratio (median of
// library / reference seconds) and, for `work` above 0, reference_rate and
// reference_rate_ratio.
void RunPaired(benchmark::State& state, const std::function<double()>& baseline, const std::function<double()>& library,
               double work = 0, const std::function<double()>& reference = {});

// Rows over a RunPaired benchmark: times (library / baseline) and rates
// (library / baseline throughput).
Row PairedTimeRow(const std::string& figure, const std::string& baseline, const std::string& benchmark, Goal goal,
                  double target, double scale, const std::string& unit);
Row PairedRateRow(const std::string& figure, const std::string& baseline, const std::string& benchmark, Goal goal,
                  double target, double scale, const std::string& unit);
// The library against the reference side of a three-sided RunPaired, shown
// and not judged.
Row ReferenceRateRow(const std::string& figure, const std::string& reference, const std::string& benchmark,
                     double target, double scale, const std::string& unit, const std::string& note);

// Keeps the calling thread, and the threads it starts, on the CPU it runs on
// until the scope ends; the CPUs used are shown under the table. Bulk rows
// run sender and printer on one CPU: on two, every small send may have to wake
// the printer's thread on the other one, and whether it must depends on who
// happens to be ahead, which drowns any difference between the two sides.
class PinnedToOneCpu {
public:
    PinnedToOneCpu();
    ~PinnedToOneCpu();
    PinnedToOneCpu(const PinnedToOneCpu&) = delete;
    PinnedToOneCpu& operator=(const PinnedToOneCpu&) = delete;
    int cpu() const { return cpu_; }

private:
    cpu_set_t before_;
    int cpu_;
};
// The CPUs that PinnedToOneCpu pinned to in this process so far.
std::vector<int> PinnedCpus();

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

    // Runs the benchmarks of the chosen rows (config().filter), prints the
    // table to `out` (progress to `progress`). A judged row that misses its
    // target within its own spread is run once more before its verdict.
    // Returns the process exit status: 0 unless a row clearly missed its
    // target (a miss beyond its spread) or could not be measured (in smoke
    // mode: 0 when every row was measured), 1 otherwise; 2 when the filter
    // chose no row.
    int run(std::ostream& out, std::ostream& progress);

    // Prints the table for already collected samples; returns the exit status
    // as run() does.
    int report(const std::map<std::string, std::vector<Sample>>& samples, std::ostream& out) const;

    // The rows the filter chooses, and every row's figure and baseline, one
    // per line (run-bench --list).
    std::vector<const Row*> chosenRows() const;
    void list(std::ostream& out) const;

private:
    // The Google Benchmark names a row reads.
    static std::vector<std::string> benchmarksOf(const Row& row);
    // The verdict of `row` on `samples`, with the error of a failed side.
    Verdict verdictOf(const Row& row, const std::map<std::string, std::vector<Sample>>& samples, Summary* baseline,
                      Summary* library, Summary* figure) const;
    void runBenchmarks(const std::vector<std::string>& names, benchmark::BenchmarkReporter* collector) const;

    Config config_;
    std::vector<Row> rows_;
    std::vector<std::string> repeated_;  // figures of rows run a second time as noisy
};

}  // namespace bench
