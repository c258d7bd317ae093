// The harness decides pass and miss: a wrong median, a ratio turned the wrong
// way or an error counted as a pass would make every benchmark lie.
#include <gtest/gtest.h>

#include <sstream>

#include "Harness.h"

namespace {

using bench::Goal;
using bench::Row;
using bench::Sample;
using bench::Summarise;

Sample timed(double seconds) {
    Sample sample;
    sample.realSeconds = seconds;
    sample.cpuSeconds = seconds / 10;
    return sample;
}

Sample counted(const std::string& name, double value) {
    Sample sample;
    sample.counters[name] = value;
    return sample;
}

Sample failed(const std::string& error) {
    Sample sample = timed(1.0);
    sample.error = error;
    return sample;
}

Row time_row(double target) {
    return Row("status", "select", bench::RealTime("base"), bench::RealTime("lib"), Goal::AtMost, target, 1e6, "us");
}

std::string report(const bench::Suite& suite, const std::map<std::string, std::vector<Sample>>& samples, int* status) {
    std::ostringstream out;
    *status = suite.report(samples, out);
    return out.str();
}

TEST(Summarise, MedianAndSpreadDoNotDependOnOrder) {
    const bench::Summary odd = Summarise({9, 1, 5, 3, 7});
    EXPECT_DOUBLE_EQ(odd.median, 5);
    // Quartiles 3 and 7: half their distance, relative to the median.
    EXPECT_DOUBLE_EQ(odd.spread, 0.4);
    EXPECT_EQ(odd.count, 5u);

    EXPECT_DOUBLE_EQ(Summarise({4, 2}).median, 3);
    EXPECT_DOUBLE_EQ(Summarise({8}).spread, 0);
    // One wild repetition moves neither figure much.
    EXPECT_DOUBLE_EQ(Summarise({10, 10, 10, 10, 1000}).median, 10);
    EXPECT_DOUBLE_EQ(Summarise({10, 10, 10, 10, 1000}).spread, 0);
}

TEST(Summarise, NothingMeasuredIsNoSummary) {
    const bench::Summary none = Summarise({});
    EXPECT_EQ(none.count, 0u);
    EXPECT_DOUBLE_EQ(none.median, 0);
}

TEST(Judge, TimesAreBoundFromAboveAndThroughputFromBelow) {
    const bench::Summary base = Summarise({10}), slower = Summarise({15}), faster = Summarise({9});
    EXPECT_TRUE(bench::Judge(time_row(2.0), base, slower).pass);
    EXPECT_FALSE(bench::Judge(time_row(1.2), base, slower).pass);
    EXPECT_DOUBLE_EQ(bench::Judge(time_row(1.2), base, slower).figure, 1.5);

    Row throughput("write", "send", bench::Throughput("base"), bench::Throughput("lib"), Goal::AtLeast, 0.97, 1, "B/s");
    EXPECT_TRUE(bench::Judge(throughput, base, Summarise({9.8})).pass);
    EXPECT_FALSE(bench::Judge(throughput, base, faster).pass);
    // Exactly on the target passes, for either goal.
    EXPECT_TRUE(bench::Judge(throughput, Summarise({100}), Summarise({97})).pass);
    EXPECT_TRUE(bench::Judge(time_row(1.5), base, slower).pass);
}

TEST(Judge, OwnFigureReplacesTheRatio) {
    Row resident("ports", "before", bench::CounterOf("r", "before"), bench::CounterOf("r", "after"), Goal::AtMost, 16,
                 1, "KiB");
    resident.figureOf = [](double before, double after) { return (after - before) / 4; };
    const bench::Verdict verdict = bench::Judge(resident, Summarise({1000}), Summarise({1080}));
    EXPECT_TRUE(verdict.measured);
    EXPECT_DOUBLE_EQ(verdict.figure, 20);
    EXPECT_FALSE(verdict.pass);
}

TEST(Judge, AMissingSideOrAZeroBaselineIsNotAPass) {
    EXPECT_FALSE(bench::Judge(time_row(2), Summarise({}), Summarise({1})).measured);
    EXPECT_FALSE(bench::Judge(time_row(2), Summarise({1}), Summarise({})).pass);
    const bench::Verdict zero = bench::Judge(time_row(2), Summarise({0}), Summarise({1}));
    EXPECT_FALSE(zero.measured);
    EXPECT_FALSE(zero.pass);
}

TEST(Pick, TakesTheAskedQuantityAndSkipsFailedRepetitions) {
    const std::vector<Sample> samples{timed(2.0), failed("lost"), timed(4.0)};
    EXPECT_EQ(bench::Pick(bench::RealTime("x"), samples), (std::vector<double>{2.0, 4.0}));
    EXPECT_EQ(bench::Pick(bench::CpuTime("x"), samples), (std::vector<double>{0.2, 0.4}));
    const std::vector<Sample> counters{counted("bytes_per_second", 5), counted("other", 7)};
    EXPECT_EQ(bench::Pick(bench::Throughput("x"), counters), (std::vector<double>{5}));
}

TEST(Report, AMissFailsTheRunAndIsShown) {
    bench::Suite suite(bench::Config{});
    suite.row(time_row(1.2));
    int status = 0;
    const std::string table = report(suite, {{"base", {timed(10e-6), timed(11e-6)}}, {"lib", {timed(20e-6)}}}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(table.find("MISS"), std::string::npos) << table;
    EXPECT_NE(table.find("10.5 us"), std::string::npos) << table;  // median of the baseline, in the row's unit
    EXPECT_NE(table.find("<= 1.200x"), std::string::npos) << table;
}

TEST(Report, EveryRowMetPasses) {
    bench::Suite suite(bench::Config{});
    suite.row(time_row(2.0));
    int status = 1;
    const std::string table = report(suite, {{"base", {timed(10e-6)}}, {"lib", {timed(12e-6)}}}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(table.find("1.200x"), std::string::npos) << table;
    EXPECT_NE(table.find("pass"), std::string::npos) << table;
}

TEST(Report, AFailedBenchmarkIsAnErrorEvenInSmokeRuns) {
    bench::Config smoke;
    smoke.smoke = true;
    bench::Suite suite(smoke);
    suite.row(time_row(1.2));
    int status = 0;
    // A miss does not fail a smoke run (tiny sizes say nothing about speed)...
    report(suite, {{"base", {timed(1)}}, {"lib", {timed(9)}}}, &status);
    EXPECT_EQ(status, 0);
    // ...a benchmark that could not run does.
    const std::string table = report(suite, {{"base", {timed(1)}}, {"lib", {failed("cannot connect")}}}, &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(table.find("ERROR: cannot connect"), std::string::npos) << table;
}

TEST(Report, ARowNotJudgedShowsItsMissAndNoteButDoesNotFailTheRun) {
    bench::Suite suite(bench::Config{});
    Row below = time_row(1.5);
    below.judged = false;
    below.note = "the baseline skips the printer's answer";
    suite.row(below);
    int status = 1;
    const std::string table = report(suite, {{"base", {timed(1)}}, {"lib", {timed(3)}}}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(table.find("MISS (not judged)"), std::string::npos) << table;
    EXPECT_NE(table.find("status against select: the baseline skips the printer's answer"), std::string::npos) << table;
}

TEST(Report, PairedRowsAreJudgedOnTheRatiosOfTheirPairs) {
    bench::Suite suite(bench::Config{});
    suite.row(bench::PairedRateRow("write", "send", "pair", Goal::AtLeast, 0.97, 1, "B/s"));
    const auto repetition = [](double baseline, double library, double ratio) {
        Sample sample;
        sample.counters = {{"baseline_rate", baseline}, {"library_rate", library}, {"rate_ratio", ratio}};
        return sample;
    };
    int status = 1;
    // The medians of the sides (100 and 95) would miss; each pair's own ratio
    // says the library kept up, and that is what counts.
    report(suite, {{"pair", {repetition(100, 95, 0.99), repetition(120, 95, 0.98), repetition(80, 96, 1.0)}}}, &status);
    EXPECT_EQ(status, 0);
    report(suite, {{"pair", {repetition(100, 99, 0.90), repetition(100, 99, 0.91), repetition(100, 99, 0.90)}}},
           &status);
    EXPECT_EQ(status, 1);
}

TEST(Report, RowsLeftOutByAFilterAreNotJudged) {
    bench::Suite suite(bench::Config{});
    suite.row(time_row(1.2));
    suite.row(Row("other", "x", bench::RealTime("b2"), bench::RealTime("l2"), Goal::AtMost, 1, 1, "s"));
    int status = 1;
    const std::string table = report(suite, {{"base", {timed(1)}}, {"lib", {timed(1)}}}, &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(table.find("other"), std::string::npos) << table;
}

TEST(Report, OnlyAMissBeyondTheFigureSpreadFailsTheRun) {
    bench::Suite suite(bench::Config{});
    suite.row(time_row(1.2));
    const std::vector<Sample> base{timed(10), timed(10), timed(10)};
    int status = 0;
    // 1.3x with a spread of 23 %: this run cannot tell, so it does not fail.
    std::string table = report(suite, {{"base", base}, {"lib", {timed(8), timed(13), timed(20)}}}, &status);
    EXPECT_EQ(status, 0) << table;
    EXPECT_NE(table.find("noisy"), std::string::npos) << table;
    // 1.3x measured steadily is a miss.
    table = report(suite, {{"base", base}, {"lib", {timed(13), timed(13), timed(13)}}}, &status);
    EXPECT_EQ(status, 1) << table;
    EXPECT_NE(table.find("MISS"), std::string::npos) << table;
}

TEST(Suite, AFilterChoosesRowsByTheirFigure) {
    bench::Config config;
    config.filter = {"STATUS", "open"};
    bench::Suite suite(config);
    suite.row(time_row(1.2));  // "status"
    suite.row(Row("OpenPort", "x", bench::RealTime("b2"), bench::RealTime("l2"), Goal::AtMost, 1, 1, "s"));
    suite.row(Row("write", "x", bench::RealTime("b3"), bench::RealTime("l3"), Goal::AtMost, 1, 1, "s"));
    std::vector<std::string> figures;
    for (const Row* row : suite.chosenRows())
        figures.push_back(row->figure);
    EXPECT_EQ(figures, (std::vector<std::string>{"status", "OpenPort"}));
}

TEST(Suite, RepetitionsScaleWithTheRowButNeverVanish) {
    bench::Config config;
    config.repetitions = 7;
    const bench::Suite suite(config);
    EXPECT_EQ(suite.repetitionsFor(1), 7);
    EXPECT_EQ(suite.repetitionsFor(2), 14);
    EXPECT_EQ(suite.repetitionsFor(3.0 / 7), 3);
    EXPECT_EQ(suite.repetitionsFor(0.01), 1);
    config.smoke = true;
    EXPECT_EQ(bench::Suite(config).repetitionsFor(2), 1);
}

// The one test that runs Google Benchmark itself: every benchmark registered
// in this process runs with it.
TEST(Suite, RunsPairedSidesInAlternatingOrderAndJudgesTheirRatio) {
    bench::Config config;
    config.repetitions = 3;
    bench::Suite suite(config);
    std::string order;
    suite
        .add(
            "paired",
            [&order](benchmark::State& state) {
                bench::RunPaired(
                    state,
                    [&order] {
                        order += 'b';
                        return 0.001;
                    },
                    [&order] {
                        order += 'l';
                        return 0.003;
                    },
                    64);
            },
            true)
        ->Iterations(2);
    suite.row(bench::PairedTimeRow("status", "select", "paired", Goal::AtMost, 2.0, 1e3, "ms"));
    // Three sides (floor, library, reference) take turns going first.
    std::string turns;
    const auto side = [&turns](char name, double seconds) {
        return [&turns, name, seconds] {
            turns += name;
            return seconds;
        };
    };
    suite
        .add(
            "three",
            [&](benchmark::State& state) {
                bench::RunPaired(state, side('f', 0.001), side('l', 0.001), 64, side('r', 0.002));
            },
            true)
        ->Iterations(3);
    suite.row(bench::PairedRateRow("write", "floor", "three", Goal::AtLeast, 0.97, 1, "B/s"));
    suite.row(bench::ReferenceRateRow("write", "plain", "three", 0.97, 1, "B/s", "shown only"));
    std::ostringstream out, progress;
    EXPECT_EQ(suite.run(out, progress), 1) << out.str();
    EXPECT_EQ(order, "bllbbllbbllb");
    EXPECT_EQ(turns,
              "flrlrfrfl"
              "flrlrfrfl"
              "flrlrfrfl");
    EXPECT_NE(out.str().find("2.000x"), std::string::npos) << out.str();  // twice the reference's rate
    EXPECT_NE(out.str().find("1.00 ms"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("3.00 ms"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("3.000x"), std::string::npos) << out.str();
}

}  // namespace
