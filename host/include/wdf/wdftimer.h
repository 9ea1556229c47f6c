/*
 * Framework timers. The callback runs from a DPC at DISPATCH_LEVEL. Due
 * times are in 100-ns units: negative values are relative to now, positive
 * values are absolute system times.
 */
#pragma once

#include "wdftypes.h"

typedef _Function_class_(EVT_WDF_TIMER) VOID EVT_WDF_TIMER(_In_ WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period;   /* milliseconds; 0 = one-shot */
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
    BOOLEAN UseHighResolutionTimer;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT(_Out_ PWDF_TIMER_CONFIG Config, _In_ PFN_WDF_TIMER EvtTimerFunc)
{
    __builtin_memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT_PERIODIC(_Out_ PWDF_TIMER_CONFIG Config,
                                                _In_ PFN_WDF_TIMER EvtTimerFunc, _In_ LONG Period)
{
    __builtin_memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = (ULONG)Period;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

/* Relative due times in 100-ns units, as WDF_REL_TIMEOUT_IN_MS gives them. */
#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(_In_ ULONGLONG Time) { return Time * -1 * WDF_TIMEOUT_TO_SEC; }
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(_In_ ULONGLONG Time) { return Time * -1 * WDF_TIMEOUT_TO_MS; }
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_US(_In_ ULONGLONG Time) { return Time * -1 * WDF_TIMEOUT_TO_US; }

/* The attributes must name the parent object. */
WDFAPI NTSTATUS WdfTimerCreate(_In_ PWDF_TIMER_CONFIG Config, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                               _Out_ WDFTIMER* Timer);
/* TRUE if the timer was already in the system's timer queue (it is re-armed). */
WDFAPI BOOLEAN WdfTimerStart(_In_ WDFTIMER Timer, _In_ LONGLONG DueTime);
/* TRUE only if the timer was in the system's timer queue, so that its
 * callback will not run for that expiry. Wait TRUE (PASSIVE_LEVEL) also
 * waits for a callback that is queued or running. */
WDFAPI BOOLEAN WdfTimerStop(_In_ WDFTIMER Timer, _In_ BOOLEAN Wait);
WDFAPI WDFOBJECT WdfTimerGetParentObject(_In_ WDFTIMER Timer);
