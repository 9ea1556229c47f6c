/*
 * USB Communications Device Class, Abstract Control Model: the codes and wire
 * formats that the function driver and the bus driver beneath it both speak
 * (CDC 1.1 and PSTN 1.2 class-specific descriptors, requests and
 * notifications). Little-endian, no padding.
 */
#pragma once

#include <ntdef.h>

/* Class-specific descriptor type and functional descriptor subtypes. */
#define CDC_CS_INTERFACE                        0x24
#define CDC_FD_HEADER                           0x00
#define CDC_FD_CALL_MANAGEMENT                  0x01
#define CDC_FD_ABSTRACT_CONTROL_MANAGEMENT      0x02
#define CDC_FD_UNION                            0x06

/* Call Management functional descriptor: length, type, subtype, bmCapabilities, bDataInterface. */
#define CDC_CALL_MGMT_DESC_LENGTH               5
#define CDC_CALL_MGMT_BY_DEVICE                 0x01   /* D0 */
#define CDC_CALL_MGMT_OVER_DATA                 0x02   /* D1 */

/* Abstract Control Management functional descriptor: length, type, subtype, bmCapabilities. */
#define CDC_ACM_DESC_LENGTH                     4
#define CDC_ACM_COMM_FEATURE                    0x01   /* D0: SET/GET/CLEAR_COMM_FEATURE */
#define CDC_ACM_LINE_CODING                     0x02   /* D1: line coding, control line state, SERIAL_STATE */
#define CDC_ACM_SEND_BREAK                      0x04   /* D2 */
#define CDC_ACM_NETWORK_CONNECTION              0x08   /* D3 */

/* Offset of bmCapabilities in both descriptors. */
#define CDC_FD_CAPABILITIES_OFFSET              3

/* bmRequestType of class requests to the communication interface, and of notifications. */
#define CDC_REQUEST_HOST_TO_INTERFACE           0x21
#define CDC_REQUEST_INTERFACE_TO_HOST           0xA1
#define CDC_NOTIFICATION_REQUEST_TYPE           0xA1

/* Class requests (bRequest). */
#define CDC_SEND_ENCAPSULATED_COMMAND           0x00
#define CDC_GET_ENCAPSULATED_RESPONSE           0x01
#define CDC_SET_LINE_CODING                     0x20
#define CDC_GET_LINE_CODING                     0x21
#define CDC_SET_CONTROL_LINE_STATE              0x22
#define CDC_SEND_BREAK                          0x23

/* SET_CONTROL_LINE_STATE wValue. */
#define CDC_CONTROL_LINE_DTR                    0x0001
#define CDC_CONTROL_LINE_RTS                    0x0002

/* SEND_BREAK wValue: break until a SEND_BREAK with 0 ends it. */
#define CDC_BREAK_UNTIL_STOPPED                 0xFFFF
#define CDC_BREAK_OFF                           0x0000

/* Notifications (bNotification). */
#define CDC_NOTIFY_NETWORK_CONNECTION           0x00
#define CDC_NOTIFY_RESPONSE_AVAILABLE           0x01
#define CDC_NOTIFY_SERIAL_STATE                 0x20

/* SERIAL_STATE bitmap (the 16-bit data of the notification). */
#define CDC_SERIAL_STATE_RX_CARRIER             0x0001   /* bRxCarrier: DCD */
#define CDC_SERIAL_STATE_TX_CARRIER             0x0002   /* bTxCarrier: DSR */
#define CDC_SERIAL_STATE_BREAK                  0x0004
#define CDC_SERIAL_STATE_RING_SIGNAL            0x0008
#define CDC_SERIAL_STATE_FRAMING                0x0010
#define CDC_SERIAL_STATE_PARITY                 0x0020
#define CDC_SERIAL_STATE_OVERRUN                0x0040

/* Line coding codes. */
#define CDC_STOP_BITS_1                         0
#define CDC_STOP_BITS_1_5                       1
#define CDC_STOP_BITS_2                         2
#define CDC_PARITY_NONE                         0
#define CDC_PARITY_ODD                          1
#define CDC_PARITY_EVEN                         2
#define CDC_PARITY_MARK                         3
#define CDC_PARITY_SPACE                        4

#pragma pack(push, 1)

/* SET_LINE_CODING / GET_LINE_CODING data. */
typedef struct _CDC_LINE_CODING {
    ULONG dwDTERate;     /* bits per second */
    UCHAR bCharFormat;   /* CDC_STOP_BITS_* */
    UCHAR bParityType;   /* CDC_PARITY_* */
    UCHAR bDataBits;     /* 5, 6, 7, 8 or 16 */
} CDC_LINE_CODING, *PCDC_LINE_CODING;

/* Header of a notification on the interrupt endpoint; wLength data bytes follow. */
typedef struct _CDC_NOTIFICATION_HEADER {
    UCHAR bmRequestType;
    UCHAR bNotification;
    USHORT wValue;
    USHORT wIndex;
    USHORT wLength;
} CDC_NOTIFICATION_HEADER, *PCDC_NOTIFICATION_HEADER;

#pragma pack(pop)

#define CDC_LINE_CODING_SIZE                    7
#define CDC_NOTIFICATION_HEADER_SIZE            8
#define CDC_SERIAL_STATE_NOTIFICATION_SIZE      10

static_assert(sizeof(CDC_LINE_CODING) == CDC_LINE_CODING_SIZE, "line coding is 7 bytes on the wire");
static_assert(sizeof(CDC_NOTIFICATION_HEADER) == CDC_NOTIFICATION_HEADER_SIZE,
              "notification header is 8 bytes on the wire");
