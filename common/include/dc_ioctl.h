/*
 * The generic control and encapsulated-command I/O controls of the port,
 * as applications and the driver both see them: the control codes, the
 * 20-byte parameter record and the result codes reported in it.
 *
 * All four controls use METHOD_NEITHER. The application passes the address
 * of a dc_ioctl_data record as input buffer and as output buffer (the same
 * record or two that do not overlap); the input record names the input data,
 * the output record names the output buffer and receives the results. The
 * request itself completes with success and 20 bytes once the driver has
 * taken the record; the outcome is in dc_status.
 *
 * Addresses in the record are 32 bits wide in every build: the buffers they
 * name lie below 4 GiB.
 */
#pragma once

#include <ntdef.h>

/* Device type 0x8000, FILE_ANY_ACCESS, METHOD_NEITHER. */
#define IOCTL_DC_GENERIC_CONTROL                  0x8000241B   /* function 0x906 */
#define IOCTL_CDC_SEND_ENCAPSULATED_COMMAND       0x80002427   /* function 0x909 */
#define IOCTL_CDC_GET_ENCAPSULATED_RESPONSE       0x80002443   /* function 0x910 */
#define IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE  0x80002447   /* function 0x911 */

typedef struct _dc_ioctl_data {
    ULONG dc_status;      /* out: DC_STATUS_* */
    ULONG data_in_len;    /* in: bytes at data_in */
    ULONG data_in;        /* in: address of the input data */
    ULONG data_out_len;   /* in: size of the buffer at data_out; out: bytes returned */
    ULONG data_out;       /* in: address of the output buffer */
} dc_ioctl_data;

static_assert(sizeof(dc_ioctl_data) == 20, "dc_ioctl_data is 20 bytes");
static_assert(FIELD_OFFSET(dc_ioctl_data, data_in_len) == 4, "data_in_len at 4");
static_assert(FIELD_OFFSET(dc_ioctl_data, data_in) == 8, "data_in at 8");
static_assert(FIELD_OFFSET(dc_ioctl_data, data_out_len) == 12, "data_out_len at 12");
static_assert(FIELD_OFFSET(dc_ioctl_data, data_out) == 16, "data_out at 16");

/* dc_status codes. */
#define DC_STATUS_SUCCESS                   0
#define DC_STATUS_FAILED                    1
#define DC_STATUS_TIMEOUT                   2
#define DC_STATUS_BUFFER_TOO_SMALL          3
#define DC_STATUS_INVALID_PARAMETER         4
#define DC_STATUS_INVALID_DEVICE_REQUEST    5
#define DC_STATUS_INVALID_HANDLE            6
#define DC_STATUS_ACCESS_VIOLATION          7
#define DC_STATUS_DEVICE_BUSY               8
#define DC_STATUS_DEVICE_NOT_CONNECTED      9

/*
 * The control record of IOCTL_DC_GENERIC_CONTROL, given as its input data:
 * a USB setup packet, then the 32-bit address and length of a separate
 * data-stage buffer (address 0: the data stage uses the output buffer).
 */
typedef struct _dc_control_record {
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
    ULONG data_address;
    ULONG data_length;
} dc_control_record;

static_assert(sizeof(dc_control_record) == 16, "control record is 16 bytes");
