/*
 * The DC Enumerator interface: the query interface that the sibling bus
 * driver hands to each child device it enumerates for a USB CDC function.
 * Every data transfer, class request and notification of the function passes
 * through it, and the bus driver calls the function driver back through the
 * callbacks registered here to start, stop, suspend and resume its I/O.
 *
 * The record is the standard INTERFACE header followed by 38 operation slots
 * at fixed positions; slots without a name are reserved and never called.
 * Every operation takes the record's Context first.
 */
#pragma once

#include <ntddk.h>
#include <wdf.h>
#include <guiddef.h>
#include "include/dc_ioctl.h"

/* {6BAD27C6-C38B-4D4F-9A22-68C34E6487A0} */
DEFINE_GUID(GUID_DC_ENUMERATOR_INTERFACE,
            0x6bad27c6, 0xc38b, 0x4d4f, 0x9a, 0x22, 0x68, 0xc3, 0x4e, 0x64, 0x87, 0xa0);

#define DC_ENUMERATOR_INTERFACE_VERSION        1
#define DC_ENUMERATOR_OPERATION_COUNT     38

/* control_request direction. */
#define DC_DIRECTION_OUT                0   /* host to device */
#define DC_DIRECTION_IN                 1   /* device to host */

/* data_abort direction. */
#define DC_ABORT_DATA_OUT               FALSE
#define DC_ABORT_DATA_IN                TRUE

/*
 * The control record of generic_control is the one applications give
 * IOCTL_DC_GENERIC_CONTROL: a USB setup packet followed by the 32-bit user
 * address and length of a separate data-stage buffer (address 0: the data
 * stage uses the buffer passed to generic_control).
 */
typedef dc_control_record DC_CONTROL_RECORD, *PDC_CONTROL_RECORD;

static_assert(FIELD_OFFSET(DC_CONTROL_RECORD, data_address) == 8, "control record data address");
static_assert(FIELD_OFFSET(DC_CONTROL_RECORD, data_length) == 12, "control record data length");

/* --- Callbacks the function driver gives to the bus driver ----------------- */

/* End of a data transfer; called in the bus driver's completion context, IRQL <= DISPATCH_LEVEL. */
typedef VOID DC_TRANSFER_COMPLETE(PVOID Context, NTSTATUS Status, ULONG BytesTransferred);
typedef DC_TRANSFER_COMPLETE* PDC_TRANSFER_COMPLETE;

/* A notification packet from the interrupt endpoint; TRUE when the packet was taken. */
typedef BOOLEAN DC_NOTIFY_CALLBACK(WDFDEVICE Device, PUCHAR Notification, ULONG BytesTransferred);
typedef DC_NOTIFY_CALLBACK* PDC_NOTIFY_CALLBACK;
typedef PDC_NOTIFY_CALLBACK PFN_DC_NOTIFY_CB;

/* Start, stop, in-use, suspend and resume of the function's I/O; PASSIVE_LEVEL. */
typedef NTSTATUS DC_IO_START_CALLBACK(PVOID Context);
typedef DC_IO_START_CALLBACK* PDC_IO_START_CALLBACK;
typedef NTSTATUS DC_IO_STOP_CALLBACK(PVOID Context);
typedef DC_IO_STOP_CALLBACK* PDC_IO_STOP_CALLBACK;
typedef BOOLEAN DC_IS_IN_USE_CALLBACK(PVOID Context);
typedef DC_IS_IN_USE_CALLBACK* PDC_IS_IN_USE_CALLBACK;
typedef NTSTATUS DC_IO_SUSPEND_CALLBACK(PVOID Context);
typedef DC_IO_SUSPEND_CALLBACK* PDC_IO_SUSPEND_CALLBACK;
typedef NTSTATUS DC_IO_RESUME_CALLBACK(PVOID Context);
typedef DC_IO_RESUME_CALLBACK* PDC_IO_RESUME_CALLBACK;

/* --- Operations ------------------------------------------------------------ */

/* 0: class request to the communication interface; returns when the transfer has finished. */
typedef NTSTATUS DC_CONTROL_REQUEST(PVOID Context, UCHAR Direction, UCHAR Request, USHORT Value,
                                    USHORT Length, PVOID Buffer, PULONG BytesTransferred,
                                    ULONG Reserved1, ULONG Reserved2);
typedef DC_CONTROL_REQUEST* PDC_CONTROL_REQUEST;

/* 1: control transfer described by a DC_CONTROL_RECORD; Timeout in 100 ns units, 0 = none. */
typedef NTSTATUS DC_GENERIC_CONTROL(PVOID Context, PDC_CONTROL_RECORD Control, PVOID Buffer,
                                    ULONG Length, PULONG BytesTransferred, LONGLONG Timeout);
typedef DC_GENERIC_CONTROL* PDC_GENERIC_CONTROL;

