/*
 * The DC Enumerator interface: the query interface through which the bus
 * driver serves this function. Provisional record with the interface's
 * fixed layout only (size, version, context, reference and dereference,
 * then the operation table); the operations get their signatures with the
 * code that calls them.
 */
#pragma once
#include <ntddk.h>
#include <wdf.h>

#define DC_ENUMERATOR_INTERFACE_VERSION 1
#define DC_ENUMERATOR_OPERATION_COUNT 38

/* Notification callback handed to the bus: the device and the raw packet. */
typedef VOID (*PFN_DC_NOTIFY_CB)(WDFDEVICE Device, PUCHAR Notification, ULONG Length);

typedef struct _DC_ENUMERATOR_INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PVOID Operations[DC_ENUMERATOR_OPERATION_COUNT];
} DC_ENUMERATOR_INTERFACE, *PDC_ENUMERATOR_INTERFACE;

/* The USHORT pair fills one pointer slot: 42 slots, 168 bytes in the 32-bit build. */
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, Context) == sizeof(PVOID) &&
                  sizeof(DC_ENUMERATOR_INTERFACE) == (3 + DC_ENUMERATOR_OPERATION_COUNT + 1) * sizeof(PVOID),
              "DC Enumerator interface layout");
