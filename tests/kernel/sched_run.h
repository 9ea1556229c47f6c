// What the scheduler's tests share: a scheduler started for one scope, and
// host threads that run a body side by side.
#pragma once

#include "host/kernel/sched.h"

#include <string>
#include <vector>

namespace schedtest {

struct SchedulerRun {
    explicit SchedulerRun(host::SchedConfig config) { host::sched_start(config); }
    ~SchedulerRun() { host::sched_stop(); }
};

// Runs `body` on `count` host threads at once and joins them all.
template <typename Body>
void on_host_threads(int count, const char* name, Body body)
{
    std::vector<host::Thread*> threads;
    for (int t = 0; t < count; ++t)
        threads.push_back(host::spawn(name, body));
    for (host::Thread* t : threads)
        host::join(t);
}

// Threads 'a' and 'b' each append their letter `steps` times, a scheduling
// point after each; the result is the interleaving the scheduler chose.
inline std::string two_letter_interleaving(int steps)
{
    std::string order;
    auto body = [&order, steps](char c) {
        return [&order, c, steps] {
            for (int i = 0; i < steps; ++i) {
                order += c;
                host::yield_point("step");
            }
        };
    };
    host::Thread* a = host::spawn("a", body('a'));
    host::Thread* b = host::spawn("b", body('b'));
    host::join(a);
    host::join(b);
    return order;
}

}  // namespace schedtest
