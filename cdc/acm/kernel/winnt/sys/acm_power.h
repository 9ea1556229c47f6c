/*
 * Power transitions and I/O start and stop: the framework's power
 * callbacks, the callbacks the bus driver calls to start, stop, suspend and
 * resume the function's I/O, and the wake-up work items.
 */
#pragma once
#include "acm_serial.h"

NTSTATUS acm_io_start(PACM_FDO_DATA fdx);
/* Idempotent: the first call after a start does the work. */
NTSTATUS acm_io_stop(PACM_FDO_DATA fdx);
NTSTATUS acm_send_clear_data(PACM_FDO_DATA fdx);

DC_IO_START_CALLBACK acm_io_start_cb;
DC_IO_STOP_CALLBACK acm_io_stop_cb;
DC_IS_IN_USE_CALLBACK acm_is_in_use_cb;
DC_IO_SUSPEND_CALLBACK acm_io_suspend_cb;
DC_IO_RESUME_CALLBACK acm_io_resume_cb;

EVT_WDF_DEVICE_D0_ENTRY acm_evt_dev_d0_entry;
EVT_WDF_DEVICE_D0_EXIT acm_evt_dev_d0_exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH acm_evt_dev_self_managed_io_flush;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART acm_evt_dev_self_managed_io_restart;

EVT_WDF_WORKITEM acm_device_wakeup_cb;
EVT_WDF_WORKITEM acm_child_device_wakeup_cb;

/* Notification packets from the interrupt endpoint. */
DC_NOTIFY_CALLBACK acm_notify_cb;

/* PASSIVE_LEVEL: waits for running callbacks. */
VOID acm_stop_timer_and_dpcs(PACM_FDO_DATA fdx);
VOID acm_delay_us(ULONG microseconds);
