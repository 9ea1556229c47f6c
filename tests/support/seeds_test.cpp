// ACM_SEEDS: the forms a sweep and a rerun use, and the values refused.
#include "seeds.h"

#include <gtest/gtest-spi.h>

#include <cstdlib>
#include <vector>

namespace {

TEST(SeedRangeTest, ParsesARangeAndASingleSeed)
{
    const auto range = seeds::parse("3:20000");
    ASSERT_TRUE(range);
    EXPECT_EQ(range->first, 3u);
    EXPECT_EQ(range->last, 20000u);
    EXPECT_EQ(range->count(), 19998u);

    const auto one = seeds::parse("777");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->first, 777u);
    EXPECT_EQ(one->count(), 1u);

    const auto top = seeds::parse("18446744073709551615");
    ASSERT_FALSE(top);   // 20 digits: refused rather than wrapped
    EXPECT_TRUE(seeds::parse("5:5"));
}

TEST(SeedRangeTest, RefusesEverythingElse)
{
    for (const char* bad : { "", ":", "0", "0:5", "5:4", "1:", ":9", "1:2:3", "-3", "+3", " 7", "7 ", "1e3",
                             "abc", "1-20", "99999999999999999999" })
        EXPECT_FALSE(seeds::parse(bad)) << '"' << bad << '"';
}

class SeedEnvironmentTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const char* name : { "ACM_SEEDS", "ACM_PREEMPTIONS", "ACM_DELAYS", "ACM_SCHEDULE" })
            unsetenv(name);
    }

    static std::vector<uint64_t> seeds_run(uint64_t default_count)
    {
        std::vector<uint64_t> ran;
        seeds::run(default_count, [&](uint64_t seed) { ran.push_back(seed); });
        return ran;
    }
};

TEST_F(SeedEnvironmentTest, UnsetRunsTheCompiledCountFromOne)
{
    unsetenv("ACM_SEEDS");
    EXPECT_EQ(seeds_run(4), (std::vector<uint64_t>{ 1, 2, 3, 4 }));
    EXPECT_TRUE(seeds::covers_default(seeds::from_environment(4), 4));
}

TEST_F(SeedEnvironmentTest, RunsTheRangeTheVariableNames)
{
    setenv("ACM_SEEDS", "7:9", 1);
    EXPECT_EQ(seeds_run(1000), (std::vector<uint64_t>{ 7, 8, 9 }));
    setenv("ACM_SEEDS", "777", 1);
    EXPECT_EQ(seeds_run(1000), (std::vector<uint64_t>{ 777 }));
    EXPECT_FALSE(seeds::covers_default(seeds::from_environment(1000), 1000));
}

TEST_F(SeedEnvironmentTest, ABadValueFailsNamingTheVariableAndItsForms)
{
    setenv("ACM_SEEDS", "1..20", 1);
    EXPECT_NONFATAL_FAILURE(EXPECT_TRUE(seeds_run(5).empty()), "ACM_SEEDS=\"1..20\" is not a seed range: expected "
                                                               "ACM_SEEDS=N (one seed) or ACM_SEEDS=FIRST:LAST");
}

TEST_F(SeedEnvironmentTest, ABoundRunsSeedOneUnderEachScheduleInsteadOfTheCompiledSeeds)
{
    setenv("ACM_PREEMPTIONS", "1", 1);
    EXPECT_EQ(seeds_run(1000), (std::vector<uint64_t>{ 1 })) << "no scheduler ran: one schedule";
    setenv("ACM_SEEDS", "4:5", 1);
    EXPECT_EQ(seeds_run(1000), (std::vector<uint64_t>{ 4, 5 }));
    unsetenv("ACM_PREEMPTIONS");
    for (const char* bad : { "", "10", "1:", "1:0", "-1", "one" }) {
        setenv("ACM_DELAYS", bad, 1);
        EXPECT_NONFATAL_FAILURE(EXPECT_TRUE(seeds_run(5).empty()), "expected ACM_PREEMPTIONS or ACM_DELAYS=N or N:CAP");
    }
    unsetenv("ACM_DELAYS");
    setenv("ACM_SCHEDULE", "3:", 1);
    EXPECT_NONFATAL_FAILURE(seeds_run(5), "ACM_SCHEDULE=\"3:\" is not valid");
}

TEST_F(SeedEnvironmentTest, AFailureNamesItsSeedAndTheCommandThatRerunsItAlone)
{
    testing::internal::CaptureStdout();
    seeds::report_failure(417);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("first failing seed: 417\n"), std::string::npos) << out;
    EXPECT_NE(out.find("rerun it alone: ACM_SEEDS=417 /"), std::string::npos) << out;
    EXPECT_NE(out.find("/test_support_tests --gtest_filter=SeedEnvironmentTest."
                       "AFailureNamesItsSeedAndTheCommandThatRerunsItAlone\n"),
              std::string::npos)
        << out;
}

}  // namespace
