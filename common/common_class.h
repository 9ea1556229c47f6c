/*
 * The common class layer: the part of the driver that does not depend on
 * the serial personality. Its state is one record, the common class
 * context, which is the first member of every device context, so that a
 * pointer to the device context is a pointer to it.
 */
#pragma once
#include <ntddk.h>
#include <wdf.h>
#include <ntstrsafe.h>
#include "dc_bus_interface.h"
#include "dc_debug.h"
#include "dc_ioctl.h"

/* Driver version, printed in the banner and handed to the bus driver. */
#define DC_DRIVER_VERSION "2.1.5.48"

typedef struct _common_class_ctx {
    WDFDEVICE device;
    DC_ENUMERATOR_INTERFACE bus_ifc;      /* Context NULL: not bound */
    WDFSPINLOCK common_lock;              /* guards ref_count, encapsulated hand-over */
    LONG ref_count;                       /* open file handles */
    LONG transport_enabled;               /* 0/1, interlocked */
    LONG data_io_initialized;             /* 0/1, interlocked */
    LONG notify_cb_registered;            /* 0/1, under notify_lock */
    WDFSPINLOCK notify_lock;              /* a registration change and its bus call */
    WDFWORKITEM device_wakeup_workitem;
    LONG device_wakeup_pending;
    WDFWORKITEM child_device_wakeup_workitem;
    LONG child_device_wakeup_pending;
    PFN_DC_NOTIFY_CB notify_cb;           /* kept for re-registration */
    WDFQUEUE encap_wait_queue;
    WDFREQUEST encap_pending_request;
    WDFDPC encap_dpc;
    LONG enc_ref_count;                   /* responses announced minus waits issued */
    LONG encap_enabled;
    ULONG idle_timeout;                   /* seconds; 0: no idle power-down */
} common_class_ctx;

/* --- Binding to the bus driver and the open-handle count ----------------- */

/*
 * Queries the DC Enumerator interface into bus_ifc and creates the common
 * lock, the power policy and the wake-up work items (each callback may be
 * NULL: that work item is then not created).
 */
NTSTATUS common_class_ctx_init(WDFDEVICE device, common_class_ctx* ctx, BOOLEAN set_power_policy,
                               BOOLEAN enable_encapsulated, BOOLEAN enable_custom_guid,
                               PFN_WDF_WORKITEM device_wakeup_fn,
                               PFN_WDF_WORKITEM child_device_wakeup_fn);
/* Flushes the work items and gives the interface back; always succeeds. */
NTSTATUS common_class_ctx_uninit(common_class_ctx* ctx);

/* Transport, then data I/O when either flag is set; each enabled once. */
NTSTATUS common_class_transport_io_init(common_class_ctx* ctx, ULONG data_flag_a, ULONG data_flag_b);
NTSTATUS common_class_transport_io_uninit(common_class_ctx* ctx);

NTSTATUS common_class_notify_cb_set(common_class_ctx* ctx, PFN_DC_NOTIFY_CB callback);
VOID common_class_notify_cb_clear(common_class_ctx* ctx);
NTSTATUS common_class_notify_cb_reset(common_class_ctx* ctx);
/* Registers the kept callback again if `wanted` still says so when asked
   under notify_lock: a stop that clears it afterwards comes after, not
   between the look and the registration. */
typedef BOOLEAN COMMON_NOTIFY_WANTED(common_class_ctx* ctx);
NTSTATUS common_class_notify_cb_restore(common_class_ctx* ctx, COMMON_NOTIFY_WANTED* wanted);

/* Open handles; both return the new count. */
LONG common_class_ref_inc(common_class_ctx* ctx);
LONG common_class_ref_dec(common_class_ctx* ctx);
/* The count, read under the lock that guards it. */
LONG common_class_ref_count(common_class_ctx* ctx);

ULONG common_class_ctrl_dev_hold_child_if_in_use(common_class_ctx* ctx);
VOID common_class_handles_open_notify(common_class_ctx* ctx);

/* --- Power policy and wake-up ------------------------------------------- */

NTSTATUS common_class_set_power_policy(common_class_ctx* ctx);
/* Posts queue the wake-up work item at most once; the work item's callback
   calls the synchronous half, which ends the pending state. */
VOID common_class_device_wakeup_post(common_class_ctx* ctx);
_IRQL_requires_(PASSIVE_LEVEL)
VOID common_class_device_wakeup_sync(common_class_ctx* ctx, BOOLEAN flag);
VOID common_class_child_device_wakeup_post(common_class_ctx* ctx);
_IRQL_requires_(PASSIVE_LEVEL)
VOID common_class_child_device_wakeup_sync(common_class_ctx* ctx);

/*
 * Registry readers. Exactly one of driver (its Parameters key) and device
 * (its hardware key) is given. Each opens the key, reads one value and
 * closes the key again; the output is untouched on failure.
 * dc_open_registry_key opens the key that holds value_name.
 */
