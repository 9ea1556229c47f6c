// What the device side of the framework calls on the queue side: request
// intake, power transitions, file cleanup and removal. All run at
// PASSIVE_LEVEL without the scheduler lock; the power and removal hooks run
// on the PnP thread.
#pragma once

#include "host/wdf/fx.h"

namespace host::wdf {

// A read, write, device-control or internal device-control IRP of the
// device: becomes a request (with the device's request context), goes to
// EvtIoInCallerContext if the driver registered one, else to its queue.
void queues_dispatch(FxDevice* device, io::Irp* irp);

// The device leaves D0: power-managed queues stop presenting requests and
// EvtIoStop(WdfRequestStopActionSuspend) runs once for every request the
// driver owns from them. Returns when each is completed or acknowledged.
void queues_power_down(FxDevice* device);

// The device is back in D0: EvtIoResume for every request acknowledged
// without requeue, then the queues present what they hold.
void queues_power_up(FxDevice* device);

// IRP_MJ_CLEANUP of `file`: requests of that file still waiting in a queue
// are cancelled.
void queues_file_cleanup(FxDevice* device, FxFile* file);

// Removal (orderly or surprise): every queue stops accepting, waiting
// requests are cancelled, EvtIoStop(WdfRequestStopActionPurge) runs for
// every request the driver owns, and the call waits for their completion.
// A request still not completed is reported ("request-left-uncompleted").
void queues_remove(FxDevice* device);

}  // namespace host::wdf
