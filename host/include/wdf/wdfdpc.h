/* Framework DPC objects: a deferred procedure run at DISPATCH_LEVEL. */
#pragma once

#include "wdftypes.h"

typedef _Function_class_(EVT_WDF_DPC) VOID EVT_WDF_DPC(_In_ WDFDPC Dpc);
typedef EVT_WDF_DPC* PFN_WDF_DPC;

typedef struct _WDF_DPC_CONFIG {
    ULONG Size;
    PFN_WDF_DPC EvtDpcFunc;
    BOOLEAN AutomaticSerialization;
} WDF_DPC_CONFIG, *PWDF_DPC_CONFIG;

FORCEINLINE VOID WDF_DPC_CONFIG_INIT(_Out_ PWDF_DPC_CONFIG Config, _In_ PFN_WDF_DPC EvtDpcFunc)
{
    __builtin_memset(Config, 0, sizeof(WDF_DPC_CONFIG));
    Config->Size = sizeof(WDF_DPC_CONFIG);
    Config->EvtDpcFunc = EvtDpcFunc;
    Config->AutomaticSerialization = TRUE;
}

/* The attributes must name the parent object (a device or a queue). */
WDFAPI NTSTATUS WdfDpcCreate(_In_ PWDF_DPC_CONFIG Config, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                             _Out_ WDFDPC* Dpc);
/* TRUE if the DPC was queued now, FALSE if it already was in the queue. */
WDFAPI BOOLEAN WdfDpcEnqueue(_In_ WDFDPC Dpc);
/* TRUE only if the DPC was removed from the queue before it ran. Wait TRUE
 * (PASSIVE_LEVEL) also waits for a running or queued routine to finish. */
WDFAPI BOOLEAN WdfDpcCancel(_In_ WDFDPC Dpc, _In_ BOOLEAN Wait);
WDFAPI WDFOBJECT WdfDpcGetParentObject(_In_ WDFDPC Dpc);
