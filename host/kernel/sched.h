// The host's execution model: every execution context of Windows (application
// threads, the PnP thread, DPCs on processors, timer expiry, system worker
// threads, the bus's completion context) is a host thread with an IRQL.
//
// Controlled mode runs one thread at a time. At every scheduling point a
// generator seeded by the test picks which ready thread runs next, and time is
// virtual: it moves only when every thread is blocked, straight to the next
// due deadline. The same seed gives the same run.
//
// Free mode runs real threads on real time.
//
// All host state is guarded by one lock, the scheduler lock (`SchedLock`).
// Blocking is always `wait_until(lock, predicate, deadline)`: the predicate is
// evaluated with the lock held; whoever changes state a predicate reads must
// do so under the lock and then call `notify_all()`. Free mode needs it to
// wake the waiter; controlled mode re-evaluates a blocked thread's predicate
// only after a `notify_all()`, a timer or a step of virtual time, and
// otherwise takes its last answer as still good.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace host {

enum class Mode { controlled, free };

// 100-ns units since the scheduler started (like the interrupt time).
using Time = int64_t;
constexpr Time kForever = INT64_MAX;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

class Thread;

struct SchedConfig {
    Mode mode = Mode::controlled;
    uint64_t seed = 1;
    unsigned processors = 2;   // DPC threads
    unsigned workers = 2;      // system worker threads (work items)
};

// Starts the scheduler and adopts the calling thread as the "main" thread,
// running at PASSIVE_LEVEL. Everything the host does afterwards happens on
// scheduler threads. `sched_stop` ends and joins every thread it spawned.
void sched_start(const SchedConfig& config);
void sched_stop();
bool sched_running();
Mode sched_mode();
uint64_t sched_seed();

// The scheduler lock. Hold it only for short, non-blocking host bookkeeping;
// never across a call into driver code.
std::unique_lock<std::mutex> sched_lock();

// --- time ------------------------------------------------------------------
Time now();

// --- threads ---------------------------------------------------------------
// Creates a thread that runs `body` at PASSIVE_LEVEL. In controlled mode it
// runs only when the scheduler picks it. The thread ends when body returns.
Thread* spawn(std::string name, std::function<void()> body);
// Blocks until `t` has ended, then frees it.
void join(Thread* t);

Thread* current_thread();             // nullptr on a thread the scheduler does not know
const std::string& thread_name(const Thread* t);
uint32_t thread_id(const Thread* t);  // small, deterministic: 1 = main
uint8_t current_irql();
void set_current_irql(uint8_t irql);
// Number of spin locks the current thread holds (the verifier checks it).
int& held_spin_locks();

// Whether the thread runs in the context of the process' user address space:
// an application thread outside driver code, or the driver in the caller's
// context (EvtIoInCallerContext). Threads start in it; the host's processors,
// system worker threads and PnP thread leave it at once. Setting it for the
// current thread returns what it was.
bool in_user_context(const Thread* t);
bool set_user_context(bool in);
// Told, with the scheduler lock held, whenever the controlled scheduler hands
// the processor to a thread, before that thread goes on; and when the current
// thread changes its user context. The host's user address space uses it to
// let only a thread in user context reach user memory directly.
void sched_set_context_hook(void (*hook)(bool in_user_context));

// --- scheduling ------------------------------------------------------------
// A scheduling point: in controlled mode the scheduler may switch to another
// ready thread here. `what` names the point for the schedule trace.
void yield_point(const char* what);

// Blocks the current thread until `ready()` holds or `deadline` (absolute
// host time) passes; returns false on time-out. `lock` must be the scheduler
// lock, held; it is held again on return. `what` names the wait for deadlock
// reports.
bool wait_until(std::unique_lock<std::mutex>& lock, const std::function<bool()>& ready,
                Time deadline, const char* what);

// Wakes the waiters whose predicates now hold (free mode: it evaluates them);
// call it after a state change, with the scheduler lock still held.
void notify_all();

// --- timer queue -----------------------------------------------------------
// Runs `fire` when host time reaches `due`. `fire` runs with the scheduler
// lock held, like a clock interrupt: it only changes host state (queue a DPC,
// signal an event) and must not block or call driver code.
using TimerHandle = uint64_t;
TimerHandle timer_arm(std::unique_lock<std::mutex>& lock, Time due, std::function<void()> fire);
// Removes an armed timer; returns true if it was still pending (so it will
// not fire), false if it already fired or was never armed.
bool timer_disarm(std::unique_lock<std::mutex>& lock, TimerHandle timer);

// --- DPCs and work items ---------------------------------------------------
// A deferred procedure: queued at most once at a time, run at DISPATCH_LEVEL
// on one of the processor threads.
struct Dpc {
    std::function<void()> routine;
    const char* name = "dpc";
    bool queued = false;   // under the scheduler lock
    int running = 0;       // how many processors run it right now
};
// Returns false if it was already queued.
bool dpc_queue(std::unique_lock<std::mutex>& lock, Dpc* dpc);
// Returns true if it removed the DPC from the queue before it ran.
bool dpc_dequeue(std::unique_lock<std::mutex>& lock, Dpc* dpc);
// Blocks until no DPC and no routine queued by `dpc_queue` is running or queued
// for `dpc` (KeFlushQueuedDpcs for one DPC).
void dpc_flush(std::unique_lock<std::mutex>& lock, Dpc* dpc);

// A work item: run once at PASSIVE_LEVEL on a system worker thread.
struct WorkItem {
    std::function<void()> routine;
    const char* name = "work";
    bool queued = false;
    int running = 0;
};
bool work_queue(std::unique_lock<std::mutex>& lock, WorkItem* item);
void work_flush(std::unique_lock<std::mutex>& lock, WorkItem* item);

// --- schedule trace --------------------------------------------------------
// A digest of every scheduling decision so far; tests compare it between
// seeds and runs.
uint64_t schedule_digest();
// How many scheduling decisions the controlled scheduler made so far.
uint64_t schedule_decisions();

// --- systematic exploration ----------------------------------------------
// A harness that enumerates schedules sets a chooser: at each decision with
// more than one runnable thread, the controlled scheduler asks it instead of
// the seeded generator. A scheduler started while a chooser is set takes a
// token from it (never 0, never reused) and hands the token back with every
// choice, so that the chooser can leave a host of an earlier schedule (shut
// down by the next) to the generator; once no chooser is set, the generator
// decides for every scheduler.
struct Candidate {
    uint32_t id;
    // Set for a system thread waiting for work on this queue: any other
    // idle thread of the same queue would do the same.
    const void* idle_queue;
};

class Chooser {
public:
    static constexpr size_t kGenerator = SIZE_MAX;
    virtual uint64_t attach() = 0;
    // An index into `candidates` (runnable threads in creation order), or
    // kGenerator. `current` is the thread that reached the scheduling point;
    // it is among the candidates when it could go on.
    virtual size_t choose(uint64_t token, const std::vector<Candidate>& candidates, uint32_t current) = 0;

protected:
    ~Chooser() = default;
};

// Applies to schedulers started from now on; nullptr restores the generator.
void set_chooser(Chooser* chooser);

}  // namespace host
