// The verifier: reports broken rules with the context a driver developer
// needs, and either stops the run or records the violation for a test.
#include "host/kernel/verifier.h"

#include "host/kernel/sched.h"
#include "host/rtl/trace.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>

namespace host {

namespace {

std::mutex g_lock;
VerifierAction g_action = VerifierAction::stop;
std::vector<Violation> g_violations;
std::atomic<long> g_fail_after{-1};
std::atomic<long> g_fail_only{0};
std::atomic<long> g_allocations{0};
std::string g_failed_allocation;   // under g_lock

std::string report_text(const std::string& check, const std::string& detail)
{
    std::ostringstream out;
    Thread* t = current_thread();
    out << "VERIFIER: " << check << ": " << detail << "\n"
        << "  thread " << (t ? thread_name(t) : std::string("<unknown>")) << ", IRQL "
        << unsigned(current_irql()) << ", spin locks held " << held_spin_locks() << "\n"
        << "  last trace lines:";
    for (const std::string& line : trace_tail(10))
        out << "\n    " << line;
    return out.str();
}

}  // namespace

void verifier_report(const std::string& check, const std::string& detail)
{
    std::string text = report_text(check, detail);
    trace_host("VERIFIER: " + check + ": " + detail);
    std::lock_guard guard(g_lock);
    if (g_action == VerifierAction::record) {
        g_violations.push_back({check, detail});
        return;
    }
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}

void verifier_set_action(VerifierAction action)
{
    std::lock_guard guard(g_lock);
    g_action = action;
}

std::vector<Violation> verifier_violations()
{
    std::lock_guard guard(g_lock);
    return g_violations;
}

bool verifier_fired(const std::string& check)
{
    std::lock_guard guard(g_lock);
    for (const Violation& v : g_violations)
        if (v.check == check)
            return true;
    return false;
}

void verifier_reset()
{
    std::lock_guard guard(g_lock);
    g_violations.clear();
    g_action = VerifierAction::stop;
    g_fail_after = -1;
    g_fail_only = 0;
    g_allocations = 0;
    g_failed_allocation.clear();
}

void verifier_fail_allocations_after(long n)
{
    g_fail_after = n;
    g_allocations = 0;
}

void verifier_fail_allocation(long n)
{
    std::lock_guard guard(g_lock);
    g_fail_only = n;
    g_allocations = 0;
    g_failed_allocation.clear();
}

bool verifier_allocation_fails(const char* what)
{
    long count = ++g_allocations;
    long limit = g_fail_after.load();
    if (limit >= 0 && count > limit)
        return true;
    if (count != g_fail_only.load())
        return false;
    std::lock_guard guard(g_lock);
    g_failed_allocation = what;
    return true;
}

long verifier_allocation_count() { return g_allocations.load(); }

std::string verifier_failed_allocation()
{
    std::lock_guard guard(g_lock);
    return g_failed_allocation;
}

void verify_irql_at_most(unsigned max, const char* call)
{
    if (current_irql() > max)
        verifier_report("irql", std::string(call) + " called at IRQL " + std::to_string(current_irql()) +
                                    ", above " + std::to_string(max));
}

void verify_no_spin_lock_held(const char* call)
{
    if (held_spin_locks() > 0)
        verifier_report("spinlock-held", std::string(call) + " called while holding a spin lock");
}

}  // namespace host
