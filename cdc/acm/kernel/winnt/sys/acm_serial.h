/*
 * The serial function driver for a USB CDC ACM (or OBEX) function: the
 * device context ACM_FDO_DATA, the request context and the driver-wide
 * state shared by its source files.
 */
#pragma once
#include <ntddk.h>
#include <wdf.h>
#include <ntddser.h>
#include "common_class.h"

/* CDC line coding record, exactly as it travels on the wire. */
#pragma pack(push, 1)
typedef struct _cdc_line_coding_t {
    ULONG dwDTERate;     /* bits per second */
    UCHAR bCharFormat;   /* 0: 1 stop bit, 1: 1.5, 2: 2 */
    UCHAR bParityType;   /* 0 none, 1 odd, 2 even, 3 mark, 4 space */
    UCHAR bDataBits;     /* 5, 6, 7, 8 or 16 */
} cdc_line_coding_t;
#pragma pack(pop)
static_assert(sizeof(cdc_line_coding_t) == 7, "CDC line coding is 7 bytes");

typedef struct _read_desc_t read_desc_t;   /* receive ring transfer descriptor */

/*
 * A modem's entry in dev_list: the link name its friendly name gives and the
 * physical device object the link points at. Written before insertion and
 * never changed afterwards.
 */
#define ACM_DEV_NAME_CHARS 128
typedef struct _acm_dev_list_rec {
    struct _acm_dev_list_rec* dev_list_next;
    WCHAR device_obj_name[ACM_DEV_NAME_CHARS];
    WCHAR symbolic_link_name[ACM_DEV_NAME_CHARS];
} acm_dev_list_rec;

typedef struct _ACM_FDO_DATA {
    common_class_ctx common;              /* must stay first */

    UNICODE_STRING device_name;           /* NT name; Buffer NULL when naming failed */
    UNICODE_STRING port_name;             /* "PortName", NUL-terminated */
    BOOLEAN is_modem;
    BOOLEAN is_serial_ctrl;
    BOOLEAN serial_ctrl_enabled;
    BOOLEAN symbolic_link_created;
    BOOLEAN devmap_entry_created;
    BOOLEAN serial_count_incremented;

    /* Capabilities from the CDC functional descriptors. */
    UCHAR call_mgmt_over_data;
    UCHAR call_mgmt_by_device;
    UCHAR acm_network_connection;
    UCHAR acm_send_break;
    UCHAR acm_line_coding;
    UCHAR acm_comm_feature;

    WDFQUEUE read_queue;
    WDFQUEUE write_queue;
    WDFQUEUE mask_queue;
    WDFQUEUE purge_queue;

    ULONG hold_reasons;
    ULONG write_remaining;
    PVOID write_buffer;
    ULONG out_queue_bytes;
    ULONG data_out_posted;
    LONG data_out_purging;
    LONG data_out_aborts;                 /* data-out aborts asked for so far; a post checks it */

    /* Receive ring. */
    WDFMEMORY read_buffer_memory;
    ULONG read_buffer_size;
    PUCHAR read_buffer;
    ULONG desc_end;
    ULONG desc_begin;
    WDFSPINLOCK spin_lock;
    PKTHREAD spin_lock_owner;             /* the thread holding spin_lock, for assertions */
    WDFMEMORY read_desc_memory;
    read_desc_t* read_desc;
    ULONG read_buffers;
    ULONG data_in_pending;
    LONG data_in_purged;
    LONG data_in_restart_due;             /* the aborted transfer's completion posts the next */
    LONG is_io_stopped;
    ULONG read_buffer_bytes;
    ULONG read_max_ps;
    ULONG packets_per_xfer;

    ULONG modem_status;

    WDFREQUEST current_write_request;
    WDFREQUEST current_read_request;
    WDFREQUEST current_mask_request;
    WDFREQUEST current_wait_request;
    WDFREQUEST current_purge_request;

    WDFDPC wait_complete_dpc;
    WDFDPC read_complete_dpc;
    WDFDPC write_complete_dpc;
    WDFTIMER read_timer;
    LONGLONG read_timeout;
    LONG read_dpc_requests;               /* read DPC runs asked for and not yet served */

    /* Serial settings. */
    WDFWAITLOCK settings_lock;            /* a setting and its class request as one step */
    USHORT control_line_state;
    cdc_line_coding_t line_coding;
    SERIAL_TIMEOUTS timeouts;
    SERIAL_CHARS special_chars;
    SERIAL_HANDFLOW handflow;
    SERIALPERF_STATS perf_stats;
    ULONG wait_mask;
    ULONG history_mask;
    PULONG mask_location;
    ULONG errors;

    ULONG call_clear_data;
    LONG create_file_in_progress;         /* interlocked: an open may race a D0 entry */
    acm_dev_list_rec dev_list_rec;
    ULONG dont_clear_dtr;
    LONG delete_pending_count;
    LONG suspended;
    LONG stop_idle_taken;                 /* ACM_STOP_IDLE_*, interlocked */
    WDFWORKITEM read_in_workitem;
    LONG read_in_workitem_queued;
    LONG open_state;                      /* ACM_OPEN_*, interlocked */
} ACM_FDO_DATA, *PACM_FDO_DATA;

