// Framework spin locks and wait locks, built on the scheduler: acquiring is
// a scheduling point, contention blocks the thread, and the verifier checks
// the IRQL rules and that only the owner releases.
#include "host/wdf/fx.h"

#include "host/kernel/verifier.h"

#include <sstream>

namespace host::wdf {

namespace {

struct FxSpinLock : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::spinlock;
    FxSpinLock() : FxObject(kKind) {}

    Thread* owner = nullptr;       // scheduler lock
    KIRQL saved_irql = PASSIVE_LEVEL;
};

struct FxWaitLock : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::waitlock;
    FxWaitLock() : FxObject(kKind) {}

    Thread* owner = nullptr;       // scheduler lock
};

std::string lock_name(const char* kind, const FxObject* object)
{
    std::ostringstream out;
    out << kind << " " << static_cast<const void*>(object);
    return out.str();
}

template <class T>
NTSTATUS create_lock(PWDF_OBJECT_ATTRIBUTES attributes, const char* api, T** lock)
{
    verify_irql_at_most(DISPATCH_LEVEL, api);
    FxDriver* driver = current_driver();
    return create_object(attributes, driver, api, lock);
}

}  // namespace

}  // namespace host::wdf

using namespace host;
using namespace host::wdf;

WDFAPI NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock)
{
    *SpinLock = nullptr;
    FxSpinLock* lock = nullptr;
    NTSTATUS status = create_lock(SpinLockAttributes, "WdfSpinLockCreate", &lock);
    if (NT_SUCCESS(status))
        *SpinLock = lock->handle_as<WDFSPINLOCK>();
    return status;
}

WDFAPI VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfSpinLockAcquire");
    FxSpinLock* lock = resolve<FxSpinLock>(SpinLock, "WdfSpinLockAcquire");
    if (lock == nullptr)
        return;
    Thread* self = current_thread();
    {
        auto lk = sched_lock();
        if (lock->owner == self) {
            lk.unlock();
            verifier_report("spinlock-unbalanced", lock_name("WDFSPINLOCK", lock) + " acquired again by its owner");
            return;
        }
    }
    KIRQL entry_irql = current_irql();
    set_current_irql(DISPATCH_LEVEL);
    yield_point("WdfSpinLockAcquire");
    auto lk = sched_lock();
    wait_until(lk, [lock] { return lock->owner == nullptr; }, kForever, "a WDFSPINLOCK held by another thread");
    lock->owner = self;
    lock->saved_irql = entry_irql;
    held_spin_locks()++;
}

WDFAPI VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    FxSpinLock* lock = resolve<FxSpinLock>(SpinLock, "WdfSpinLockRelease");
    if (lock == nullptr)
        return;
    auto lk = sched_lock();
    if (lock->owner != current_thread()) {
        lk.unlock();
        verifier_report("spinlock-unbalanced", lock_name("WDFSPINLOCK", lock) + " released by a thread that does not hold it");
        return;
    }
    lock->owner = nullptr;
    KIRQL irql = lock->saved_irql;
    held_spin_locks()--;
    notify_all();
    lk.unlock();
    set_current_irql(irql);
    yield_point("WdfSpinLockRelease");
}

WDFAPI NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock)
{
    *Lock = nullptr;
    FxWaitLock* lock = nullptr;
    NTSTATUS status = create_lock(LockAttributes, "WdfWaitLockCreate", &lock);
    if (NT_SUCCESS(status))
        *Lock = lock->handle_as<WDFWAITLOCK>();
    return status;
}

WDFAPI NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout)
{
    bool poll = Timeout != nullptr && *Timeout == 0;
    verify_irql_at_most(poll ? DISPATCH_LEVEL : PASSIVE_LEVEL, "WdfWaitLockAcquire");
    if (!poll)
        verify_no_spin_lock_held("WdfWaitLockAcquire");
    FxWaitLock* lock = resolve<FxWaitLock>(Lock, "WdfWaitLockAcquire");
    if (lock == nullptr)
        return STATUS_INVALID_PARAMETER;
    Time deadline = kForever;
    if (Timeout != nullptr) {
        LARGE_INTEGER system_now;
        KeQuerySystemTime(&system_now);
        deadline = *Timeout <= 0 ? now() - *Timeout : now() + std::max<LONGLONG>(0, *Timeout - system_now.QuadPart);
    }
    Thread* self = current_thread();
    yield_point("WdfWaitLockAcquire");
    auto lk = sched_lock();
    if (lock->owner == self) {
        lk.unlock();
        verifier_report("waitlock-unbalanced", lock_name("WDFWAITLOCK", lock) + " acquired again by its owner");
        return STATUS_SUCCESS;
    }
    if (!wait_until(lk, [lock] { return lock->owner == nullptr; }, deadline, "a WDFWAITLOCK held by another thread"))
        return STATUS_TIMEOUT;
    lock->owner = self;
    return STATUS_SUCCESS;
}

WDFAPI VOID WdfWaitLockRelease(WDFWAITLOCK Lock)
{
    FxWaitLock* lock = resolve<FxWaitLock>(Lock, "WdfWaitLockRelease");
    if (lock == nullptr)
        return;
    auto lk = sched_lock();
    if (lock->owner != current_thread()) {
        lk.unlock();
        verifier_report("waitlock-unbalanced", lock_name("WDFWAITLOCK", lock) + " released by a thread that does not hold it");
        return;
    }
    lock->owner = nullptr;
    notify_all();
    lk.unlock();
    yield_point("WdfWaitLockRelease");
}
