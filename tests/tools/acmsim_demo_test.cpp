// acmsim demo as a newcomer runs it: the session ends with every byte back,
// every request ended and the verifier silent, every step passes, and the
// same seed gives the same session, trace included.
#include "run_program.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace acmsim_test {
namespace {

// The "name: number" lines of the summary.
std::map<std::string, unsigned long long> summary_counts(const std::string& out)
{
    std::map<std::string, unsigned long long> counts;
    const size_t at = out.find("== Summary");
    std::istringstream lines(at == std::string::npos ? "" : out.substr(at));
    std::string line;
    while (std::getline(lines, line)) {
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::istringstream value(line.substr(colon + 1));
        unsigned long long n;
        if (value >> n)
            counts[line.substr(line.find_first_not_of(' '), colon - line.find_first_not_of(' '))] = n;
    }
    return counts;
}

// The summary's step rows: name -> result.
std::map<std::string, std::string> step_results(const std::string& out)
{
    std::map<std::string, std::string> steps;
    const size_t at = out.find("----");
    std::istringstream lines(at == std::string::npos ? "" : out.substr(at));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && !line.empty()) {
        // "  name (up to 30 columns)  result  detail"
        if (line.size() < 33)
            break;
        std::string name = line.substr(2, 30), result = line.substr(33, 10);
        name.erase(name.find_last_not_of(' ') + 1);
        result.erase(result.find_last_not_of(' ') + 1);
        steps[name] = result;
    }
    return steps;
}

TEST(AcmsimDemo, TheSessionLosesNothingAndEndsEveryRequest)
{
    Outcome run = run_acmsim("demo");
    ASSERT_EQ(run.signal, 0) << run.err;
    auto counts = summary_counts(run.out);
    ASSERT_TRUE(counts.count("bytes sent")) << run.out;
    EXPECT_GE(counts["bytes sent"], 4ull << 20) << "a few MiB cross the port";
    EXPECT_EQ(counts["bytes received"], counts["bytes sent"]);
    EXPECT_GT(counts["requests issued"], 0u);
    EXPECT_EQ(counts["requests ended"], counts["requests issued"]);
    EXPECT_EQ(counts["IRPs outstanding"], 0u);
    EXPECT_EQ(counts["verifier reports"], 0u) << run.out;
    EXPECT_EQ(run.err, "");
}

TEST(AcmsimDemo, EveryStepPasses)
{
    Outcome run = run_acmsim("demo");
    auto steps = step_results(run.out);
    const std::vector<std::string> expected = { "modem: SetCommState", "modem: AT dialogue", "modem: lines and events",
                                                "loopback transfer",   "purge",              "sleep and wake mid-transfer",
                                                "surprise removal" };
    ASSERT_EQ(steps.size(), expected.size()) << run.out;
    for (const std::string& name : expected)
        EXPECT_EQ(steps[name], "ok") << name;
    EXPECT_EQ(run.status, 0) << run.out;
}

TEST(AcmsimDemo, TheSameSeedGivesTheSameSessionTraceIncluded)
{
    Outcome first = run_acmsim("demo --seed 4 --trace");
    Outcome second = run_acmsim("demo --seed 4 --trace");
    EXPECT_NE(first.out.find("DriverEntry"), std::string::npos) << "--trace shows the driver's trace";
    EXPECT_NE(first.out.find("seed 4"), std::string::npos);
    EXPECT_TRUE(first.out == second.out) << "two runs of seed 4 differ";
}

}  // namespace
}  // namespace acmsim_test
