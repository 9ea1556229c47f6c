/*
 * I/O start and stop, and the callbacks through which the bus driver
 * starts, stops, suspends and resumes the function's I/O.
 */
#pragma once
#include "acm_serial.h"

NTSTATUS acm_io_start(PACM_FDO_DATA fdx);
/* Idempotent: the first call after a start does the work. */
NTSTATUS acm_io_stop(PACM_FDO_DATA fdx);
/* Notifications and the data-in stream again, after a pause. */
VOID acm_io_restart(PACM_FDO_DATA fdx);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS acm_send_clear_data(PACM_FDO_DATA fdx);

DC_IO_START_CALLBACK acm_io_start_cb;
DC_IO_STOP_CALLBACK acm_io_stop_cb;
DC_IS_IN_USE_CALLBACK acm_is_in_use_cb;
DC_IO_SUSPEND_CALLBACK acm_io_suspend_cb;
DC_IO_RESUME_CALLBACK acm_io_resume_cb;

/* Notification packets from the interrupt endpoint, while I/O runs. */
DC_NOTIFY_CALLBACK acm_notify_cb;
