#include "seeds.h"

#include "preemptions.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits.h>
#include <unistd.h>

namespace seeds {
namespace {

constexpr const char* kVariable = "ACM_SEEDS";
constexpr const char* kBoundVariable = "ACM_PREEMPTIONS";
constexpr const char* kDelayVariable = "ACM_DELAYS";
constexpr const char* kScheduleVariable = "ACM_SCHEDULE";
constexpr uint64_t kDefaultScheduleCap = 10000;

std::optional<uint64_t> parse_seed(std::string_view text)
{
    if (text.empty() || text.size() > 19)   // 19 digits cannot overflow 64 bits
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + uint64_t(c - '0');
    }
    if (value == 0)
        return std::nullopt;
    return value;
}

std::string this_program()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, size_t(n)) : std::string("<test program>");
}

std::string current_test_name()
{
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return test ? std::string(test->test_suite_name()) + "." + test->name() : "*";
}

struct Bound {
    int count;
    uint64_t cap;
    preemptions::Cost cost = preemptions::Cost::preemption;
};

// "N" or "N:CAP", N from 0 to 9, CAP from 1.
std::optional<Bound> parse_bound(std::string_view text)
{
    const size_t colon = text.find(':');
    const std::string_view n = text.substr(0, colon);
    if (n.size() != 1 || n[0] < '0' || n[0] > '9')
        return std::nullopt;
    if (colon == std::string_view::npos)
        return Bound{ n[0] - '0', kDefaultScheduleCap };
    const auto cap = parse_seed(text.substr(colon + 1));
    if (!cap)
        return std::nullopt;
    return Bound{ n[0] - '0', *cap };
}

// Seed 1, unless ACM_SEEDS names others.
Range schedule_seeds()
{
    return std::getenv(kVariable) ? from_environment(1) : Range{ 1, 1, true };
}

void report_failing_schedule(uint64_t seed, const preemptions::Schedule& schedule, int preemptions)
{
    const std::string text = preemptions::format(schedule);
    std::printf("first failing schedule: %s (seed %llu, %d preemption%s)\n"
                "rerun it alone: %s=%llu %s=%s %s --gtest_filter=%s\n",
                text.c_str(), (unsigned long long)seed, preemptions, preemptions == 1 ? "" : "s", kVariable,
                (unsigned long long)seed, kScheduleVariable, text.c_str(), this_program().c_str(),
                current_test_name().c_str());
    std::fflush(stdout);
}

void explore_seed(uint64_t seed, const Bound& bound, const std::function<bool()>& run_once)
{
    const auto started = std::chrono::steady_clock::now();
    const preemptions::Result result = preemptions::explore(bound.count, bound.cap, run_once, bound.cost);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%s=%d, seed %llu: %llu schedules%s, at most %llu decisions with a choice, %.1f s\n",
                bound.cost == preemptions::Cost::preemption ? kBoundVariable : kDelayVariable, bound.count,
                (unsigned long long)seed, (unsigned long long)result.schedules,
                result.capped ? " (capped: more are left)" : result.failing ? " (stopped at a failure)" : " (all)",
                (unsigned long long)result.most_decisions, seconds);
    std::fflush(stdout);
    if (!result.divergence.empty())
        ADD_FAILURE() << "the scenario does not replay the same way under one schedule (" << result.divergence
                      << "): something outside the controlled scheduler decides its course";
    if (result.failing)
        report_failing_schedule(seed, *result.failing, result.failing_preemptions);
}

}  // namespace

bool schedules_requested()
{
    return std::getenv(kBoundVariable) || std::getenv(kDelayVariable) || std::getenv(kScheduleVariable);
}

Range run_schedules(const std::function<void(uint64_t)>& body)
{
    const char* bound_variable = std::getenv(kBoundVariable) ? kBoundVariable : kDelayVariable;
    const char* bound_text = std::getenv(bound_variable);
    const char* schedule_text = std::getenv(kScheduleVariable);
    auto bound = bound_text ? parse_bound(bound_text) : std::nullopt;
    if (bound && bound_variable == kDelayVariable)
        bound->cost = preemptions::Cost::every_departure;
    const auto schedule = schedule_text ? preemptions::parse(schedule_text) : std::nullopt;
    if (schedule_text ? !schedule : !bound) {
        ADD_FAILURE() << (schedule_text ? kScheduleVariable : bound_variable) << "=\""
                      << (schedule_text ? schedule_text : bound_text) << "\" is not valid: expected "
                      << kBoundVariable << " or " << kDelayVariable
                      << "=N or N:CAP (a bound of 0 to 9, at most CAP schedules) or " << kScheduleVariable
                      << "=DECISION:THREAD,... or default, as a failure printed it";
        return Range{ 1, 0, true };
    }
    const Range range = schedule_seeds();
    const bool failed_before = ::testing::Test::HasFailure();
    for (uint64_t seed = range.first; seed <= range.last && seed >= range.first; ++seed) {
        auto run_once = [&] {
            body(seed);
            return failed_before || !::testing::Test::HasFailure();
        };
        if (schedule) {
            const preemptions::Result result = preemptions::replay(*schedule, run_once);
            if (!result.divergence.empty())
                ADD_FAILURE() << kScheduleVariable << "=" << schedule_text << " does not fit this scenario: "
                              << result.divergence;
        } else
            explore_seed(seed, *bound, run_once);
        if (!failed_before && ::testing::Test::HasFailure())
            break;
    }
    return range;
}

std::optional<Range> parse(std::string_view text)
{
    const size_t colon = text.find(':');
    const auto first = parse_seed(text.substr(0, colon));
    const auto last = colon == std::string_view::npos ? first : parse_seed(text.substr(colon + 1));
    if (!first || !last || *last < *first)
        return std::nullopt;
    return Range{ *first, *last, true };
}

Range from_environment(uint64_t default_count)
{
    const char* text = std::getenv(kVariable);
    if (!text)
        return Range{ 1, default_count, false };
    if (auto range = parse(text))
        return *range;
    ADD_FAILURE() << kVariable << "=\"" << text << "\" is not a seed range: expected " << kVariable
                  << "=N (one seed) or " << kVariable << "=FIRST:LAST (seeds FIRST to LAST), "
                  << "whole numbers from 1 with FIRST <= LAST";
    return Range{ 1, 0, true };
}

void report_failure(uint64_t seed)
{
    const std::string name = current_test_name();
    std::printf("first failing seed: %llu\nrerun it alone: %s=%llu %s --gtest_filter=%s\n",
                (unsigned long long)seed, kVariable, (unsigned long long)seed, this_program().c_str(),
                name.c_str());
    std::fflush(stdout);
}

}  // namespace seeds
