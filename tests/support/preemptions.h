// Bounded preemption: every schedule of a scenario in which the running
// thread is switched away from, while it could go on, at most N times.
// Switches where the running thread blocks or ends cost nothing, and every
// runnable thread is tried there. A race that needs one preemption at one
// precise point is found for certain with N = 1, where random seeds find it
// by luck.
//
// The default policy between choices: the running thread goes on while it
// can; otherwise the next runnable thread after it in creation order runs.
// A schedule is written as the decisions that depart from that policy,
// "DECISION:THREAD,..." (the decision's number among those with a choice,
// from 0, and the thread id chosen there), or "default".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace preemptions {

struct Departure {
    uint64_t decision;
    uint32_t thread;
    bool operator==(const Departure&) const = default;
};
using Schedule = std::vector<Departure>;

std::string format(const Schedule& schedule);
std::optional<Schedule> parse(std::string_view text);

struct Result {
    uint64_t schedules = 0;       // runs made
    uint64_t most_decisions = 0;  // decisions with a choice, in the longest run
    bool capped = false;          // stopped at the cap with schedules left
    std::string divergence;       // set when a replayed prefix offered other choices
    std::optional<Schedule> failing;   // the first schedule whose run failed
    int failing_preemptions = 0;
};

// What the bound counts: preemptions only, or every departure from the
// default policy, including the choice of thread where the running one
// blocked or ended (delay bounding: far fewer schedules, since the choices
// at blocking points, free under a preemption bound, multiply with each).
enum class Cost { preemption, every_departure };

// Runs `run_once` under every schedule whose cost is at most `bound`, depth
// first, until a run returns false, or `cap` runs were made. Every
// controlled scheduler started during a run follows the schedule.
Result explore(int bound, uint64_t cap, const std::function<bool()>& run_once, Cost cost = Cost::preemption);

// Runs `run_once` once under `schedule`: `failing` is set when it returned
// false, `divergence` when the schedule named a thread that could not run.
Result replay(const Schedule& schedule, const std::function<bool()>& run_once);

}  // namespace preemptions
