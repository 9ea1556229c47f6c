/* Framework work items: a routine run once at PASSIVE_LEVEL on a system worker thread. */
#pragma once

#include "wdftypes.h"

typedef _Function_class_(EVT_WDF_WORKITEM) VOID EVT_WDF_WORKITEM(_In_ WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

FORCEINLINE VOID WDF_WORKITEM_CONFIG_INIT(_Out_ PWDF_WORKITEM_CONFIG Config,
                                          _In_ PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    __builtin_memset(Config, 0, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

/* The attributes must name the parent object. */
WDFAPI NTSTATUS WdfWorkItemCreate(_In_ PWDF_WORKITEM_CONFIG Config, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                                  _Out_ WDFWORKITEM* WorkItem);
/* Queues the work item unless it is already queued. */
WDFAPI VOID WdfWorkItemEnqueue(_In_ WDFWORKITEM WorkItem);
/* Waits until the work item is neither queued nor running; PASSIVE_LEVEL. */
WDFAPI VOID WdfWorkItemFlush(_In_ WDFWORKITEM WorkItem);
WDFAPI WDFOBJECT WdfWorkItemGetParentObject(_In_ WDFWORKITEM WorkItem);
