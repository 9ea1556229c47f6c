/*
 * Framework spin locks and wait locks.
 *
 * A spin lock is acquired at or below DISPATCH_LEVEL and raises the caller
 * to DISPATCH_LEVEL until it is released; only its owner releases it. A
 * wait lock is acquired at PASSIVE_LEVEL (or at most DISPATCH_LEVEL with a
 * zero time-out) and keeps the caller's IRQL.
 */
#pragma once

#include "wdftypes.h"

WDFAPI NTSTATUS WdfSpinLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES SpinLockAttributes,
                                  _Out_ WDFSPINLOCK* SpinLock);
WDFAPI VOID WdfSpinLockAcquire(_In_ WDFSPINLOCK SpinLock);
WDFAPI VOID WdfSpinLockRelease(_In_ WDFSPINLOCK SpinLock);

WDFAPI NTSTATUS WdfWaitLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES LockAttributes,
                                  _Out_ WDFWAITLOCK* Lock);
/* Timeout: NULL waits forever; otherwise 100-ns units, negative = relative.
 * Returns STATUS_SUCCESS or STATUS_TIMEOUT. */
WDFAPI NTSTATUS WdfWaitLockAcquire(_In_ WDFWAITLOCK Lock, _In_opt_ PLONGLONG Timeout);
WDFAPI VOID WdfWaitLockRelease(_In_ WDFWAITLOCK Lock);
