#include "Harness.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>

namespace bench {

Probe RealTime(const std::string& benchmark) { return {benchmark, Quantity::RealTime, ""}; }
Probe CpuTime(const std::string& benchmark) { return {benchmark, Quantity::CpuTime, ""}; }
Probe CounterOf(const std::string& benchmark, const std::string& counter) {
    return {benchmark, Quantity::Counter, counter};
}
Probe Throughput(const std::string& benchmark) { return CounterOf(benchmark, "bytes_per_second"); }

namespace {

// The p-quantile (0..1) of sorted values, interpolated between neighbours.
double quantile(const std::vector<double>& sorted, double p) {
    const double at = p * static_cast<double>(sorted.size() - 1);
    const std::size_t below = static_cast<std::size_t>(std::floor(at));
    const std::size_t above = std::min(below + 1, sorted.size() - 1);
    return sorted[below] + (sorted[above] - sorted[below]) * (at - static_cast<double>(below));
}

// A number with about three significant digits, without an exponent for the
// ranges the table shows.
std::string number(double value) {
    char text[32];
    const double magnitude = std::fabs(value);
    if (magnitude >= 100)
        std::snprintf(text, sizeof text, "%.0f", value);
    else if (magnitude >= 10)
        std::snprintf(text, sizeof text, "%.1f", value);
    else if (magnitude >= 1 || magnitude == 0)
        std::snprintf(text, sizeof text, "%.2f", value);
    else
        std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// " +-x%" for a summary of several values, else nothing.
std::string spread_text(const Summary& summary) {
    if (summary.count < 2) return "";
    char spread[32];
    std::snprintf(spread, sizeof spread, " +-%.1f%%", summary.spread * 100);
    return spread;
}

// The figure's spread, when the sides had repetitions to give one.
std::string figure_spread_text(const Verdict& verdict, const Summary& baseline, const Summary& library) {
    if (baseline.count < 2 && library.count < 2) return "";
    char spread[32];
    std::snprintf(spread, sizeof spread, " +-%.1f%%", verdict.spread * 100);
    return spread;
}

std::string with_spread(const Summary& summary, const Row& row) {
    if (summary.count == 0) return "-";
    return number(summary.median * row.scale) + " " + row.unit + spread_text(summary);
}

std::string figure_text(double value, const Row& row) {
    const double shown = value * row.figureScale;
    char text[32];
    std::snprintf(text, sizeof text, std::fabs(shown) >= 100 ? "%.0f" : "%.3f", shown);
    return text + row.figureUnit;
}

// Keeps every repetition of every benchmark, prints a dot per repetition.
class Collector : public benchmark::BenchmarkReporter {
public:
    Collector(std::map<std::string, std::vector<Sample>>* samples, std::ostream* progress, bool verbose)
        : samples_(samples), progress_(progress), verbose_(verbose) {}

    bool ReportContext(const Context&) override { return true; }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            Sample sample;
            const double iterations = run.iterations > 0 ? static_cast<double>(run.iterations) : 1.0;
            sample.realSeconds = run.real_accumulated_time / iterations;
            sample.cpuSeconds = run.cpu_accumulated_time / iterations;
            for (const auto& counter : run.counters)
                sample.counters[counter.first] = counter.second.value;
            if (run.error_occurred) sample.error = run.error_message.empty() ? "failed" : run.error_message;
            (*samples_)[run.run_name.function_name].push_back(sample);
            if (verbose_) {
                *progress_ << run.run_name.function_name << " " << sample.realSeconds << " s";
                for (const auto& counter : sample.counters)
                    *progress_ << " " << counter.first << "=" << counter.second;
                *progress_ << (sample.error.empty() ? "" : " error: " + sample.error) << "\n";
            } else {
                *progress_ << (sample.error.empty() ? "." : "E") << std::flush;
            }
        }
    }

private:
    std::map<std::string, std::vector<Sample>>* samples_;
    std::ostream* progress_;
    bool verbose_;
};

}  // namespace

Summary Summarise(std::vector<double> values) {
    Summary summary;
    summary.count = values.size();
    if (values.empty()) return summary;
    std::sort(values.begin(), values.end());
    summary.median = quantile(values, 0.5);
    const double half = (quantile(values, 0.75) - quantile(values, 0.25)) / 2;
    summary.spread = summary.median != 0 ? std::fabs(half / summary.median) : 0;
    return summary;
}

