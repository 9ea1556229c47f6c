/*
 * Opening and closing the port: the first open starts I/O, the end of the
 * open (its handle's cleanup, or the removal's flush) stops it.
 */
#pragma once
#include "acm_serial.h"

EVT_WDF_DEVICE_FILE_CREATE acm_evt_file_create;
EVT_WDF_FILE_CLEANUP acm_evt_file_cleanup;
EVT_WDF_FILE_CLOSE acm_evt_file_close;
/* Ends the open, if one is active; PASSIVE_LEVEL. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID acm_evt_file_cleanup_device(WDFDEVICE device);