/* 4, 5 */
typedef NTSTATUS DC_TRANSPORT_ENABLE(PVOID Context);
typedef DC_TRANSPORT_ENABLE* PDC_TRANSPORT_ENABLE;
typedef NTSTATUS DC_TRANSPORT_DISABLE(PVOID Context);
typedef DC_TRANSPORT_DISABLE* PDC_TRANSPORT_DISABLE;

/* 6, 7: one bulk transfer; TRUE when posted, and then Completion is called exactly once. */
typedef BOOLEAN DC_DATA_POST(PVOID Context, PVOID Buffer, ULONG Length,
                             PDC_TRANSFER_COMPLETE Completion, PVOID CompletionContext,
                             ULONG Reserved1, ULONG Reserved2);
typedef DC_DATA_POST* PDC_DATA_POST;

/* 10: registers the notification callback; NULL, NULL withdraws it. */
typedef BOOLEAN DC_SET_NOTIFY_CALLBACK(PVOID Context, WDFDEVICE Device, PDC_NOTIFY_CALLBACK Callback);
typedef DC_SET_NOTIFY_CALLBACK* PDC_SET_NOTIFY_CALLBACK;

/* 11: ends the outstanding transfer of one direction with STATUS_CANCELLED. */
typedef VOID DC_DATA_ABORT(PVOID Context, BOOLEAN DataIn);
typedef DC_DATA_ABORT* PDC_DATA_ABORT;

/* 12: copies the CDC functional descriptor of that subtype; *Length: buffer size in, bytes out. */
typedef NTSTATUS DC_GET_FUNCTIONAL_DESCRIPTOR(PVOID Context, ULONG Subtype, PVOID Buffer, PULONG Length);
typedef DC_GET_FUNCTIONAL_DESCRIPTOR* PDC_GET_FUNCTIONAL_DESCRIPTOR;

/* 14: maximum packet size of the data-in endpoint. */
typedef NTSTATUS DC_GET_MAX_PACKET_SIZE(PVOID Context, ULONG Reserved1, ULONG Reserved2,
                                        PULONG MaxPacketSize, ULONG Reserved3);
typedef DC_GET_MAX_PACKET_SIZE* PDC_GET_MAX_PACKET_SIZE;

/* 15, 16: opens and closes the data pipes; the flags select data-in and data-out. */
typedef NTSTATUS DC_DATA_IO_INIT(PVOID Context, ULONG DataIn, ULONG DataOut);
typedef DC_DATA_IO_INIT* PDC_DATA_IO_INIT;
typedef NTSTATUS DC_DATA_IO_UNINIT(PVOID Context);
typedef DC_DATA_IO_UNINIT* PDC_DATA_IO_UNINIT;

/* 17, 18 */
typedef VOID DC_REGISTER_CALLBACKS(PVOID Context, ULONG HoldChildIfInUse,
                                   PDC_IO_START_CALLBACK Start, PDC_IO_STOP_CALLBACK Stop,
                                   PDC_IS_IN_USE_CALLBACK IsInUse, PDC_IO_SUSPEND_CALLBACK Suspend,
                                   PDC_IO_RESUME_CALLBACK Resume, PVOID CallbackContext);
typedef DC_REGISTER_CALLBACKS* PDC_REGISTER_CALLBACKS;
typedef VOID DC_UNREGISTER_CALLBACKS(PVOID Context);
typedef DC_UNREGISTER_CALLBACKS* PDC_UNREGISTER_CALLBACKS;

/* 26: idle time-out for selective suspend, in seconds (0: never idle). */
typedef NTSTATUS DC_GET_IDLE_TIMEOUT(PVOID Context, PULONG Seconds);
typedef DC_GET_IDLE_TIMEOUT* PDC_GET_IDLE_TIMEOUT;

/* 28, 29, 33 */
typedef BOOLEAN DC_IS_CTRL_DEV_ENABLED(PVOID Context);
typedef DC_IS_CTRL_DEV_ENABLED* PDC_IS_CTRL_DEV_ENABLED;
typedef ULONG DC_GET_UI_NUMBER(PVOID Context);
typedef DC_GET_UI_NUMBER* PDC_GET_UI_NUMBER;
typedef BOOLEAN DC_IS_SUSPENDED(PVOID Context);
typedef DC_IS_SUSPENDED* PDC_IS_SUSPENDED;

/* 34: brings a suspended function back; returns when it is back. PASSIVE_LEVEL. */
typedef VOID DC_DEVICE_WAKEUP(PVOID Context, BOOLEAN Flag);
typedef DC_DEVICE_WAKEUP* PDC_DEVICE_WAKEUP;

/* 35, 36, 37 */
typedef VOID DC_LAST_HANDLE_CLOSED(PVOID Context);
typedef DC_LAST_HANDLE_CLOSED* PDC_LAST_HANDLE_CLOSED;
typedef NTSTATUS DC_CLEAR_DATA(PVOID Context);
typedef DC_CLEAR_DATA* PDC_CLEAR_DATA;
typedef VOID DC_HANDLES_OPEN_AT_D0_EXIT(PVOID Context);
typedef DC_HANDLES_OPEN_AT_D0_EXIT* PDC_HANDLES_OPEN_AT_D0_EXIT;

