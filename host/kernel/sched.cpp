// The scheduler: controlled (one thread at a time, seeded choices, virtual
// time) and free (real threads, real time) execution of the host's threads.
#include "host/kernel/sched.h"

#include "host/kernel/verifier.h"
#include "host/rtl/trace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace host {

namespace {

constexpr uint8_t kDispatchLevel = 2;

enum class State { ready, running, blocked, finished };

}  // namespace

class Thread {
public:
    std::string name;
    uint32_t id = 0;
    uint8_t irql = 0;
    int spin_locks = 0;
    bool user_context = true;
    State state = State::ready;
    // Controlled mode: this thread holds the processor token.
    bool scheduled = false;
    std::condition_variable wake;
    // What a blocked thread waits for.
    const std::function<bool()>* ready_when = nullptr;
    // Controlled mode: the state epoch at which `ready_when` last said no.
    uint64_t unready_at = 0;
    // A system thread waiting for work on this queue.
    const void* idle_queue = nullptr;
    // Free mode: a state change made the predicate hold (set by the notifier).
    bool woken = false;
    Time deadline = kForever;
    const char* waiting_for = "";
    std::function<void()> body;
    std::thread os_thread;
};

namespace {

struct Timer {
    Time due;
    std::function<void()> fire;
};

struct Scheduler {
    SchedConfig config;
    std::mutex lock;
    std::condition_variable changed;   // free mode: waits of threads the scheduler does not know
    std::condition_variable clock_changed;   // free mode: the timer queue or `stopping` changed
    std::vector<Thread*> sleepers;     // free mode: scheduler threads waiting for a predicate
    std::vector<Thread*> runnable;     // controlled mode: reused by every decision
    std::vector<Candidate> candidates; // the same, for a chooser
    uint64_t chooser_token = 0;        // 0: no chooser was set at the start
    std::vector<Thread*> threads;      // live threads, in creation order
    std::vector<Thread*> unjoined;     // spawned threads nobody joined yet
    Thread* running = nullptr;         // controlled mode
    uint32_t next_thread_id = 1;
    uint64_t rng = 0;
    uint64_t digest = 0xcbf29ce484222325ull;
    uint64_t decisions = 0;
    // Moves on at every notify_all, timer and step of virtual time: a
    // predicate that said no at the current epoch still says no.
    uint64_t epoch = 1;
    Time virtual_now = 0;
    std::chrono::steady_clock::time_point started;
    std::map<TimerHandle, Timer> timers;
    std::set<std::pair<Time, TimerHandle>> timer_order;
    TimerHandle next_timer = 1;
    std::deque<Dpc*> dpcs;
    std::deque<WorkItem*> work;
    bool stopping = false;
    std::thread clock;                 // free mode: fires timers on real time
};

Scheduler* g_sched = nullptr;
Chooser* g_chooser = nullptr;
thread_local Thread* t_current = nullptr;
std::atomic<void (*)(bool)> g_context_hook{nullptr};

void tell_context(const Thread* t)
{
    if (auto hook = g_context_hook.load())
        hook(t->user_context);
}

bool controlled() { return g_sched && g_sched->config.mode == Mode::controlled; }

uint64_t next_random()
{
    // splitmix64: the same sequence for the same seed on every platform.
    uint64_t z = (g_sched->rng += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

void record_choice(const Thread* t)
{
    g_sched->digest = (g_sched->digest ^ t->id) * 0x100000001b3ull;
    ++g_sched->decisions;
}

Time real_now()
{
    auto elapsed = std::chrono::steady_clock::now() - g_sched->started;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

// Fires every timer due at or before `now`, in order of due time.
void fire_due_timers(Time now)
{
    auto& s = *g_sched;
    ++s.epoch;
    while (!s.timer_order.empty() && s.timer_order.begin()->first <= now) {
        TimerHandle handle = s.timer_order.begin()->second;
        s.timer_order.erase(s.timer_order.begin());
        auto node = s.timers.extract(handle);
        node.mapped().fire();
    }
}

// A blocked thread's wait reads what it waits for (an OVERLAPPED, say) in
// its own context, whichever thread evaluates it.
bool ready_now(const Thread* t)
{
    const Thread* self = g_sched->running;
    auto hook = g_context_hook.load();
    if (!hook || !t->user_context || !self || self->user_context)
        return (*t->ready_when)();
    hook(true);
    bool ready = (*t->ready_when)();
    hook(false);
    return ready;
}

bool can_run(Thread* t)
{
    if (t->state == State::ready)
        return true;
    if (t->state != State::blocked)
        return false;
    if (t->deadline <= g_sched->virtual_now)
        return true;
    if (t->unready_at == g_sched->epoch)
        return false;
    if (ready_now(t))
        return true;
    t->unready_at = g_sched->epoch;
    return false;
}

[[noreturn]] void report_deadlock()
{
    std::ostringstream detail;
    detail << "every thread is blocked and no timer is due at t=" << g_sched->virtual_now << ":";
    for (Thread* t : g_sched->threads)
        detail << "\n  thread " << t->id << " '" << t->name << "' waits for " << t->waiting_for;
    verifier_report("deadlock", detail.str());
    std::fprintf(stderr, "host: deadlock, stopping\n");
    std::abort();
}

// Which of several runnable threads runs: the chooser's pick while it
// drives this scheduler, else the seeded generator's.
size_t choose_among(const std::vector<Thread*>& runnable, const Thread* current)
{
    auto& s = *g_sched;
    if (g_chooser && s.chooser_token) {
        s.candidates.clear();
        for (Thread* t : runnable)
            s.candidates.push_back({t->id, t->idle_queue});
        const size_t i = g_chooser->choose(s.chooser_token, s.candidates, current->id);
        if (i < runnable.size())
            return i;
    }
    return next_random() % runnable.size();
}

// Picks the next thread to run after `current` reached a scheduling point;
// advances virtual time when none can.
Thread* pick_next(const Thread* current)
{
    auto& s = *g_sched;
    std::vector<Thread*>& runnable = s.runnable;
    for (;;) {
        runnable.clear();
        for (Thread* t : s.threads)
            if (can_run(t))
                runnable.push_back(t);
        if (!runnable.empty())
            break;
        Time next = kForever;
        if (!s.timer_order.empty())
            next = s.timer_order.begin()->first;
        for (Thread* t : s.threads)
            if (t->state == State::blocked)
                next = std::min(next, t->deadline);
        if (next == kForever)
            report_deadlock();
        s.virtual_now = std::max(s.virtual_now, next);
        fire_due_timers(s.virtual_now);
    }
    Thread* chosen = runnable[runnable.size() == 1 ? 0 : choose_among(runnable, current)];
    record_choice(chosen);
    return chosen;
}

// Gives the processor away after `self` set its own state; returns when the
// scheduler picks `self` again (never, once `self` has finished).
void switch_away(Thread* self, std::unique_lock<std::mutex>& lk)
{
    auto& s = *g_sched;
    Thread* next = pick_next(self);
    if (next == self) {
        self->state = State::running;
        return;
    }
    self->scheduled = false;
    next->state = State::running;
    next->scheduled = true;
    s.running = next;
    tell_context(next);
    next->wake.notify_one();
    if (self->state == State::finished)
        return;
    self->wake.wait(lk, [self] { return self->scheduled; });
}

void thread_main(Thread* self)
{
    t_current = self;
    {
        std::unique_lock lk(g_sched->lock);
        if (controlled())
            self->wake.wait(lk, [self] { return self->scheduled; });
    }
    self->body();
    std::unique_lock lk(g_sched->lock);
    self->state = State::finished;
    auto& threads = g_sched->threads;
    threads.erase(std::find(threads.begin(), threads.end(), self));
    notify_all();
    if (controlled())
        switch_away(self, lk);
}

Thread* make_thread(std::string name)
{
    auto* t = new Thread;
    t->name = std::move(name);
    t->id = g_sched->next_thread_id++;
    return t;
}

Thread* start_thread(std::string name, std::function<void()> body, const void* idle_queue = nullptr)
{
    std::unique_lock lk(g_sched->lock);
    Thread* t = make_thread(std::move(name));
    t->body = std::move(body);
    t->idle_queue = idle_queue;
    g_sched->threads.push_back(t);
    g_sched->unjoined.push_back(t);
    t->os_thread = std::thread(thread_main, t);
    return t;
}

template <typename Item>
void run_queue_forever(std::deque<Item*>& queue, uint8_t irql, const char* idle_what)
{
    for (;;) {
        auto lk = sched_lock();
        t_current->idle_queue = &queue;
        wait_until(lk, [&] { return g_sched->stopping || !queue.empty(); }, kForever, idle_what);
        t_current->idle_queue = nullptr;
        if (queue.empty())
            return;   // stopping, nothing left
        Item* item = queue.front();
        queue.pop_front();
        item->queued = false;
        item->running++;
        lk.unlock();
        set_current_irql(irql);
        item->routine();
        if (current_irql() != irql)
            verifier_report("irql", std::string(item->name) + " returned at another IRQL");
        if (held_spin_locks() != 0)
            verifier_report("spinlock-held", std::string(item->name) + " returned holding a spin lock");
        set_current_irql(0);
        held_spin_locks() = 0;
        lk.lock();
        item->running--;
        notify_all();
    }
}

void free_clock_main()
{
    auto& s = *g_sched;
    std::unique_lock lk(s.lock);
    while (!s.stopping) {
        fire_due_timers(real_now());
        if (s.timer_order.empty()) {
            s.clock_changed.wait(lk);
            continue;
        }
        Time due = s.timer_order.begin()->first;
        s.clock_changed.wait_until(lk, s.started + std::chrono::nanoseconds(due * 100));
    }
}

void spawn_system_threads()
{
    for (unsigned i = 0; i < g_sched->config.processors; ++i)
        start_thread("cpu" + std::to_string(i),
                     [] {
                         set_user_context(false);
                         run_queue_forever(g_sched->dpcs, kDispatchLevel, "dpc queue");
                     },
                     &g_sched->dpcs);
    for (unsigned i = 0; i < g_sched->config.workers; ++i)
        start_thread("worker" + std::to_string(i),
                     [] {
                         set_user_context(false);
                         run_queue_forever(g_sched->work, 0, "work queue");
                     },
                     &g_sched->work);
}

}  // namespace

void sched_start(const SchedConfig& config)
{
    if (g_sched)
        throw std::logic_error("host scheduler already running");
    g_sched = new Scheduler;
    g_sched->config = config;
    g_sched->rng = config.seed;
    if (g_chooser && config.mode == Mode::controlled)
        g_sched->chooser_token = g_chooser->attach();
    g_sched->started = std::chrono::steady_clock::now();
    Thread* main = make_thread("main");
    main->state = State::running;
    main->scheduled = true;
    g_sched->threads.push_back(main);
    g_sched->running = main;
    t_current = main;
    if (config.mode == Mode::free)
        g_sched->clock = std::thread(free_clock_main);
    spawn_system_threads();
}

void sched_stop()
{
    if (!g_sched)
        return;
    Thread* main = t_current;
    {
        auto lk = sched_lock();
        g_sched->stopping = true;
        notify_all();
        g_sched->clock_changed.notify_all();
        wait_until(lk, [main] { return g_sched->threads.size() == 1 && g_sched->threads[0] == main; },
                   kForever, "sched_stop: every thread to end");
    }
    // System threads, and any thread its creator did not join.
    for (Thread* t : g_sched->unjoined) {
        t->os_thread.join();
        delete t;
    }
    if (g_sched->clock.joinable())
        g_sched->clock.join();
    delete main;
    delete g_sched;
    g_sched = nullptr;
    t_current = nullptr;
    if (auto hook = g_context_hook.load())
        hook(true);   // one thread again, the process' own
}

bool sched_running() { return g_sched != nullptr; }
Mode sched_mode() { return g_sched ? g_sched->config.mode : Mode::free; }
uint64_t sched_seed() { return g_sched ? g_sched->config.seed : 0; }

std::unique_lock<std::mutex> sched_lock()
{
    static std::mutex idle_lock;   // before the scheduler starts
    return std::unique_lock(g_sched ? g_sched->lock : idle_lock);
}

Time now()
{
    if (!g_sched)
        return 0;
    return controlled() ? g_sched->virtual_now : real_now();
}

Thread* spawn(std::string name, std::function<void()> body) { return start_thread(std::move(name), std::move(body)); }

void join(Thread* t)
{
    {
        auto lk = sched_lock();
        wait_until(lk, [t] { return t->state == State::finished; }, kForever, "join");
        auto& unjoined = g_sched->unjoined;
        unjoined.erase(std::find(unjoined.begin(), unjoined.end(), t));
    }
    t->os_thread.join();
    delete t;
}

Thread* current_thread() { return t_current; }
const std::string& thread_name(const Thread* t) { return t->name; }
uint32_t thread_id(const Thread* t) { return t ? t->id : 0; }

uint8_t current_irql() { return t_current ? t_current->irql : 0; }
void set_current_irql(uint8_t irql)
{
    if (t_current)
        t_current->irql = irql;
}

int& held_spin_locks()
{
    static thread_local int unknown_thread_locks = 0;
    return t_current ? t_current->spin_locks : unknown_thread_locks;
}

bool in_user_context(const Thread* t) { return !t || t->user_context; }

bool set_user_context(bool in)
{
    if (!t_current)
        return true;
    // Only this thread writes it; only the controlled scheduler reads it.
    if (!controlled() || t_current->user_context == in)
        return std::exchange(t_current->user_context, in);
    std::unique_lock lk(g_sched->lock);
    bool was = std::exchange(t_current->user_context, in);
    if (was != in)
        tell_context(t_current);
    return was;
}

void sched_set_context_hook(void (*hook)(bool)) { g_context_hook = hook; }

void yield_point(const char* /*what*/)
{
    if (!controlled() || !t_current)
        return;
    std::unique_lock lk(g_sched->lock);
    t_current->state = State::ready;
    switch_away(t_current, lk);
}

namespace {

void stop_sleeping(Thread* self)
{
    auto& sleepers = g_sched->sleepers;
    sleepers.erase(std::remove(sleepers.begin(), sleepers.end(), self), sleepers.end());
    self->woken = false;
    self->ready_when = nullptr;
}

// A free-mode wait of a scheduler thread: asleep on its own condition
// variable until a notifier finds its predicate true, or the deadline.
bool sleep_until(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready, Time deadline)
{
    Thread* self = t_current;
    const auto due = g_sched->started + std::chrono::nanoseconds(deadline == kForever ? 0 : deadline * 100);
    self->ready_when = &ready;
    for (;;) {
        self->woken = false;
        g_sched->sleepers.push_back(self);
        const auto woken = [self] { return self->woken; };
        if (deadline == kForever)
            self->wake.wait(lk, woken);
        else if (!self->wake.wait_until(lk, due, woken))
            break;
        if (ready())
            break;   // else another thread took what the notifier saw
    }
    stop_sleeping(self);
    return ready();
}

}  // namespace

bool wait_until(std::unique_lock<std::mutex>& lk, const std::function<bool()>& ready, Time deadline,
                const char* what)
{
    if (ready())
        return true;
    if (!g_sched)
        throw std::logic_error(std::string("host: wait without a scheduler: ") + what);
    if (!controlled() && t_current)
        return sleep_until(lk, ready, deadline);
    if (!controlled()) {
        if (deadline == kForever) {
            g_sched->changed.wait(lk, ready);
            return true;
        }
        return g_sched->changed.wait_until(lk, g_sched->started + std::chrono::nanoseconds(deadline * 100),
                                           ready);
    }
    Thread* self = t_current;
    self->state = State::blocked;
    self->ready_when = &ready;
    self->unready_at = g_sched->epoch;   // it said no just now
    self->deadline = deadline;
    self->waiting_for = what;
    switch_away(self, lk);
    self->ready_when = nullptr;
    self->deadline = kForever;
    return ready();
}

// Free mode: wakes only the sleepers whose predicates now hold, each on its
// own condition variable, instead of every waiting thread. The caller holds
// the scheduler lock, so the predicates read consistent state.
void notify_all()
{
    if (!g_sched)
        return;
    ++g_sched->epoch;
    auto& sleepers = g_sched->sleepers;
    for (size_t i = 0; i < sleepers.size();) {
        Thread* t = sleepers[i];
        if (!(*t->ready_when)()) {
            ++i;
            continue;
        }
        t->woken = true;
        t->wake.notify_one();
        sleepers[i] = sleepers.back();
        sleepers.pop_back();
    }
    g_sched->changed.notify_all();
}

TimerHandle timer_arm(std::unique_lock<std::mutex>& /*lk*/, Time due, std::function<void()> fire)
{
    auto& s = *g_sched;
    TimerHandle handle = s.next_timer++;
    s.timers.emplace(handle, Timer{due, std::move(fire)});
    s.timer_order.emplace(due, handle);
    notify_all();
    s.clock_changed.notify_all();
    return handle;
}

bool timer_disarm(std::unique_lock<std::mutex>& /*lk*/, TimerHandle handle)
{
    auto& s = *g_sched;
    auto it = s.timers.find(handle);
    if (it == s.timers.end())
        return false;
    s.timer_order.erase({it->second.due, handle});
    s.timers.erase(it);
    return true;
}

bool dpc_queue(std::unique_lock<std::mutex>& /*lk*/, Dpc* dpc)
{
    if (dpc->queued)
        return false;
    dpc->queued = true;
    g_sched->dpcs.push_back(dpc);
    notify_all();
    return true;
}

bool dpc_dequeue(std::unique_lock<std::mutex>& /*lk*/, Dpc* dpc)
{
    if (!dpc->queued)
        return false;
    auto& q = g_sched->dpcs;
    q.erase(std::find(q.begin(), q.end(), dpc));
    dpc->queued = false;
    notify_all();
    return true;
}

void dpc_flush(std::unique_lock<std::mutex>& lk, Dpc* dpc)
{
    wait_until(lk, [dpc] { return !dpc->queued && dpc->running == 0; }, kForever, "dpc flush");
}

bool work_queue(std::unique_lock<std::mutex>& /*lk*/, WorkItem* item)
{
    if (item->queued)
        return false;
    item->queued = true;
    g_sched->work.push_back(item);
    notify_all();
    return true;
}

void work_flush(std::unique_lock<std::mutex>& lk, WorkItem* item)
{
    wait_until(lk, [item] { return !item->queued && item->running == 0; }, kForever, "work item flush");
}

uint64_t schedule_digest() { return g_sched ? g_sched->digest : 0; }
uint64_t schedule_decisions() { return g_sched ? g_sched->decisions : 0; }

void set_chooser(Chooser* chooser) { g_chooser = chooser; }

}  // namespace host
