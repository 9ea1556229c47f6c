/*
 * Framework request objects: one I/O request of the device, its
 * parameters, buffers, cancellation and completion.
 */
#pragma once

#include "wdftypes.h"

#ifndef POINTER_ALIGNMENT
#define POINTER_ALIGNMENT
#endif

typedef struct _IO_SECURITY_CONTEXT* PIO_SECURITY_CONTEXT;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PIO_SECURITY_CONTEXT SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

FORCEINLINE VOID WDF_REQUEST_PARAMETERS_INIT(_Out_ PWDF_REQUEST_PARAMETERS Parameters)
{
    __builtin_memset(Parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

typedef _Function_class_(EVT_WDF_REQUEST_CANCEL) VOID EVT_WDF_REQUEST_CANCEL(_In_ WDFREQUEST Request);
typedef EVT_WDF_REQUEST_CANCEL* PFN_WDF_REQUEST_CANCEL;

/* --- parameters ------------------------------------------------------------ */
WDFAPI VOID WdfRequestGetParameters(_In_ WDFREQUEST Request, _Out_ PWDF_REQUEST_PARAMETERS Parameters);
WDFAPI WDFFILEOBJECT WdfRequestGetFileObject(_In_ WDFREQUEST Request);
WDFAPI KPROCESSOR_MODE WdfRequestGetRequestorMode(_In_ WDFREQUEST Request);
WDFAPI WDFQUEUE WdfRequestGetIoQueue(_In_ WDFREQUEST Request);

/* --- buffers ---------------------------------------------------------------- */
/* STATUS_BUFFER_TOO_SMALL when the buffer is shorter than the minimum (or
 * empty); STATUS_INVALID_DEVICE_REQUEST when the request has no such buffer
 * or uses METHOD_NEITHER. */
WDFAPI NTSTATUS WdfRequestRetrieveInputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredLength,
                                              _Outptr_ PVOID* Buffer, _Out_opt_ size_t* Length);
WDFAPI NTSTATUS WdfRequestRetrieveOutputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredSize,
                                               _Outptr_ PVOID* Buffer, _Out_opt_ size_t* Length);
WDFAPI NTSTATUS WdfRequestRetrieveInputMemory(_In_ WDFREQUEST Request, _Out_ WDFMEMORY* Memory);
WDFAPI NTSTATUS WdfRequestRetrieveOutputMemory(_In_ WDFREQUEST Request, _Out_ WDFMEMORY* Memory);
/* METHOD_NEITHER buffers as the caller passed them; only in EvtIoInCallerContext. */
WDFAPI NTSTATUS WdfRequestRetrieveUnsafeUserInputBuffer(_In_ WDFREQUEST Request,
                                                        _In_ size_t MinimumRequiredLength,
                                                        _Outptr_ PVOID* InputBuffer, _Out_opt_ size_t* Length);
WDFAPI NTSTATUS WdfRequestRetrieveUnsafeUserOutputBuffer(_In_ WDFREQUEST Request,
                                                         _In_ size_t MinimumRequiredLength,
                                                         _Outptr_ PVOID* OutputBuffer, _Out_opt_ size_t* Length);
/* Probes a user buffer in the caller's context and returns a memory object
 * (a child of the request) that describes it. */
WDFAPI NTSTATUS WdfRequestProbeAndLockUserBufferForRead(_In_ WDFREQUEST Request, _In_ PVOID Buffer,
                                                        _In_ size_t Length, _Out_ WDFMEMORY* MemoryObject);
WDFAPI NTSTATUS WdfRequestProbeAndLockUserBufferForWrite(_In_ WDFREQUEST Request, _In_ PVOID Buffer,
                                                         _In_ size_t Length, _Out_ WDFMEMORY* MemoryObject);

/* --- completion --------------------------------------------------------------- */
WDFAPI VOID WdfRequestComplete(_In_ WDFREQUEST Request, _In_ NTSTATUS Status);
WDFAPI VOID WdfRequestCompleteWithInformation(_In_ WDFREQUEST Request, _In_ NTSTATUS Status,
                                              _In_ ULONG_PTR Information);
WDFAPI VOID WdfRequestSetInformation(_In_ WDFREQUEST Request, _In_ ULONG_PTR Information);
WDFAPI ULONG_PTR WdfRequestGetInformation(_In_ WDFREQUEST Request);
WDFAPI NTSTATUS WdfRequestGetStatus(_In_ WDFREQUEST Request);

/* --- cancellation --------------------------------------------------------------- */
/* On a request that is already cancelled, EvtRequestCancel runs before this returns. */
WDFAPI VOID WdfRequestMarkCancelable(_In_ WDFREQUEST Request, _In_ PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
/* STATUS_CANCELLED (routine not called, request not cancelable) if already cancelled. */
WDFAPI NTSTATUS WdfRequestMarkCancelableEx(_In_ WDFREQUEST Request,
                                           _In_ PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
WDFAPI NTSTATUS WdfRequestUnmarkCancelable(_In_ WDFREQUEST Request);
WDFAPI BOOLEAN WdfRequestIsCanceled(_In_ WDFREQUEST Request);

/* --- queue stop ------------------------------------------------------------------ */
/* Only inside EvtIoStop. Requeue FALSE keeps the request; EvtIoResume follows. */
WDFAPI VOID WdfRequestStopAcknowledge(_In_ WDFREQUEST Request, _In_ BOOLEAN Requeue);
WDFAPI NTSTATUS WdfRequestForwardToIoQueue(_In_ WDFREQUEST Request, _In_ WDFQUEUE DestinationQueue);
