/*
 * The serial I/O controls of the port.
 */
#pragma once
#include "acm_request.h"

/* The controls of the common class layer (IOCTL_DC_GENERIC_CONTROL and the
   encapsulated-command controls) come with common_class.h, from dc_ioctl.h. */

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL acm_evt_ioctl;

/* Passes a control of the common class layer on to it; completes it. */
VOID acm_common_ioctl(PACM_FDO_DATA fdx, ULONG code, WDFREQUEST request);

/* The name printed for a code: the IOCTL_SERIAL_ name without its prefix. */
PCSTR acm_ioctl_name(ULONG code);
