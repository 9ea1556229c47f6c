/*
 * Power transitions: the framework's power and self-managed I/O callbacks,
 * the wake-up work items and the quiescing of the request engine.
 */
#pragma once
#include "acm_serial.h"

EVT_WDF_DEVICE_D0_ENTRY acm_evt_dev_d0_entry;
EVT_WDF_DEVICE_D0_EXIT acm_evt_dev_d0_exit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH acm_evt_dev_self_managed_io_flush;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART acm_evt_dev_self_managed_io_restart;

EVT_WDF_WORKITEM acm_device_wakeup_cb;
EVT_WDF_WORKITEM acm_child_device_wakeup_cb;

/* PASSIVE_LEVEL: waits for running callbacks. */
_IRQL_requires_(PASSIVE_LEVEL)
VOID acm_stop_timer_and_dpcs(PACM_FDO_DATA fdx);
