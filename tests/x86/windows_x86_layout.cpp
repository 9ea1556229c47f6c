/*
 * Layouts as a 32-bit x86 Windows build lays them out: 4-byte pointers and
 * 8-byte alignment of 64-bit integers. Compiled by the x86 check (our
 * headers, -m32 -malign-double) and by MinGW-w64 (its kernel headers), so
 * both toolchains must agree on every number here.
 */
#include "acm_serial.h"

#define ACM_AT(type, field, offset) static_assert(FIELD_OFFSET(type, field) == (offset), #type "." #field)
#define ACM_SIZE(type, size) static_assert(sizeof(type) == (size), "sizeof " #type)

static_assert(sizeof(void*) == 4, "a 32-bit build");
static_assert(alignof(LONGLONG) == 8, "64-bit integers are 8-byte aligned, as on Windows x86");

/* The bus interface record: the INTERFACE header, then 38 four-byte slots. */
ACM_SIZE(DC_ENUMERATOR_INTERFACE, 168); ACM_AT(DC_ENUMERATOR_INTERFACE, Version, 2);
ACM_AT(DC_ENUMERATOR_INTERFACE, Context, 4); ACM_AT(DC_ENUMERATOR_INTERFACE, InterfaceReference, 8);
ACM_AT(DC_ENUMERATOR_INTERFACE, InterfaceDereference, 12); ACM_AT(DC_ENUMERATOR_INTERFACE, control_request, 16);
ACM_AT(DC_ENUMERATOR_INTERFACE, data_in_post, 40); ACM_AT(DC_ENUMERATOR_INTERFACE, register_callbacks, 84);
ACM_AT(DC_ENUMERATOR_INTERFACE, handles_open_at_d0_exit, 164);
ACM_SIZE(DC_CONTROL_RECORD, 16); ACM_AT(DC_CONTROL_RECORD, data_address, 8);

/* The record of the generic control and encapsulated-command controls. */
ACM_SIZE(dc_ioctl_data, 20); ACM_AT(dc_ioctl_data, data_in_len, 4); ACM_AT(dc_ioctl_data, data_in, 8);
ACM_AT(dc_ioctl_data, data_out_len, 12); ACM_AT(dc_ioctl_data, data_out, 16);

/* The serial records applications exchange with the driver. */
ACM_SIZE(SERIAL_BAUD_RATE, 4);
ACM_SIZE(SERIAL_LINE_CONTROL, 3);
ACM_SIZE(SERIAL_CHARS, 6);
ACM_SIZE(SERIAL_QUEUE_SIZE, 8);
ACM_SIZE(SERIAL_HANDFLOW, 16); ACM_AT(SERIAL_HANDFLOW, XoffLimit, 12);
ACM_SIZE(SERIAL_TIMEOUTS, 20); ACM_AT(SERIAL_TIMEOUTS, WriteTotalTimeoutConstant, 16);
ACM_SIZE(SERIAL_STATUS, 20); ACM_AT(SERIAL_STATUS, EofReceived, 16); ACM_AT(SERIAL_STATUS, WaitForImmediate, 17);
ACM_SIZE(SERIALPERF_STATS, 24); ACM_AT(SERIALPERF_STATS, ParityErrorCount, 20);
ACM_SIZE(SERIAL_XOFF_COUNTER, 12); ACM_AT(SERIAL_XOFF_COUNTER, XoffChar, 8);
ACM_SIZE(SERIAL_COMMPROP, 64); ACM_AT(SERIAL_COMMPROP, ProvChar, 60);
ACM_SIZE(SERIAL_BASIC_SETTINGS, 44); ACM_AT(SERIAL_BASIC_SETTINGS, HandFlow, 20);
ACM_AT(SERIAL_BASIC_SETTINGS, RxFifo, 36);

/* The framework's request parameters: the union holds a LONGLONG. */
ACM_SIZE(WDF_REQUEST_PARAMETERS, 24); ACM_AT(WDF_REQUEST_PARAMETERS, Parameters, 8);
ACM_AT(WDF_REQUEST_PARAMETERS, Parameters.Read.DeviceOffset, 16);
ACM_AT(WDF_REQUEST_PARAMETERS, Parameters.DeviceIoControl.IoControlCode, 16);

/* The device context's 64-bit fields sit on 8-byte boundaries. */
static_assert(alignof(ACM_FDO_DATA) == 8, "ACM_FDO_DATA holds 64-bit fields");
static_assert(FIELD_OFFSET(ACM_FDO_DATA, read_timeout) % 8 == 0, "ACM_FDO_DATA.read_timeout");

/* The request context, field by field. */
ACM_AT(ACM_REQUEST_CONTEXT, status, 4); ACM_AT(ACM_REQUEST_CONTEXT, buffer, 16);
ACM_AT(ACM_REQUEST_CONTEXT, major_function, 20); ACM_AT(ACM_REQUEST_CONTEXT, cancel_routine, 24);
ACM_AT(ACM_REQUEST_CONTEXT, device, 28); ACM_AT(ACM_REQUEST_CONTEXT, ioctl_code, 32);
ACM_AT(ACM_REQUEST_CONTEXT, resume, 36); ACM_AT(ACM_REQUEST_CONTEXT, timer, 40);
ACM_AT(ACM_REQUEST_CONTEXT, due_time, 48); ACM_AT(ACM_REQUEST_CONTEXT, posted, 56);
ACM_AT(ACM_REQUEST_CONTEXT, stopped_in_intake, 60); ACM_AT(ACM_REQUEST_CONTEXT, marking_thread, 64);
ACM_SIZE(ACM_REQUEST_CONTEXT, 72);
