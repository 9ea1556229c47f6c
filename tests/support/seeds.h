// The seeds a race test runs: 1..N compiled into the test, or the range that
// ACM_SEEDS names ("1:20000" a range, "777" one seed), so that a sweep can run
// a suite over many more seeds and a failing seed can be rerun alone.
//
// Instead of seeded schedules, ACM_PREEMPTIONS=N[:CAP] runs the body under
// every schedule with at most N preemptions (preemptions.h; at most CAP
// schedules, 10000 unless given), ACM_DELAYS=N[:CAP] under every schedule
// with at most N departures from the default, and ACM_SCHEDULE=... reruns
// one of them; all with seed 1, or each seed ACM_SEEDS names.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace seeds {

struct Range {
    uint64_t first = 1;
    uint64_t last = 0;   // inclusive; last < first is empty
    bool from_environment = false;

    uint64_t count() const { return last < first ? 0 : last - first + 1; }
};

// "N" (one seed) or "A:B" with 1 <= A <= B; nothing else.
std::optional<Range> parse(std::string_view text);

// The range ACM_SEEDS names, or 1..`default_count` when it is unset. A bad
// value fails the running test, naming the variable and its forms, and gives
// an empty range.
Range from_environment(uint64_t default_count);

// Whether outcomes that the default seeds must all reach can be demanded of
// this range: a chosen range shorter than the default (one seed rerun alone,
// say) need not reach them.
inline bool covers_default(const Range& range, uint64_t default_count)
{
    return range.count() >= default_count;
}

// Prints the first failing seed and the command that reruns it alone.
void report_failure(uint64_t seed);

enum class Stop { at_fatal_failure, at_any_failure };

// Whether ACM_PREEMPTIONS, ACM_DELAYS or ACM_SCHEDULE is set.
bool schedules_requested();
// Runs `body` under the schedules they ask for and stops at the first
// failing schedule, naming it and the command that reruns it alone.
Range run_schedules(const std::function<void(uint64_t)>& body);

// Runs `body(seed)` over the seeds of `from_environment(default_count)`, in
// order (or as ACM_PREEMPTIONS or ACM_SCHEDULE ask). Stops after the first seed with a fatal failure, or with any failure
// under Stop::at_any_failure, and reports the first failing seed.
template <typename Body>
Range run(uint64_t default_count, Body&& body, Stop stop = Stop::at_any_failure)
{
    if (schedules_requested())
        return run_schedules(body);
    const Range range = from_environment(default_count);
    bool reported = ::testing::Test::HasFailure();   // a failure before the seeds is none of theirs
    for (uint64_t seed = range.first; seed <= range.last && seed >= range.first; ++seed) {
        body(seed);
        if (!reported && ::testing::Test::HasFailure()) {
            report_failure(seed);
            reported = true;
        }
        if (::testing::Test::HasFatalFailure() || (stop == Stop::at_any_failure && reported))
            break;
    }
    return range;
}

}  // namespace seeds
