// Cancellation racing completion, over many seeds of the controlled
// scheduler: every request completes exactly once, with the status of
// whichever side won.
#include "io_fixture.h"

namespace iotest {
namespace {

// The completion side: a DPC that completes what the driver handed it.
struct CompletionSide {
    WDFSPINLOCK lock = nullptr;
    WDFDPC dpc = nullptr;
    WDFQUEUE manual = nullptr;           // forwarded mode: requests wait here
    std::vector<WDFREQUEST> pending;     // cancelable mode: requests marked cancelable
} g_side;

// Cancelable mode: a request the DPC still finds marked is completed with
// its length; one whose cancellation began is left to the cancel routine.
void complete_marked()
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
void complete_queued()
{
    WDFREQUEST request;
    while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(g_side.manual, &request)))
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 4);
}

EVT_WDF_DPC completion_dpc;
VOID completion_dpc(WDFDPC Dpc)
{
    if (g_side.manual)
        complete_queued();
    else
        complete_marked();
}

// Cancel routine of cancelable mode: the request leaves the DPC's list.
void cancel_marked(WDFREQUEST request)
{
    WdfSpinLockAcquire(g_side.lock);
    std::erase(g_side.pending, request);
    WdfSpinLockRelease(g_side.lock);
    WdfRequestComplete(request, STATUS_CANCELLED);
}

class CancelRaceTest : public IoTest, public ::testing::WithParamInterface<bool> {
protected:
    bool forwarded() const { return GetParam(); }

    void start_seed(uint64_t seed)
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
        start(seed);
    }
};

TEST_P(CancelRaceTest, EveryRequestCompletesExactlyOnce)
{
    constexpr int kReads = 4;
    int cancelled_won = 0, completion_won = 0;
    for (uint64_t seed = 1; seed <= 150; ++seed) {
        start_seed(seed);
        std::vector<std::unique_ptr<Io>> ios;
        for (int i = 0; i < kReads; ++i)
            ios.push_back(read(4));
        cancel(*ios[1]);
        cancel(*ios[3]);
        for (int i = 0; i < kReads; ++i) {
            NTSTATUS status = wait(*ios[i]);
            bool was_cancelled = i % 2 == 1;
            if (!was_cancelled) {
                EXPECT_EQ(status, STATUS_SUCCESS) << "seed " << seed << " read " << i;
            } else {
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << "seed " << seed;
                (status == STATUS_CANCELLED ? cancelled_won : completion_won)++;
            }
            EXPECT_EQ(ios[i]->information(), status == STATUS_SUCCESS ? 4u : 0u) << "seed " << seed;
        }
        settle();
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << "seed " << seed << ": " << v.check << ": " << v.detail;
        if (HasFailure())
            return;
    }
    // Both sides win some of the races.
    EXPECT_GT(cancelled_won, 0);
    EXPECT_GT(completion_won, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, CancelRaceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ForwardedToAManualQueue" : "MarkedCancelable"; });

}  // namespace
}  // namespace iotest
