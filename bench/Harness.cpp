#include "Harness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
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
               double work) {
    std::vector<double> timeRatios, rateRatios;
    double baselineSeconds = 0, librarySeconds = 0;
    bool libraryFirst = false;
    for (auto _ : state) {
        double b = 0, l = 0;
        if (libraryFirst) {
            l = library();
            b = l > 0 ? baseline() : 0;
        } else {
            b = baseline();
            l = b > 0 ? library() : 0;
        }
        libraryFirst = !libraryFirst;
        if (b <= 0 || l <= 0) {
            state.SkipWithError(b <= 0 ? "the baseline failed" : "the library failed");
            break;
        }
        state.SetIterationTime(b + l);
        baselineSeconds += b;
        librarySeconds += l;
        timeRatios.push_back(l / b);
        rateRatios.push_back(b / l);
    }
    if (timeRatios.empty()) return;
    const double pairs = static_cast<double>(timeRatios.size());
    state.counters["baseline_s"] = baselineSeconds / pairs;
    state.counters["library_s"] = librarySeconds / pairs;
    state.counters["time_ratio"] = Summarise(timeRatios).median;
    if (work > 0) {
        state.counters["baseline_rate"] = work * pairs / baselineSeconds;
        state.counters["library_rate"] = work * pairs / librarySeconds;
        state.counters["rate_ratio"] = Summarise(rateRatios).median;
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

int Suite::run(std::ostream& out, std::ostream& progress) {
    std::map<std::string, std::vector<Sample>> samples;
    Collector collector(&samples, &progress, config_.verbose);
    progress << "measuring" << std::flush;
    benchmark::RunSpecifiedBenchmarks(&collector);
    progress << "\n";
    return report(samples, out);
}

int Suite::report(const std::map<std::string, std::vector<Sample>>& samples, std::ostream& out) const {
    std::vector<std::vector<std::string>> table;
    table.push_back({"figure", "baseline", "baseline median", "library median", "ratio", "target", "result"});
    bool allMeasured = true, allPass = true;
    std::vector<std::string> notes;
    for (const Row& row : rows_) {
        const auto side = [&](const Probe& probe, std::string* error) {
            const auto found = samples.find(probe.benchmark);
            if (found == samples.end()) return Summary{};
            for (const Sample& sample : found->second)
                if (!sample.error.empty() && error->empty()) *error = sample.error;
            return Summarise(Pick(probe, found->second));
        };
        std::string error;
        const Summary baseline = side(row.baselineProbe, &error);
        const Summary library = side(row.libraryProbe, &error);
        const Summary figure = row.figureProbe ? side(*row.figureProbe, &error) : Summary{};
        Verdict verdict = Judge(row, baseline, library, figure);
        if (!error.empty()) {
            verdict.measured = false;
            verdict.error = error;
        }
        // A benchmark left out by a filter is not a failure of the library.
        const bool filteredOut =
            samples.count(row.baselineProbe.benchmark) == 0 && samples.count(row.libraryProbe.benchmark) == 0;
        if (filteredOut) continue;
        allMeasured = allMeasured && verdict.measured;
        if (row.judged) allPass = allPass && verdict.measured && verdict.pass;
        if (!row.note.empty()) notes.push_back(row.figure + " against " + row.baseline + ": " + row.note);
        const std::string target = (row.goal == Goal::AtMost ? "<= " : ">= ") + figure_text(row.target, row);
        std::string result = verdict.measured ? (verdict.pass ? "pass" : "MISS") : "ERROR: " + verdict.error;
        if (config_.smoke && verdict.measured) result += " (smoke)";
        if (!row.judged) result += " (not judged)";
        table.push_back({row.figure, row.baseline, with_spread(baseline, row), with_spread(library, row),
                         verdict.measured ? figure_text(verdict.figure, row) + spread_text(figure) : "-", target,
                         result});
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
    if (config_.smoke) return allMeasured ? 0 : 1;
    return allPass ? 0 : 1;
}

}  // namespace bench