/* stop_idle_taken: the resume callback's power reference. While the callback
   takes it, a D0 entry or self-managed I/O restart only marks that the
   device came back (TAKING_D0), and the callback gives the reference back
   itself; once held, the first of them that comes gives it back. */
#define ACM_STOP_IDLE_NONE      0
#define ACM_STOP_IDLE_HELD      1
#define ACM_STOP_IDLE_TAKING    2
#define ACM_STOP_IDLE_TAKING_D0 3

/* open_state: the handle's cleanup and the removal's flush may both try to
   end one open; the one that moves it from active to ending does. */
#define ACM_OPEN_NONE    0
#define ACM_OPEN_ACTIVE  1
#define ACM_OPEN_ENDING  2

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ACM_FDO_DATA, acm_fdo_get_data)

/*
 * spin_lock with its holder recorded, so that a routine that must run under
 * it can check its caller: the holder runs at DISPATCH_LEVEL, so no other
 * code on its processor can pass for it.
 */
_IRQL_requires_max_(DISPATCH_LEVEL) _IRQL_raises_(DISPATCH_LEVEL) _Acquires_lock_(fdx->spin_lock)
FORCEINLINE VOID acm_lock_acquire(PACM_FDO_DATA fdx)
{
    WdfSpinLockAcquire(fdx->spin_lock);
    fdx->spin_lock_owner = KeGetCurrentThread();
}

_Requires_lock_held_(fdx->spin_lock) _Releases_lock_(fdx->spin_lock)
FORCEINLINE VOID acm_lock_release(PACM_FDO_DATA fdx)
{
    fdx->spin_lock_owner = NULL;
    WdfSpinLockRelease(fdx->spin_lock);
}

/* Only "held" is asserted: a thread that does not hold spin_lock would read
   the holder while the holder writes it. "Not held" stays a SAL annotation. */
#define ACM_ASSERT_LOCK_HELD(fdx) NT_ASSERT((fdx)->spin_lock_owner == KeGetCurrentThread())

/* Bits of ACM_REQUEST_CONTEXT.ref_bits: the parties holding a current request. */
#define REF_ISR            0x01
#define REF_CANCEL         0x02
#define REF_TIMER          0x04
#define REF_CANCEL_CALLED  0x08
#define REF_SETTING        0x10
#define REF_DPC            0x20
#define REF_PURGE          0x40

typedef struct _ACM_REQUEST_CONTEXT {
    ULONG_PTR information;
    NTSTATUS status;
    ULONG length;
    ULONG ref_bits;
    PVOID buffer;
    UCHAR major_function;
    PFN_WDF_REQUEST_CANCEL cancel_routine;
    PACM_FDO_DATA device;
    ULONG ioctl_code;
    BOOLEAN resume;
    WDFTIMER timer;
    LONGLONG due_time;                    /* relative, 100-ns units */
    ULONG posted;
    BOOLEAN stopped_in_intake;            /* its queue stopped before it was current */
    PVOID marking_thread;   /* the thread inside WdfRequestMarkCancelable, by interlocked operation */
} ACM_REQUEST_CONTEXT, *PACM_REQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(ACM_REQUEST_CONTEXT, acm_request_get_context)

/* Driver-wide state. */
extern UNICODE_STRING service_name;
extern ULONG device_counter;
extern acm_dev_list_rec* dev_list;
extern WDFSPINLOCK dev_list_lock;

/* A state a polling wait checks for; TRUE ends the wait. */
typedef BOOLEAN ACM_POLL_CONDITION(PACM_FDO_DATA fdx);
typedef ACM_POLL_CONDITION* PFN_ACM_POLL_CONDITION;
#define ACM_POLL_FOREVER 0

/* Checks `done` until it holds, at most max_checks times (ACM_POLL_FOREVER:
   no limit), 1 ms apart at PASSIVE_LEVEL; FALSE when the checks ran out. */
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN acm_poll(PACM_FDO_DATA fdx, PFN_ACM_POLL_CONDITION done, ULONG max_checks);

