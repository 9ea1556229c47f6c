// The host's verifier: the framework's verifier and Driver Verifier in one.
// A broken rule is reported with the check's name, the objects involved, the
// IRQL and the last trace lines. By default the run stops (abort); tests that
// prove a check fires switch to recording and read the violations.
#pragma once

#include <string>
#include <vector>

namespace host {

struct Violation {
    std::string check;    // e.g. "request-completed-twice"
    std::string detail;   // objects, values
};

void verifier_report(const std::string& check, const std::string& detail);

enum class VerifierAction { stop, record };
void verifier_set_action(VerifierAction action);
std::vector<Violation> verifier_violations();
bool verifier_fired(const std::string& check);
void verifier_reset();

// Allocation fault injection. Counted are the allocations a driver can see
// fail: framework objects made for it and its ExAllocatePool* calls; the
// host's own bookkeeping is not. Both modes restart the count.
// VerifierAllocateFailCount: with n >= 0 every allocation after the n-th
// fails; -1 turns it off.
void verifier_fail_allocations_after(long n);
// Low-resources simulation one allocation at a time: the n-th (n >= 1)
// fails and no other; 0 turns it off.
void verifier_fail_allocation(long n);
// Called at each counted allocation, `what` naming it; true means fail it.
bool verifier_allocation_fails(const char* what = "allocation");
long verifier_allocation_count();
// What the fail-one mode failed, or "" while it has failed nothing.
std::string verifier_failed_allocation();

// Checks shared by host components.
// Fails "irql" unless the current IRQL is at most `max`.
void verify_irql_at_most(unsigned max, const char* call);
// Fails "spinlock-held" if the current thread holds a spin lock.
void verify_no_spin_lock_held(const char* call);

}  // namespace host
