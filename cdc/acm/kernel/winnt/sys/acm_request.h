/*
 * The request engine: one current request per operation (read, write,
 * wait-on-mask intake, pending wait, purge), the references that the
 * parties holding a current request keep on it, and the waiting queues
 * behind each current field.
 *
 * Every party that holds a current request (the I/O path, the framework's
 * cancellation, a time-out timer) drops its own reference under the
 * device's spin_lock; whoever leaves the set empty completes the request.
 */
#pragma once
#include "acm_serial.h"

/* ref_type: which party drops its references in
   acm_request_try_to_complete_current. */
#define REF_TYPE_ISR     1   /* the I/O path: data, transfer end, event */
#define REF_TYPE_CANCEL  2   /* a cancel routine */
#define REF_TYPE_TIMER   4   /* a time-out timer callback */

/* Serves the slot's current request; called without spin_lock. */
typedef _Requires_lock_not_held_(fdx->spin_lock) VOID ACM_START_ROUTINE(PACM_FDO_DATA fdx);
typedef ACM_START_ROUTINE* PFN_ACM_START_ROUTINE;

/* Takes the next waiting request into the current field; spin_lock held. */
typedef _IRQL_requires_(DISPATCH_LEVEL) VOID ACM_GET_NEXT_ROUTINE(WDFREQUEST* current_op_request, WDFQUEUE queue);
typedef ACM_GET_NEXT_ROUTINE* PFN_ACM_GET_NEXT_ROUTINE;

/* A party's own work on the request before its references drop; spin_lock
   held. TRUE keeps the request current and untouched: the hook found
   nothing to complete it with and restored what the party had dropped. */
typedef _Requires_lock_held_(fdx->spin_lock) BOOLEAN ACM_BEFORE_COMPLETE_ROUTINE(PACM_FDO_DATA fdx, WDFREQUEST request);
typedef ACM_BEFORE_COMPLETE_ROUTINE* PFN_ACM_BEFORE_COMPLETE_ROUTINE;

/* Runs with spin_lock held through acm_call_locked. */
typedef _Requires_lock_held_(fdx->spin_lock) BOOLEAN ACM_LOCKED_ROUTINE(PACM_FDO_DATA fdx, PVOID argument);
typedef ACM_LOCKED_ROUTINE* PFN_ACM_LOCKED_ROUTINE;

/* --- completion ----------------------------------------------------------- */

/* spin_lock held, REF_SETTING set around the call by the caller. */
_IRQL_requires_(DISPATCH_LEVEL) _Must_inspect_result_
NTSTATUS acm_request_set_cancel_routine(WDFREQUEST request, PFN_WDF_REQUEST_CANCEL cancel_routine);
_Must_inspect_result_
NTSTATUS acm_request_unmark_cancelable(WDFREQUEST request);
/* Whether a cancel routine runs from inside this thread's marking of the request. */
BOOLEAN acm_request_cancel_during_set(WDFREQUEST request);
_IRQL_requires_(DISPATCH_LEVEL) _Must_inspect_result_
NTSTATUS acm_request_release_refs(WDFREQUEST request, WDFTIMER timer, ULONG ref_type);
/* The slot's request with spin_lock held; NULL, with it released, if the slot is empty. */
_Requires_lock_not_held_(fdx->spin_lock) _When_(return != NULL, _Acquires_lock_(fdx->spin_lock))
WDFREQUEST acm_request_lock_current(PACM_FDO_DATA fdx, WDFREQUEST* current_op_request);
_Requires_lock_not_held_(fdx->spin_lock)
VOID acm_request_try_to_complete_current(PACM_FDO_DATA fdx,
                                         PFN_ACM_BEFORE_COMPLETE_ROUTINE before_complete,
                                         NTSTATUS status, WDFREQUEST* current_op_request,
                                         WDFQUEUE queue, WDFTIMER timer,
                                         PFN_ACM_START_ROUTINE start_next,
                                         PFN_ACM_GET_NEXT_ROUTINE get_next, ULONG ref_type);
/* Completes with the context's status and information; no lock held. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID acm_request_complete(WDFREQUEST request);
NTSTATUS acm_request_complete_if_error(PACM_FDO_DATA fdx, WDFREQUEST request);
/* Readies a read or write for its queue: FALSE when it was completed instead
   (the error abort is on, or its buffer cannot be had). */
BOOLEAN acm_request_take_buffer(PACM_FDO_DATA fdx, WDFREQUEST request, UCHAR major_function,
                                size_t length);
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE acm_evt_canceled_on_queue;

/* --- operation slots -------------------------------------------------------- */

BOOLEAN acm_queue_add_request(PACM_FDO_DATA fdx, WDFREQUEST request, WDFQUEUE queue,
                              WDFREQUEST* current_op_request, PFN_ACM_START_ROUTINE start);
ACM_GET_NEXT_ROUTINE acm_queue_get_next_request;
VOID acm_request_start_next_queued(PACM_FDO_DATA fdx, WDFREQUEST* current_op_request,
                                   WDFQUEUE queue, PFN_ACM_START_ROUTINE start,
                                   PFN_ACM_GET_NEXT_ROUTINE get_next);
VOID acm_queue_purge_current(WDFQUEUE queue, WDFREQUEST* current_op_request);
VOID acm_queue_flush(WDFQUEUE queue, WDFREQUEST* current_op_request);
BOOLEAN acm_queue_is_idle(WDFQUEUE queue);
_Requires_lock_not_held_(fdx->spin_lock)
BOOLEAN acm_call_locked(PACM_FDO_DATA fdx, PFN_ACM_LOCKED_ROUTINE routine, PVOID argument);
EVT_WDF_IO_QUEUE_IO_STOP acm_evt_io_stop;
EVT_WDF_IO_QUEUE_IO_RESUME acm_evt_io_resume;

/* --- wait-on-mask and purge slots ------------------------------------------- */

ACM_START_ROUTINE acm_request_mask_start;
ACM_START_ROUTINE acm_request_purge_start;
