// The cancel-versus-complete race: a driver whose completion side (a DPC)
// and cancel routine compete for the same requests, and one round of
// reads of which some are cancelled at once.
#pragma once

#include "io_fixture.h"

namespace iotest {


// The completion side: a DPC that completes what the driver handed it.
struct CompletionSide {
    WDFSPINLOCK lock = nullptr;
    WDFDPC dpc = nullptr;
    WDFQUEUE manual = nullptr;           // forwarded mode: requests wait here
    std::vector<WDFREQUEST> pending;     // cancelable mode: requests marked cancelable
};
inline CompletionSide g_side;

// Cancelable mode: a request the DPC still finds marked is completed with
// its length; one whose cancellation began is left to the cancel routine.
inline void complete_marked()
{
    for (;;) {
        WdfSpinLockAcquire(g_side.lock);
        if (g_side.pending.empty()) {
            WdfSpinLockRelease(g_side.lock);
            return;
        }
        WDFREQUEST request = g_side.pending.back();
        g_side.pending.pop_back();
        NTSTATUS unmarked = WdfRequestUnmarkCancelable(request);
        WdfSpinLockRelease(g_side.lock);
        if (unmarked != STATUS_CANCELLED)
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 4);
    }
}

// Forwarded mode: the DPC retrieves what is still waiting in the queue.
inline void complete_queued()
{
    WDFREQUEST request;
    while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(g_side.manual, &request)))
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 4);
}

inline VOID completion_dpc(WDFDPC /*Dpc*/)
{
    if (g_side.manual)
        complete_queued();
    else
        complete_marked();
}

// Cancel routine of cancelable mode: the request leaves the DPC's list.
inline void cancel_marked(WDFREQUEST request)
{
    WdfSpinLockAcquire(g_side.lock);
    std::erase(g_side.pending, request);
    WdfSpinLockRelease(g_side.lock);
    WdfRequestComplete(request, STATUS_CANCELLED);
}

class CancelRaceTest : public IoTest, public ::testing::WithParamInterface<bool> {
protected:
    bool forwarded() const { return GetParam(); }

    void start_seed(uint64_t seed, host::Mode mode = host::Mode::controlled)
    {
        stop();
        reset();
        host::verifier_reset();
        record_violations();
        g_side = CompletionSide{};
        behaviour.create_queues = [this](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
            if (forwarded()) {
                config = queue_config(WdfIoQueueDispatchManual, false);
                WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_side.manual);
            }
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.ParentObject = device;
            WdfSpinLockCreate(&attributes, &g_side.lock);
            WDF_DPC_CONFIG dpc;
            WDF_DPC_CONFIG_INIT(&dpc, completion_dpc);
            WdfDpcCreate(&dpc, &attributes, &g_side.dpc);
        };
        behaviour.on_io = [this](WDFQUEUE, WDFREQUEST request) {
            if (forwarded()) {
                WdfRequestForwardToIoQueue(request, g_side.manual);
            } else {
                WdfSpinLockAcquire(g_side.lock);
                NTSTATUS marked = WdfRequestMarkCancelableEx(request, evt_request_cancel);
                if (NT_SUCCESS(marked))
                    g_side.pending.push_back(request);
                WdfSpinLockRelease(g_side.lock);
                if (!NT_SUCCESS(marked)) {
                    WdfRequestComplete(request, STATUS_CANCELLED);
                    return;
                }
            }
            WdfDpcEnqueue(g_side.dpc);
        };
        behaviour.on_cancel = cancel_marked;
        start(seed, mode);
    }

    // Four reads, the second and fourth cancelled at once: the others
    // succeed, the cancelled ones end with whichever side won. Counts the
    // winners; `run` names the seed or round in messages.
    void race_once(uint64_t run, int& cancelled_won, int& completion_won)
    {
        constexpr int kReads = 4;
        std::vector<std::unique_ptr<Io>> ios;
        for (int i = 0; i < kReads; ++i)
            ios.push_back(read(4));
        cancel(*ios[1]);
        cancel(*ios[3]);
        for (int i = 0; i < kReads; ++i) {
            NTSTATUS status = wait(*ios[i]);
            if (i % 2 == 0) {
                EXPECT_EQ(status, STATUS_SUCCESS) << "run " << run << " read " << i;
            } else {
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "run " << run;
                (status == STATUS_CANCELLED ? cancelled_won : completion_won)++;
            }
            EXPECT_EQ(ios[i]->information(), status == STATUS_SUCCESS ? 4u : 0u) << "run " << run;
        }
        settle();
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << "run " << run << ": " << v.check << ": " << v.detail;
    }
};

}  // namespace iotest
