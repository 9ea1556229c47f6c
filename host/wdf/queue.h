// The framework queue object: requests waiting to be presented, requests
// delivered to the driver and not yet completed, and the queue's state.
// Fields are guarded by the scheduler lock.
#pragma once

#include "host/wdf/request.h"

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace host::wdf {

struct FxQueue : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::queue;
    FxQueue() : FxObject(kKind) {}
    void dispose() override;

    FxDevice* device = nullptr;
    WDF_IO_QUEUE_CONFIG config{};
    bool power_managed = false;

    bool accepting = true;     // WdfIoQueueAcceptRequests
    bool started = true;       // not stopped or purged by the driver
    bool power_held = false;   // power managed and the device is not in D0
    bool removed = false;      // the device is being removed

    std::deque<FxRequest*> waiting;   // undelivered, in presentation order
    std::vector<FxRequest*> owned;    // delivered to the driver, not completed

    // Stop, purge and drain callbacks, run once the queue is idle enough.
    struct StateCallback {
        bool needs_empty;              // purge and drain also wait for `waiting`
        PFN_WDF_IO_QUEUE_STATE routine;
        WDFCONTEXT context;
    };
    std::vector<StateCallback> state_callbacks;

    bool dispatching() const { return started && !power_held && !removed; }
};

// A power-managed queue keeps the device in D0 while it accounts for a
// request: a power reference is taken before the request enters it and is
// dropped when the request is completed or moved to a queue that takes its
// own (none, if that queue is not power managed). The reference is taken
// without the lock, and handed to the request once it is in, under the lock;
// one that is not handed over is dropped when this goes.
class QueuePowerReference {
public:
    explicit QueuePowerReference(FxQueue* queue);
    ~QueuePowerReference();
    QueuePowerReference(const QueuePowerReference&) = delete;
    QueuePowerReference& operator=(const QueuePowerReference&) = delete;

    // The request now belongs to the queue: it holds this reference and
    // gives back the one it held for its previous queue.
    void hand_to_locked(FxRequest* request, std::unique_lock<std::mutex>& lock);

private:
    FxDevice* device_;
    bool held_ = false;
};

// A request leaves the power accounting of its queue (lock held).
void request_drop_power_reference_locked(FxRequest* request, std::unique_lock<std::mutex>& lock);

// Puts a request into the queue (lock held). Fails with
// STATUS_INVALID_DEVICE_STATE if the queue does not accept requests.
NTSTATUS queue_insert_locked(FxQueue* queue, FxRequest* request, bool by_driver);

// Presents waiting requests as the queue's dispatch type allows, on the
// calling thread, and runs state callbacks that became due. No lock held.
void queue_run(FxQueue* queue);

// After one of its requests completed. A queue that limits how many requests
// it presents may now present the next; an unlimited parallel queue presented
// every arrival on the arriving thread already, and presenting here would let
// a completing thread overtake an arriving one (and reorder its requests).
void queue_after_completion(FxQueue* queue);

// A request left `queue` (completed, forwarded or requeued elsewhere);
// lock held. queue_run afterwards presents the next one.
void queue_detach_locked(FxQueue* queue, FxRequest* request);

// Puts a request into the queue and presents what the queue can take. A
// zero-length read or write completes at once with STATUS_SUCCESS unless
// the queue allows zero-length requests. No lock held.
NTSTATUS queue_enqueue(FxQueue* queue, FxRequest* request, bool by_driver);

// The queue that takes requests of the IRP's type: the one configured with
// WdfDeviceConfigureRequestDispatching, else the default queue; or null.
FxQueue* route(FxDevice* device, const io::Irp& irp);

// Takes every waiting request that `match` selects off the queue and
// cancels it (queue_cancel_waiting). No lock held.
void queue_cancel_waiting_where(FxQueue* queue, const std::function<bool(FxRequest*)>& match);

// A request waiting in `queue` was cancelled and taken off it: the driver's
// EvtIoCanceledOnQueue for requests it requeued, else completion with
// STATUS_CANCELLED. No lock held.
void queue_cancel_waiting(FxQueue* queue, FxRequest* request);

}  // namespace host::wdf
