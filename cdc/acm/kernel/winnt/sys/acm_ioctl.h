/*
 * The serial I/O controls of the port.
 */
#pragma once
#include "acm_request.h"

/* The controls of the common class layer. */
#ifndef IOCTL_DC_GENERIC_CONTROL
#define IOCTL_DC_GENERIC_CONTROL                   0x8000241B
#define IOCTL_CDC_SEND_ENCAPSULATED_COMMAND        0x80002427
#define IOCTL_CDC_GET_ENCAPSULATED_RESPONSE        0x80002443
#define IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE   0x80002447
#endif

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL acm_evt_ioctl;

/* Passes a control of the common class layer on to it; completes it. */
VOID acm_common_ioctl(PACM_FDO_DATA fdx, ULONG code, WDFREQUEST request);

/* The name printed for a code: the IOCTL_SERIAL_ name without its prefix. */
PCSTR acm_ioctl_name(ULONG code);