/* Driver entry and device creation. */
extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_OBJECT_CONTEXT_CLEANUP acm_evt_driver_context_cleanup;
NTSTATUS acm_devlist_init(VOID);
/* is_io_stopped, read by interlocked operation as it is written. */
BOOLEAN acm_io_stopped(PACM_FDO_DATA fdx);
/* suspended, read by interlocked operation as it is written. */
BOOLEAN acm_is_suspended(PACM_FDO_DATA fdx);
EVT_WDF_DRIVER_DEVICE_ADD acm_evt_device_add;
EVT_WDF_OBJECT_CONTEXT_CLEANUP acm_evt_device_context_cleanup;
NTSTATUS acm_device_assign_name(PWDFDEVICE_INIT device_init);
NTSTATUS acm_device_get_setup_class(PACM_FDO_DATA fdx);
VOID acm_set_io_in_caller_callback(PWDFDEVICE_INIT device_init,
                                   PFN_WDF_IO_IN_CALLER_CONTEXT callback);
NTSTATUS acm_create_queues(PACM_FDO_DATA fdx);

/* External port naming. */
NTSTATUS acm_do_external_naming(PACM_FDO_DATA fdx);
VOID acm_undo_external_naming(PACM_FDO_DATA fdx);
NTSTATUS acm_serial_ctrl_create_ifc(PACM_FDO_DATA fdx);

/* Modem friendly-name links. */
NTSTATUS acm_symlink_init(PACM_FDO_DATA fdx);
VOID acm_devlist_insert(PACM_FDO_DATA fdx);
_IRQL_requires_(PASSIVE_LEVEL)
VOID acm_symlink_deinit(PACM_FDO_DATA fdx);
VOID acm_symbolic_relink(const acm_dev_list_rec* rec);

/* Hardware preparation and release. */
EVT_WDF_DEVICE_PREPARE_HARDWARE acm_evt_dev_prepare_hardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE acm_evt_dev_release_hardware;
NTSTATUS acm_get_functional_descriptor(PACM_FDO_DATA fdx, UCHAR code, PVOID buffer, ULONG length);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_line_coding_from_registry(PACM_FDO_DATA fdx);
/* On success *data points into `buffer` at the value's data, *data_length bytes long. */
_IRQL_requires_(PASSIVE_LEVEL) _Must_inspect_result_
NTSTATUS acm_registry_query_value(PCUNICODE_STRING key_path, PCUNICODE_STRING value_name,
                                  PVOID buffer, ULONG size, PVOID* data, PULONG data_length);
/* "rate,parity,data bits,stop bits"; parsing ends at the string's length or a NUL. */
_Must_inspect_result_
BOOLEAN acm_parse_port_settings(PCUNICODE_STRING s, PACM_FDO_DATA fdx);
VOID acm_set_clear_data_op(PACM_FDO_DATA fdx);
VOID acm_set_clear_dtr_op(PACM_FDO_DATA fdx);
NTSTATUS acm_create_read_in_workitem(WDFDEVICE device, WDFWORKITEM* workitem, PFN_WDF_WORKITEM callback);
EVT_WDF_WORKITEM acm_read_in_workitem_cb;

/* Serial settings. */
VOID acm_line_coding_set_defaults(PACM_FDO_DATA fdx);
VOID acm_handflow_set_defaults(PACM_FDO_DATA fdx);
_Requires_lock_not_held_(fdx->spin_lock)
VOID acm_settings_reset_at_open(PACM_FDO_DATA fdx);

/* CDC class requests; each waits for its transfer. */
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_class_request(PACM_FDO_DATA fdx, UCHAR direction, UCHAR request, USHORT value,
                           USHORT length, PVOID buffer, PULONG bytes_transferred, BOOLEAN wake);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_req_set_line_coding(PACM_FDO_DATA fdx, cdc_line_coding_t* line_coding);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_req_get_line_coding(PACM_FDO_DATA fdx, cdc_line_coding_t* line_coding, BOOLEAN wake);
_IRQL_requires_(PASSIVE_LEVEL)
VOID acm_req_set_control_line_state(PACM_FDO_DATA fdx, USHORT bitmap);
_IRQL_requires_(PASSIVE_LEVEL)
VOID acm_req_send_break(PACM_FDO_DATA fdx, BOOLEAN on);

/* Receive ring. */
NTSTATUS acm_read_buffer_init(PACM_FDO_DATA fdx);
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(fdx->spin_lock)
VOID acm_read_buffer_reset(PACM_FDO_DATA fdx);
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(fdx->spin_lock)
VOID acm_read_data_in(PACM_FDO_DATA fdx);
DC_TRANSFER_COMPLETE acm_read_data_in_complete;
/* spin_lock held; always FALSE. */
_Requires_lock_held_(fdx->spin_lock)
BOOLEAN acm_read_copy_from_buffer(PACM_FDO_DATA fdx, WDFREQUEST request);
_IRQL_requires_max_(DISPATCH_LEVEL) _Requires_lock_not_held_(fdx->spin_lock)
VOID acm_data_in_purge(PACM_FDO_DATA fdx);

/* Event delivery to the pending wait-on-mask request; spin_lock held. */
_Requires_lock_held_(fdx->spin_lock)
VOID acm_request_wait_update_pending_and_complete(PACM_FDO_DATA fdx);
