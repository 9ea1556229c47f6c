/* Kernel executive: IRQL, threads, time, interlocked operations, pool. */
#pragma once
#include "../ntdef.h"

typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE { KernelMode, UserMode, MaximumMode } MODE;

typedef struct _KTHREAD* PKTHREAD;
typedef struct _KTHREAD* PRKTHREAD;
typedef struct _EPROCESS* PEPROCESS;

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = 0,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolNx = 512,
} POOL_TYPE;

EXTERN_C KIRQL KeGetCurrentIrql(void);
EXTERN_C VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
EXTERN_C VOID KeLowerIrql(KIRQL NewIrql);
EXTERN_C KIRQL KeRaiseIrqlToDpcLevel(void);
EXTERN_C PKTHREAD KeGetCurrentThread(void);
EXTERN_C NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                         PLARGE_INTEGER Interval);
EXTERN_C VOID KeStallExecutionProcessor(ULONG MicroSeconds);
EXTERN_C ULONGLONG KeQueryInterruptTime(void);
EXTERN_C VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
EXTERN_C VOID KeQueryTickCount(PLARGE_INTEGER TickCount);
EXTERN_C ULONG KeQueryTimeIncrement(void);

EXTERN_C PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
EXTERN_C PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);
EXTERN_C VOID ExFreePoolWithTag(PVOID P, ULONG Tag);
EXTERN_C VOID ExFreePool(PVOID P);

/*
 * Interlocked operations. Each is a scheduling point of the host, so that the
 * controlled scheduler can interleave threads between them.
 */
EXTERN_C LONG InterlockedIncrement(LONG volatile* Addend);
EXTERN_C LONG InterlockedDecrement(LONG volatile* Addend);
EXTERN_C LONG InterlockedExchange(LONG volatile* Target, LONG Value);
EXTERN_C LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
EXTERN_C LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
EXTERN_C LONG InterlockedOr(LONG volatile* Destination, LONG Value);
EXTERN_C LONG InterlockedAnd(LONG volatile* Destination, LONG Value);
EXTERN_C PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value);
EXTERN_C PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                                 PVOID Comperand);

/* Unsigned overloads, as the WDK's C++ headers provide. */
inline ULONG InterlockedIncrement(ULONG volatile* a) { return (ULONG)InterlockedIncrement((LONG volatile*)a); }
inline ULONG InterlockedDecrement(ULONG volatile* a) { return (ULONG)InterlockedDecrement((LONG volatile*)a); }
inline ULONG InterlockedExchange(ULONG volatile* t, ULONG v) { return (ULONG)InterlockedExchange((LONG volatile*)t, (LONG)v); }
inline ULONG InterlockedExchangeAdd(ULONG volatile* a, ULONG v) { return (ULONG)InterlockedExchangeAdd((LONG volatile*)a, (LONG)v); }
inline ULONG InterlockedCompareExchange(ULONG volatile* d, ULONG e, ULONG c)
{
    return (ULONG)InterlockedCompareExchange((LONG volatile*)d, (LONG)e, (LONG)c);
}

EXTERN_C VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                           ULONG_PTR P4);

/*
 * Assertions are checked in every build of the host, as in a checked build
 * of Windows: a false one goes to RtlAssert with its text, file and line,
 * which the host's verifier reports as an "assertion" failure.
 */
EXTERN_C VOID RtlAssert(PVOID VoidFailedAssertion, PVOID VoidFileName, ULONG LineNumber,
                        PSTR MutableMessage);
#define ASSERT(exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, NULL), FALSE) : TRUE)
#define ASSERTMSG(msg, exp) \
    ((!(exp)) ? (RtlAssert((PVOID) #exp, (PVOID)__FILE__, __LINE__, (PSTR)(msg)), FALSE) : TRUE)
#define NT_ASSERT(exp) ASSERT(exp)
#define NT_ASSERTMSG(msg, exp) ASSERTMSG(msg, exp)
