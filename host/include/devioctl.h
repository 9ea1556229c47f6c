/*
 * Device types and I/O control codes, the same for kernel drivers and for
 * applications that build control codes (winioctl.h includes this header).
 */
#pragma once
#include "ntdef.h"

/* Device types. */
#define FILE_DEVICE_BEEP                0x00000001
#define FILE_DEVICE_CD_ROM              0x00000002
#define FILE_DEVICE_CONTROLLER          0x00000004
#define FILE_DEVICE_DISK                0x00000007
#define FILE_DEVICE_KEYBOARD            0x0000000b
#define FILE_DEVICE_MOUSE               0x0000000f
#define FILE_DEVICE_NETWORK             0x00000012
#define FILE_DEVICE_NULL                0x00000015
#define FILE_DEVICE_PARALLEL_PORT       0x00000016
#define FILE_DEVICE_PRINTER             0x00000018
#define FILE_DEVICE_SERIAL_MOUSE_PORT   0x0000001a
#define FILE_DEVICE_SERIAL_PORT         0x0000001b
#define FILE_DEVICE_SCREEN              0x0000001c
#define FILE_DEVICE_TRANSPORT           0x00000021
#define FILE_DEVICE_UNKNOWN             0x00000022
#define FILE_DEVICE_BUS_EXTENDER        0x0000002a
#define FILE_DEVICE_MODEM               0x0000002b

/* I/O control codes. */
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ControlCode) (((ULONG)((ControlCode) & 0xffff0000)) >> 16)
#define METHOD_FROM_CTL_CODE(ControlCode) ((ULONG)((ControlCode) & 3))
#define METHOD_BUFFERED    0
#define METHOD_IN_DIRECT   1
#define METHOD_OUT_DIRECT  2
#define METHOD_NEITHER     3
#define FILE_ANY_ACCESS    0
#define FILE_SPECIAL_ACCESS FILE_ANY_ACCESS
#define FILE_READ_ACCESS   0x0001
#define FILE_WRITE_ACCESS  0x0002
