// The stress run at a size that takes seconds, and the accounting it rests on.
#include <gtest/gtest.h>

#include "PrintedStreamChecker.h"
#include "Transports.h"

namespace {

using reliability::PrintedStreamChecker;

TEST(Stress, SmallRunKeepsEveryPromise) {
    reliability::StressOptions options;
    options.printers = 12;
    options.threads = 8;
    options.jobsPerPrinter = 8;
    options.faultShare = 0.3;
    options.largestJob = 2048;
    options.markJobs = 24;
    options.seed = static_cast<uint32_t>(::testing::UnitTest::GetInstance()->random_seed());
    const reliability::StressReport report = RunStress(reliability::AllStressTransports(), options);
    SCOPED_TRACE(report.summary());
    EXPECT_TRUE(report.problems.empty());
    EXPECT_EQ(report.jobs, uint64_t{options.jobsPerPrinter} * report.printers);
    EXPECT_GT(report.confirmed, report.jobs / 2);
}

struct Printed {
    std::vector<std::pair<std::string, bool>> jobs;  // content, confirmed
    std::string paper;
    std::size_t problems;
};

class CheckerCase : public ::testing::TestWithParam<Printed> {};

TEST_P(CheckerCase, FindsWhatWentWrongOnPaper) {
    PrintedStreamChecker checker;
    for (const auto& [content, confirmed] : GetParam().jobs)
        checker.expect(content);
    for (const auto& [content, confirmed] : GetParam().jobs)
        checker.outcome(confirmed);
    // Byte by byte, as a slow printer hands it over.
    for (char byte : GetParam().paper)
        checker.printed(&byte, 1);
    checker.finish();
    EXPECT_EQ(checker.problems().size(), GetParam().problems) << ::testing::PrintToString(checker.problems());
}

INSTANTIATE_TEST_SUITE_P(Paper, CheckerCase,
                         ::testing::Values(
                             // Whole and in order; a job cut short or never printed is no problem when not confirmed.
                             Printed{{{"<a 1|", true}, {"<b 22|", false}, {"<c 3|", true}}, "<a 1|<b 2<c 3|", 0},
                             Printed{{{"<a 1|", false}, {"<ab 2|", true}}, "<ab 2|", 0},
                             Printed{{{"<a 1|", true}, {"<b 2|", false}}, "<a 1|<b", 0},
                             // A confirmed job cut short, missing, printed twice, or with a byte changed.
                             Printed{{{"<a 12|", true}, {"<b 2|", true}}, "<a 1<b 2|", 1},
                             Printed{{{"<a 1|", true}, {"<b 2|", true}}, "<b 2|", 1},
                             Printed{{{"<a 1|", true}, {"<b 2|", true}}, "<a 1|<a 1|<b 2|", 2},
                             Printed{{{"<a 1|", true}}, "<a 7|", 2},
                             // Bytes of no job at all.
                             Printed{{{"<a 1|", true}}, "<a 1|xyz", 1}));

}  // namespace