/* --- The record ------------------------------------------------------------ */

typedef struct _DC_ENUMERATOR_INTERFACE {
    USHORT Size;                       /* sizeof(DC_ENUMERATOR_INTERFACE) */
    USHORT Version;                    /* DC_ENUMERATOR_INTERFACE_VERSION */
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;

    PDC_CONTROL_REQUEST control_request;                       /*  0 */
    PDC_GENERIC_CONTROL generic_control;                       /*  1 */
    PVOID reserved_2;
    PVOID reserved_3;
    PDC_TRANSPORT_ENABLE dc_transport_enable;                  /*  4 */
    PDC_TRANSPORT_DISABLE dc_transport_disable;                /*  5 */
    PDC_DATA_POST data_in_post;                                /*  6 */
    PDC_DATA_POST data_out_post;                               /*  7 */
    PVOID reserved_8;
    PVOID reserved_9;
    PDC_SET_NOTIFY_CALLBACK cdc_set_notify_cb;                 /* 10 */
    PDC_DATA_ABORT data_abort;                                 /* 11 */
    PDC_GET_FUNCTIONAL_DESCRIPTOR get_functional_descriptor;   /* 12 */
    PVOID reserved_13;
    PDC_GET_MAX_PACKET_SIZE get_max_packet_size;               /* 14 */
    PDC_DATA_IO_INIT cdc_data_io_init;                         /* 15 */
    PDC_DATA_IO_UNINIT cdc_data_io_uninit;                     /* 16 */
    PDC_REGISTER_CALLBACKS register_callbacks;                 /* 17 */
    PDC_UNREGISTER_CALLBACKS unregister_callbacks;             /* 18 */
    PVOID reserved_19;
    PVOID reserved_20;
    PVOID reserved_21;
    PVOID reserved_22;
    PVOID reserved_23;
    PVOID reserved_24;
    PVOID reserved_25;
    PDC_GET_IDLE_TIMEOUT get_idle_timeout;                     /* 26 */
    PVOID reserved_27;
    PDC_IS_CTRL_DEV_ENABLED is_ctrl_dev_enabled;               /* 28 */
    PDC_GET_UI_NUMBER get_ui_number;                           /* 29 */
    PVOID reserved_30;
    PVOID reserved_31;
    PVOID reserved_32;
    PDC_IS_SUSPENDED is_suspended;                             /* 33 */
    PDC_DEVICE_WAKEUP device_wakeup;                           /* 34 */
    PDC_LAST_HANDLE_CLOSED last_handle_closed;                 /* 35 */
    PDC_CLEAR_DATA dc_clear_data;                              /* 36 */
    PDC_HANDLES_OPEN_AT_D0_EXIT handles_open_at_d0_exit;       /* 37 */
} DC_ENUMERATOR_INTERFACE, *PDC_ENUMERATOR_INTERFACE;

/* Slot n of the operations lies at the header plus n pointers, in every build. */
#define DC_ENUMERATOR_SLOT_OFFSET(n) (sizeof(INTERFACE) + (n) * sizeof(PVOID))

static_assert(sizeof(DC_ENUMERATOR_INTERFACE) == DC_ENUMERATOR_SLOT_OFFSET(DC_ENUMERATOR_OPERATION_COUNT),
              "38 operation slots follow the INTERFACE header");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, InterfaceDereference) ==
                  FIELD_OFFSET(INTERFACE, InterfaceDereference),
              "the record begins with the INTERFACE header");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, data_in_post) == DC_ENUMERATOR_SLOT_OFFSET(6), "slot 6");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, register_callbacks) == DC_ENUMERATOR_SLOT_OFFSET(17),
              "slot 17");
static_assert(FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, handles_open_at_d0_exit) == DC_ENUMERATOR_SLOT_OFFSET(37),
              "slot 37");

/* The 32-bit layout the outside world sees: 168 bytes. */
static_assert(sizeof(void*) != 4 || sizeof(DC_ENUMERATOR_INTERFACE) == 168, "32-bit record is 168 bytes");
static_assert(sizeof(void*) != 4 || FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, control_request) == 16, "32-bit slot 0");
static_assert(sizeof(void*) != 4 || FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, data_in_post) == 40, "32-bit slot 6");
static_assert(sizeof(void*) != 4 || FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, cdc_set_notify_cb) == 56, "32-bit slot 10");
static_assert(sizeof(void*) != 4 || FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, register_callbacks) == 84, "32-bit slot 17");
static_assert(sizeof(void*) != 4 || FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, get_idle_timeout) == 120, "32-bit slot 26");
static_assert(sizeof(void*) != 4 || FIELD_OFFSET(DC_ENUMERATOR_INTERFACE, handles_open_at_d0_exit) == 164,
              "32-bit slot 37");