Verdict Judge(const Row& row, const Summary& baseline, const Summary& library, const Summary& figure) {
    Verdict verdict;
    if (baseline.count == 0 || library.count == 0 || (row.figureProbe && figure.count == 0)) {
        verdict.error = "not measured";
        return verdict;
    }
    if (row.figureProbe) {
        verdict.figure = figure.median;
    } else if (row.figureOf) {
        verdict.figure = row.figureOf(baseline.median, library.median);
    } else {
        if (baseline.median == 0) {
            verdict.error = "baseline is zero";
            return verdict;
        }
        verdict.figure = library.median / baseline.median;
    }
    verdict.measured = true;
    verdict.pass = row.goal == Goal::AtMost ? verdict.figure <= row.target : verdict.figure >= row.target;
    // A ratio of two medians is as uncertain as both sides together.
    verdict.spread = row.figureProbe ? figure.spread : std::hypot(baseline.spread, library.spread);
    const double margin = row.target != 0 ? std::fabs(verdict.figure / row.target - 1) : 0;
    verdict.noisy = verdict.spread > margin;
    return verdict;
}

std::vector<double> Pick(const Probe& probe, const std::vector<Sample>& samples) {
    std::vector<double> values;
    for (const Sample& sample : samples) {
        if (!sample.error.empty()) continue;
        switch (probe.quantity) {
        case Quantity::RealTime:
            values.push_back(sample.realSeconds);
            break;
        case Quantity::CpuTime:
            values.push_back(sample.cpuSeconds);
            break;
        case Quantity::Counter: {
            const auto found = sample.counters.find(probe.counter);
            if (found != sample.counters.end()) values.push_back(found->second);
            break;
        }
        }
    }
    return values;
}

void RunPaired(benchmark::State& state, const std::function<double()>& baseline, const std::function<double()>& library,
               double work, const std::function<double()>& reference) {
    const std::function<double()>* sides[] = {&baseline, &library, &reference};
    const char* failures[] = {"the baseline failed", "the library failed", "the reference failed"};
    const unsigned count = reference ? 3 : 2;
    std::vector<double> timeRatios, rateRatios, referenceTimeRatios, referenceRateRatios;
    double total[3] = {0, 0, 0};
    unsigned turn = 0;
    for (auto _ : state) {
        // Who goes first changes with every iteration.
        double seconds[3] = {0, 0, 0};
        const char* failure = nullptr;
        for (unsigned k = 0; k < count && failure == nullptr; ++k) {
            const unsigned side = (turn + k) % count;
            seconds[side] = (*sides[side])();
            if (seconds[side] <= 0) failure = failures[side];
        }
        ++turn;
        if (failure != nullptr) {
            state.SkipWithError(failure);
            break;
        }
        state.SetIterationTime(seconds[0] + seconds[1] + seconds[2]);
        for (unsigned side = 0; side < count; ++side)
            total[side] += seconds[side];
        timeRatios.push_back(seconds[1] / seconds[0]);
        rateRatios.push_back(seconds[0] / seconds[1]);
        if (count == 3) {
            referenceTimeRatios.push_back(seconds[1] / seconds[2]);
            referenceRateRatios.push_back(seconds[2] / seconds[1]);
        }
    }
    if (timeRatios.empty()) return;
    const double pairs = static_cast<double>(timeRatios.size());
    state.counters["baseline_s"] = total[0] / pairs;
    state.counters["library_s"] = total[1] / pairs;
    state.counters["time_ratio"] = Summarise(timeRatios).median;
    if (count == 3) {
        state.counters["reference_s"] = total[2] / pairs;
        state.counters["reference_time_ratio"] = Summarise(referenceTimeRatios).median;
    }
    if (work > 0) {
        state.counters["baseline_rate"] = work * pairs / total[0];
        state.counters["library_rate"] = work * pairs / total[1];
        state.counters["rate_ratio"] = Summarise(rateRatios).median;
        if (count == 3) {
            state.counters["reference_rate"] = work * pairs / total[2];
            state.counters["reference_rate_ratio"] = Summarise(referenceRateRatios).median;
        }
    }
}

Row PairedTimeRow(const std::string& figure, const std::string& baseline, const std::string& benchmark, Goal goal,
                  double target, double scale, const std::string& unit) {
    Row row(figure, baseline, CounterOf(benchmark, "baseline_s"), CounterOf(benchmark, "library_s"), goal, target,
            scale, unit);
    row.figureProbe = CounterOf(benchmark, "time_ratio");
    return row;
}

Row PairedRateRow(const std::string& figure, const std::string& baseline, const std::string& benchmark, Goal goal,
                  double target, double scale, const std::string& unit) {
    Row row(figure, baseline, CounterOf(benchmark, "baseline_rate"), CounterOf(benchmark, "library_rate"), goal, target,
            scale, unit);
    row.figureProbe = CounterOf(benchmark, "rate_ratio");
    return row;
}

