#include "seeds.h"

#include <cstdio>
#include <cstdlib>
#include <limits.h>
#include <unistd.h>

namespace seeds {
namespace {

constexpr const char* kVariable = "ACM_SEEDS";

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

}  // namespace

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
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "*";
    std::printf("first failing seed: %llu\nrerun it alone: %s=%llu %s --gtest_filter=%s\n",
                (unsigned long long)seed, kVariable, (unsigned long long)seed, this_program().c_str(),
                name.c_str());
    std::fflush(stdout);
}

}  // namespace seeds
