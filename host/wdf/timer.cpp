// Framework timers: the host's timer queue fires them, and their callback
// runs from a DPC at DISPATCH_LEVEL on a processor thread.
#include "host/wdf/dpc.h"

#include "host/kernel/verifier.h"

namespace host::wdf {

namespace {

// The clock runs a timer's expiry with the scheduler lock held; the
// scheduler's queueing calls take that lock only as proof that it is held.
std::unique_lock<std::mutex>& clock_lock()
{
    static std::unique_lock<std::mutex> held_by_clock;
    return held_by_clock;
}

struct TimerRecord : DpcRecord {
    TimerHandle armed = 0;    // in the host's timer queue; 0: not
    Time due = 0;
    Time period = 0;          // 0: one-shot

    bool busy() const override { return armed != 0 || DpcRecord::busy(); }

    void arm_locked(std::unique_lock<std::mutex>& lk, Time at)
    {
        due = at;
        armed = timer_arm(lk, at, [this] { expire(); });
    }

    // The timer reached its due time: queue the callback's DPC and, for a
    // periodic timer, the next expiry.
    void expire()
    {
        armed = 0;
        if (period != 0)
            arm_locked(clock_lock(), due + period);
        dpc_queue(clock_lock(), &dpc);
    }

    bool disarm_locked(std::unique_lock<std::mutex>& lk)
    {
        bool was_armed = armed != 0 && timer_disarm(lk, armed);
        armed = 0;
        return was_armed;
    }
};

struct FxTimer : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::timer;
    FxTimer() : FxObject(kKind) {}

    std::unique_ptr<TimerRecord> record = std::make_unique<TimerRecord>();

    void dispose() override
    {
        auto lk = sched_lock();
        record->deleted = true;
        record->disarm_locked(lk);
        dpc_dequeue(lk, &record->dpc);
        if (current_irql() == PASSIVE_LEVEL && record->callback_thread != current_thread())
            dpc_flush(lk, &record->dpc);
        retire_locked(std::move(record));
    }
};

// Host time of a due time: negative values are relative (100-ns units),
// positive ones absolute system time.
Time host_time_of(LONGLONG due_time)
{
    if (due_time < 0)
        return now() - due_time;
    LARGE_INTEGER system_now;
    KeQuerySystemTime(&system_now);
    return now() + std::max<LONGLONG>(0, due_time - system_now.QuadPart);
}

}  // namespace

}  // namespace host::wdf

using namespace host;
using namespace host::wdf;

WDFAPI NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer)
{
    *Timer = nullptr;
    FxTimer* timer = nullptr;
    NTSTATUS status = create_callback_object(Config, &WDF_TIMER_CONFIG::EvtTimerFunc, Attributes, "WdfTimerCreate", &timer);
    if (!NT_SUCCESS(status))
        return status;
    timer->record->period = Time(Config->Period) * kMillisecond;
    timer->record->bind("EvtTimerFunc", timer->handle_as<WDFTIMER>(), Config->EvtTimerFunc);
    *Timer = timer->handle_as<WDFTIMER>();
    return STATUS_SUCCESS;
}

WDFAPI BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfTimerStart");
    FxTimer* timer = resolve<FxTimer>(Timer, "WdfTimerStart");
    if (timer == nullptr)
        return FALSE;
    Time at = host_time_of(DueTime);
    auto lk = sched_lock();
    bool was_armed = timer->record->disarm_locked(lk);
    timer->record->arm_locked(lk, at);
    return was_armed ? TRUE : FALSE;
}

WDFAPI BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
{
    FxTimer* timer = resolve<FxTimer>(Timer, "WdfTimerStop");
    if (timer == nullptr)
        return FALSE;
    TimerRecord* record = timer->record.get();
    bool wait = Wait && may_wait("WdfTimerStop(Wait TRUE)");
    {
        auto lk = sched_lock();
        bool own_callback = record->callback_thread == current_thread();
        lk.unlock();
        if (Wait && own_callback) {
            verifier_report("deadlock", "WdfTimerStop(Wait TRUE) from the timer's own callback waits for itself");
            wait = false;
        }
    }
    auto lk = sched_lock();
    bool was_armed = record->disarm_locked(lk);
    if (wait)
        dpc_flush(lk, &record->dpc);
    return was_armed ? TRUE : FALSE;
}

WDFAPI WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer)
{
    FxTimer* timer = resolve<FxTimer>(Timer, "WdfTimerGetParentObject");
    return timer && timer->parent ? timer->parent->handle() : nullptr;
}