Row ReferenceRateRow(const std::string& figure, const std::string& reference, const std::string& benchmark,
                     double target, double scale, const std::string& unit, const std::string& note) {
    Row row(figure, reference, CounterOf(benchmark, "reference_rate"), CounterOf(benchmark, "library_rate"),
            Goal::AtLeast, target, scale, unit);
    row.figureProbe = CounterOf(benchmark, "reference_rate_ratio");
    row.judged = false;
    row.note = note;
    return row;
}

namespace {

std::mutex g_pinnedMutex;
std::set<int> g_pinnedCpus;

std::string lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A Google Benchmark filter that takes exactly the benchmarks named, whatever
// settings (iterations, repetitions, time) the library appends to each name.
std::string exact_names_filter(const std::vector<std::string>& names) {
    std::string alternatives;
    for (const std::string& name : names) {
        if (!alternatives.empty()) alternatives += "|";
        for (char c : name) {
            if (std::strchr(".[]{}()*+?^$|\\", c) != nullptr) alternatives += '\\';
            alternatives += c;
        }
    }
    return "^(" + alternatives +
           ")(/(iterations|repeats|min_time|min_warmup_time|manual_time|real_time|threads)[^/]*)*$";
}

}  // namespace

PinnedToOneCpu::PinnedToOneCpu() : cpu_(sched_getcpu()) {
    sched_getaffinity(0, sizeof before_, &before_);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu_, &one);
    sched_setaffinity(0, sizeof one, &one);
    std::lock_guard<std::mutex> lock(g_pinnedMutex);
    g_pinnedCpus.insert(cpu_);
}

PinnedToOneCpu::~PinnedToOneCpu() { sched_setaffinity(0, sizeof before_, &before_); }

std::vector<int> PinnedCpus() {
    std::lock_guard<std::mutex> lock(g_pinnedMutex);
    return std::vector<int>(g_pinnedCpus.begin(), g_pinnedCpus.end());
}

Suite::Suite(Config config) : config_(config) {}

benchmark::internal::Benchmark* Suite::add(const std::string& name, std::function<void(benchmark::State&)> fn,
                                           bool manualTime, double repetitionFactor) {
    benchmark::internal::Benchmark* added =
        benchmark::RegisterBenchmark(name.c_str(), [fn = std::move(fn)](benchmark::State& state) {
            fn(state);
        })->Repetitions(repetitionsFor(repetitionFactor));
    // The network benchmarks mostly wait: their CPU time says nothing about
    // how many iterations fill the minimum time.
    return manualTime ? added->UseManualTime() : added->UseRealTime();
}

int Suite::repetitionsFor(double repetitionFactor) const {
    if (config_.smoke) return 1;
    const int repetitions = static_cast<int>(std::lround(config_.repetitions * repetitionFactor));
    return repetitions < 1 ? 1 : repetitions;
}

void Suite::row(Row row) { rows_.push_back(std::move(row)); }

std::vector<const Row*> Suite::chosenRows() const {
    std::vector<const Row*> chosen;
    for (const Row& row : rows_) {
        bool wanted = config_.filter.empty();
        for (const std::string& text : config_.filter)
            wanted = wanted || lower(row.figure).find(lower(text)) != std::string::npos;
        if (wanted) chosen.push_back(&row);
    }
    return chosen;
}

void Suite::list(std::ostream& out) const {
    for (const Row& row : rows_)
        out << row.figure << "  |  against " << row.baseline << (row.judged ? "" : "  (not judged)") << "\n";
}