NTSTATUS dc_open_registry_key(WDFDRIVER driver, WDFDEVICE device, PCUNICODE_STRING value_name,
                              WDFKEY* key);
NTSTATUS dc_registry_rw_ulong(WDFDRIVER driver, WDFDEVICE device, PCUNICODE_STRING value_name,
                              PULONG value);
/* On success the text is terminated at Length/2: the buffer must hold one
   character beyond MaximumLength. */
NTSTATUS dc_registry_rw_unicode_str(WDFDRIVER driver, WDFDEVICE device,
                                    PCUNICODE_STRING value_name, PUNICODE_STRING value,
                                    PUSHORT value_length);

NTSTATUS dc_registry_read_driver_ulong(WDFDRIVER driver, PCUNICODE_STRING value_name, PULONG value);
NTSTATUS dc_registry_read_device_ulong(WDFDEVICE device, PCUNICODE_STRING value_name, PULONG value);
NTSTATUS dc_registry_read_device_unicode_str(WDFDEVICE device, PCUNICODE_STRING value_name,
                                             PUNICODE_STRING value);

/* Sets debug_level from the Parameters value "DebugLevel". */
VOID dc_driver_debug_level_init(WDFDRIVER driver);

/* Parses "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (exactly 76 bytes). */
NTSTATUS common_class_string_to_guid(PCUNICODE_STRING text, GUID* guid);
/* Adds the device interface named by the device's "DeviceGUID" value, if any. */
NTSTATUS common_class_custom_guid_set(common_class_ctx* ctx);

/* --- Generic control and encapsulated-command controls ------------------- */

/*
 * The user areas of one of these controls, probed and locked in the
 * caller's context; each memory object belongs to the request and is NULL
 * when that area was not locked.
 */
typedef struct _intercept_req_context_t {
    WDFMEMORY in_record_mem;      /* input record, for read */
    WDFMEMORY in_data_mem;        /* data_in, data_in_len bytes, for read */
    WDFMEMORY out_record_mem;     /* output record, for write */
    WDFMEMORY out_data_mem;       /* data_out, data_out_len bytes, for write */
    WDFMEMORY control_data_mem;   /* generic control: the control record's data buffer */
} intercept_req_context_t;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(intercept_req_context_t, intercept_req_get_context)

/*
 * A control's record as the driver works with it: the caller's areas
 * resolved to their locked views and lengths, taken once, so that nothing
 * the caller changes afterwards reaches the driver. The results go back
 * through `record`, the locked view of the output record, at completion.
 */
typedef struct _dc_ioctl_req_t {
    dc_ioctl_data* record;
    PVOID data_in;
    ULONG data_in_len;
    PVOID data_out;
    ULONG data_out_len;       /* size of data_out; bytes returned on the way back */
    PVOID control_data;       /* generic control with a separate data buffer */
    ULONG control_data_len;
} dc_ioctl_req_t;

/* EvtIoInCallerContext for the four controls: locks their user areas, then
   queues the request; any failure completes it. */
EVT_WDF_IO_IN_CALLER_CONTEXT common_class_evt_io_in_caller;
/* One of the four controls as a device control (internal ones are not). */
BOOLEAN dc_is_common_control(const WDF_REQUEST_PARAMETERS* params);

/* The system view of a locked area and its length; NULL and 0 for none. */
PVOID dc_locked_view(WDFMEMORY memory, ULONG* length);
/* Writes one ULONG field of a caller's record, which may be unaligned. */
VOID dc_record_store(dc_ioctl_data* record, LONG offset, ULONG value);
NTSTATUS dc_ioctl_data_get(WDFREQUEST request, dc_ioctl_req_t* req);
/* STATUS_PENDING: the request was kept and is completed later. */
NTSTATUS common_evt_ioctl(WDFREQUEST request, common_class_ctx* ctx, dc_ioctl_req_t* req, ULONG code);
/* With a record: success and 20 bytes, the outcome in dc_status. */
VOID dc_ioctl_request_complete(WDFREQUEST request, NTSTATUS status, dc_ioctl_req_t* req);
ULONG dc_status_from_ntstatus(NTSTATUS status);
PCSTR dc_ioctl_name(ULONG code);

/* The encapsulated command channel. */
NTSTATUS encap_create_queues(common_class_ctx* ctx);
VOID encap_purge_queues(common_class_ctx* ctx);
NTSTATUS enc_evt_ioctl(WDFREQUEST request, common_class_ctx* ctx, dc_ioctl_req_t* req, ULONG code);
/* RESPONSE_AVAILABLE from the notification path, up to DISPATCH_LEVEL. */
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID cdc_notify_response_available(common_class_ctx* ctx, ULONG unused);
