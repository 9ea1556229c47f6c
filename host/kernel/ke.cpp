// Kernel executive routines exported to drivers: IRQL, threads, time,
// interlocked operations and pool, on top of the scheduler.
#include <ntddk.h>

#include "host/kernel/pool.h"
#include "host/kernel/sched.h"
#include "host/kernel/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// 2026-01-01 00:00 UTC as a Windows system time (100-ns units since 1601).
constexpr LONGLONG kBootSystemTime = 134115840000000000LL;
constexpr ULONG kTimeIncrement = 156250;   // 15.625 ms clock tick

std::atomic<long> g_driver_pool_blocks{0};

// A deterministic, recognisable KTHREAD address for each host thread.
PKTHREAD thread_address(uint32_t id)
{
    return reinterpret_cast<PKTHREAD>(uintptr_t(0x86000000) + uintptr_t(id) * 0x1000);
}

template <typename T, typename Op>
T interlocked(T volatile* target, Op op)
{
    host::yield_point("interlocked");
    return op(const_cast<T*>(target));
}

// The value before; `exchange` replaced it if it was `comperand`.
template <typename T>
T compare_exchange(T volatile* destination, T exchange, T comperand)
{
    return interlocked(destination, [=](T* d) {
        T expected = comperand;
        __atomic_compare_exchange_n(d, &expected, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
        return expected;
    });
}

}  // namespace

EXTERN_C KIRQL KeGetCurrentIrql(void) { return host::current_irql(); }

EXTERN_C VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    KIRQL old = host::current_irql();
    if (NewIrql < old)
        host::verifier_report("irql", "KeRaiseIrql to a lower IRQL");
    *OldIrql = old;
    host::set_current_irql(NewIrql);
}

EXTERN_C VOID KeLowerIrql(KIRQL NewIrql)
{
    if (NewIrql > host::current_irql())
        host::verifier_report("irql", "KeLowerIrql to a higher IRQL");
    host::set_current_irql(NewIrql);
}

EXTERN_C KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

EXTERN_C PKTHREAD KeGetCurrentThread(void) { return thread_address(host::thread_id(host::current_thread())); }

EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE /*WaitMode*/, BOOLEAN /*Alertable*/, PLARGE_INTEGER Interval)
{
    host::verify_irql_at_most(APC_LEVEL, "KeDelayExecutionThread");
    host::verify_no_spin_lock_held("KeDelayExecutionThread");
    LONGLONG interval = Interval->QuadPart;
    // Negative: relative; positive: absolute system time.
    host::Time deadline = interval < 0 ? host::now() - interval : interval - kBootSystemTime;
    auto lk = host::sched_lock();
    host::wait_until(lk, [] { return false; }, deadline, "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

// A stall keeps the processor busy for the interval: other threads run
// meanwhile and time passes, so a thread that polls with stalls sees the
// clock move in controlled mode too.
EXTERN_C VOID KeStallExecutionProcessor(ULONG MicroSeconds)
{
    auto lk = host::sched_lock();
    host::wait_until(lk, [] { return false; }, host::now() + host::Time(MicroSeconds) * 10,
                     "KeStallExecutionProcessor");
}

EXTERN_C ULONGLONG KeQueryInterruptTime(void) { return ULONGLONG(host::now()); }

EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kBootSystemTime + host::now(); }

EXTERN_C VOID KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = host::now() / kTimeIncrement; }

EXTERN_C ULONG KeQueryTimeIncrement(void) { return kTimeIncrement; }

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG /*Tag*/)
{
    if (PoolType == PagedPool)
        host::verify_irql_at_most(APC_LEVEL, "ExAllocatePoolWithTag(PagedPool)");
    else
        host::verify_irql_at_most(DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (host::verifier_allocation_fails("ExAllocatePoolWithTag"))
        return nullptr;
    PVOID block = host::pool_alloc(NumberOfBytes);
    if (block)
        ++g_driver_pool_blocks;
    return block;
}

EXTERN_C PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0);
}

EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG /*Tag*/)
{
    host::verify_irql_at_most(DISPATCH_LEVEL, "ExFreePoolWithTag");
    if (P)
        --g_driver_pool_blocks;
    host::pool_free(P);
}

EXTERN_C VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

long host::pool_driver_blocks() { return g_driver_pool_blocks.load(); }

EXTERN_C LONG InterlockedIncrement(LONG volatile* Addend)
{
    return interlocked(Addend, [](LONG* a) { return __atomic_add_fetch(a, 1, __ATOMIC_SEQ_CST); });
}

EXTERN_C LONG InterlockedDecrement(LONG volatile* Addend)
{
    return interlocked(Addend, [](LONG* a) { return __atomic_sub_fetch(a, 1, __ATOMIC_SEQ_CST); });
}

EXTERN_C LONG InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return interlocked(Target, [=](LONG* t) { return __atomic_exchange_n(t, Value, __ATOMIC_SEQ_CST); });
}

EXTERN_C LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return interlocked(Addend, [=](LONG* a) { return __atomic_fetch_add(a, Value, __ATOMIC_SEQ_CST); });
}

EXTERN_C LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand)
{
    return compare_exchange(Destination, Exchange, Comperand);
}

EXTERN_C LONG InterlockedOr(LONG volatile* Destination, LONG Value)
{
    return interlocked(Destination, [=](LONG* d) { return __atomic_fetch_or(d, Value, __ATOMIC_SEQ_CST); });
}

EXTERN_C LONG InterlockedAnd(LONG volatile* Destination, LONG Value)
{
    return interlocked(Destination, [=](LONG* d) { return __atomic_fetch_and(d, Value, __ATOMIC_SEQ_CST); });
}

EXTERN_C PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value)
{
    return interlocked(Target, [=](PVOID* t) { return __atomic_exchange_n(t, Value, __ATOMIC_SEQ_CST); });
}

EXTERN_C PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange, PVOID Comperand)
{
    return compare_exchange(Destination, Exchange, Comperand);
}

// As a checked build of Windows prints to the debugger; then the verifier
// stops the run, or records the failure for a test that looks for it.
EXTERN_C VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber, PSTR MutableMessage)
{
    std::fprintf(stderr, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %lu\n",
                 MutableMessage ? MutableMessage : "", MutableMessage ? " " : "",
                 static_cast<const char*>(VoidFailedAssertion), static_cast<const char*>(VoidFileName),
                 static_cast<unsigned long>(LineNumber));
    std::string detail = std::string(static_cast<const char*>(VoidFileName)) + ":" + std::to_string(LineNumber) +
                         ": " + static_cast<const char*>(VoidFailedAssertion);
    if (MutableMessage)
        detail += " (" + std::string(MutableMessage) + ")";
    host::verifier_report("assertion", detail);
}

EXTERN_C VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4)
{
    char text[128];
    std::snprintf(text, sizeof text, "bug check 0x%x (%lx, %lx, %lx, %lx)", BugCheckCode, (unsigned long)P1,
                  (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
    host::verifier_report("bugcheck", text);
    std::abort();
}