std::vector<std::string> Suite::benchmarksOf(const Row& row) {
    std::vector<std::string> names{row.baselineProbe.benchmark, row.libraryProbe.benchmark};
    if (row.figureProbe) names.push_back(row.figureProbe->benchmark);
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

void Suite::runBenchmarks(const std::vector<std::string>& names, benchmark::BenchmarkReporter* collector) const {
    benchmark::RunSpecifiedBenchmarks(collector, exact_names_filter(names));
}

int Suite::run(std::ostream& out, std::ostream& progress) {
    const std::vector<const Row*> chosen = chosenRows();
    if (chosen.empty()) {
        out << "no row matches the filter; run-bench --list shows every row\n";
        return 2;
    }
    std::map<std::string, std::vector<Sample>> samples;
    Collector collector(&samples, &progress, config_.verbose);
    progress << "measuring" << std::flush;
    if (config_.filter.empty()) {
        benchmark::RunSpecifiedBenchmarks(&collector);  // honours --benchmark_filter
    } else {
        std::vector<std::string> names;
        for (const Row* row : chosen)
            for (const std::string& name : benchmarksOf(*row))
                names.push_back(name);
        runBenchmarks(names, &collector);
    }

    // A judged row that misses within its own spread gets one more run: a
    // noisy machine must not fail a library that sits at its target.
    repeated_.clear();
    std::vector<std::string> again;
    for (const Row* row : chosen) {
        Summary b, l, f;
        const Verdict verdict = verdictOf(*row, samples, &b, &l, &f);
        if (config_.smoke || !row->judged || !verdict.measured || verdict.pass || !verdict.noisy) continue;
        repeated_.push_back(row->figure);
        for (const std::string& name : benchmarksOf(*row))
            again.push_back(name);
    }
    if (!again.empty()) {
        progress << "\nnoisy, measuring again" << std::flush;
        runBenchmarks(again, &collector);
    }
    progress << "\n";
    return report(samples, out);
}

Verdict Suite::verdictOf(const Row& row, const std::map<std::string, std::vector<Sample>>& samples, Summary* baseline,
                         Summary* library, Summary* figure) const {
    std::string error;
    const auto side = [&](const Probe& probe) {
        const auto found = samples.find(probe.benchmark);
        if (found == samples.end()) return Summary{};
        for (const Sample& sample : found->second)
            if (!sample.error.empty() && error.empty()) error = sample.error;
        return Summarise(Pick(probe, found->second));
    };
    *baseline = side(row.baselineProbe);
    *library = side(row.libraryProbe);
    *figure = row.figureProbe ? side(*row.figureProbe) : Summary{};
    Verdict verdict = Judge(row, *baseline, *library, *figure);
    if (!error.empty()) {
        verdict.measured = false;
        verdict.error = error;
    }
    return verdict;
}

int Suite::report(const std::map<std::string, std::vector<Sample>>& samples, std::ostream& out) const {
    std::vector<std::vector<std::string>> table;
    table.push_back({"figure", "baseline", "baseline median", "library median", "ratio", "target", "result"});
    bool allMeasured = true, allPass = true;
    std::vector<std::string> notes;
    for (const Row* chosen : chosenRows()) {
        const Row& row = *chosen;
        // A benchmark left out by a filter is not a failure of the library.
        const bool filteredOut =
            samples.count(row.baselineProbe.benchmark) == 0 && samples.count(row.libraryProbe.benchmark) == 0;
        if (filteredOut) continue;
        Summary baseline, library, figure;
        const Verdict verdict = verdictOf(row, samples, &baseline, &library, &figure);
        const bool repeated = std::find(repeated_.begin(), repeated_.end(), row.figure) != repeated_.end();
        // Only a miss beyond the figure's own spread fails the run.
        const bool clearMiss = verdict.measured && !verdict.pass && !verdict.noisy;
        allMeasured = allMeasured && verdict.measured;
        if (row.judged) allPass = allPass && verdict.measured && !clearMiss;
        if (!row.note.empty()) notes.push_back(row.figure + " against " + row.baseline + ": " + row.note);
        const std::string target = (row.goal == Goal::AtMost ? "<= " : ">= ") + figure_text(row.target, row);
        std::string result = !verdict.measured ? "ERROR: " + verdict.error
                             : verdict.pass    ? "pass"
                             : clearMiss       ? "MISS"
                                               : "noisy: the spread is wider than the distance to the target";
        if (repeated) result += " (measured twice)";
        if (config_.smoke && verdict.measured) result += " (smoke)";
        if (!row.judged) result += " (not judged)";
        table.push_back(
            {row.figure, row.baseline, with_spread(baseline, row), with_spread(library, row),
             verdict.measured ? figure_text(verdict.figure, row) + figure_spread_text(verdict, baseline, library) : "-",
             target, result});
    }

    std::vector<std::size_t> width(table.front().size(), 0);
    for (const auto& line : table)
        for (std::size_t i = 0; i < line.size(); ++i)
            width[i] = std::max(width[i], line[i].size());
    for (std::size_t l = 0; l < table.size(); ++l) {
        std::string text;
        for (std::size_t i = 0; i < table[l].size(); ++i) {
            text += table[l][i];
            if (i + 1 < table[l].size()) text += std::string(width[i] - table[l][i].size() + 2, ' ');
        }
        out << text << "\n";
        if (l == 0) out << std::string(text.size(), '-') << "\n";
    }
    out << "medians over repetitions (" << (config_.smoke ? 1 : config_.repetitions)
        << " per side unless a row needs more or fewer), interleaved; +- is half the interquartile range\n";
    for (const std::string& note : notes)
        out << note << "\n";
    const std::vector<int> cpus = PinnedCpus();
    if (!cpus.empty()) {
        // Each bulk row stays on the CPU it started on; rows may differ.
        out << "each bulk row ran with sender and printers pinned to one CPU; CPUs used:";
        for (int cpu : cpus)
            out << " " << cpu;
        out << "\n";
    }
    if (config_.smoke) return allMeasured ? 0 : 1;
    return allPass ? 0 : 1;
}

}  // namespace bench
