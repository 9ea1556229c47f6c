// Queues: state, retrieval, stop, purge and cancellation of waiting
// requests, dispatch types, and power-managed queues across power
// transitions and removal.
#include "io_fixture.h"

namespace iotest {
namespace {

// A parallel default queue (`power_managed` for it) and one manual queue.
class QueueTest : public IoTest {
protected:
    void start_with_manual_queue(WDF_TRI_STATE default_power = WdfUseDefault)
    {
        behaviour.create_queues = [this, default_power](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
            config.PowerManaged = default_power;
            ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue),
                      STATUS_SUCCESS);
            config = queue_config(WdfIoQueueDispatchManual, false);
            ASSERT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &manual_), STATUS_SUCCESS);
        };
        start();
    }

    // A read the driver received and forwarded to the manual queue.
    std::unique_ptr<Io> parked_read()
    {
        auto io = read(4);
        EXPECT_EQ(WdfRequestForwardToIoQueue(journal.take_held(), manual_), STATUS_SUCCESS);
        return io;
    }

    ULONG state(WDFQUEUE queue, ULONG* waiting = nullptr, ULONG* owned = nullptr)
    {
        return WdfIoQueueGetState(queue, waiting, owned);
    }

    // EvtIoStop: a purge cancels the request, a suspend acknowledges it.
    static void cancel_on_purge_else_acknowledge(WDFQUEUE, WDFREQUEST request, ULONG flags)
    {
        if (flags & WdfRequestStopActionPurge)
            WdfRequestComplete(request, STATUS_CANCELLED);
        else
            WdfRequestStopAcknowledge(request, FALSE);
    }

    WDFQUEUE manual_ = nullptr;
};

constexpr ULONG kIdle = WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests;

TEST_F(QueueTest, StateCountsWaitingAndDriverOwnedRequests)
{
    start_with_manual_queue();
    ULONG waiting, owned;
    EXPECT_EQ(state(manual_, &waiting, &owned), kIdle | WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests);
    EXPECT_EQ(waiting + owned, 0u);

    auto io = parked_read();
    EXPECT_EQ(state(manual_, &waiting, &owned) & kIdle, ULONG(WdfIoQueueDriverNoRequests));
    EXPECT_EQ(waiting, 1u);

    WDFREQUEST request;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_SUCCESS);
    EXPECT_EQ(state(manual_, &waiting, &owned) & kIdle, ULONG(WdfIoQueueNoRequests));
    EXPECT_EQ(owned, 1u);
    EXPECT_EQ(WdfRequestGetIoQueue(request), manual_);

    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(state(manual_) & kIdle, kIdle);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
}

TEST_F(QueueTest, RetrieveReportsEmptyStoppedAndPurgedQueues)
{
    start_with_manual_queue();
    WDFREQUEST request;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_NO_MORE_ENTRIES);

    auto io = parked_read();
    WdfIoQueueStop(manual_, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_WDF_PAUSED);
    EXPECT_TRUE(WDF_IO_QUEUE_STOPPED(WdfIoQueueGetState(manual_, nullptr, nullptr)));
    WdfIoQueueStart(manual_);
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_SUCCESS);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);

    WdfIoQueuePurge(manual_, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_WDF_PAUSED);
    EXPECT_TRUE(WDF_IO_QUEUE_PURGED(WdfIoQueueGetState(manual_, nullptr, nullptr)));
}

TEST_F(QueueTest, PurgeCancelsWaitingRequestsAndRefusesNewOnesUntilStarted)
{
    start_with_manual_queue();
    auto first = parked_read();
    auto second = parked_read();
    WdfIoQueuePurge(manual_, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    EXPECT_EQ(wait(*first), STATUS_CANCELLED);
    EXPECT_EQ(wait(*second), STATUS_CANCELLED);
    EXPECT_EQ(journal.count("canceled on queue"), 2u);   // forwarded: the driver completed them

    auto [refused, request] = held_read();
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, manual_), STATUS_WDF_BUSY);
    WdfIoQueueStart(manual_);
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, manual_), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_SUCCESS);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*refused), STATUS_SUCCESS);
}

TEST_F(QueueTest, PurgeCancelsTheDriversCancelableRequests)
{
    start_with_manual_queue();
    auto io = parked_read();
    WDFREQUEST request;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_SUCCESS);
    WdfRequestMarkCancelable(request, evt_request_cancel);
    bool completed = false;
    WdfIoQueuePurge(manual_, [](WDFQUEUE, WDFCONTEXT context) { *static_cast<bool*>(context) = true; }, &completed);
    EXPECT_EQ(journal.count("cancel"), 1u);
    EXPECT_TRUE(completed);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
}

TEST_F(QueueTest, PurgedQueueFailsNewRequestsWithInvalidDeviceState)
{
    start_with_manual_queue();
    WdfIoQueuePurge(journal.default_queue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    auto io = read(4);
    EXPECT_EQ(wait(*io), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(journal.count("read"), 0u);
}

TEST_F(QueueTest, CancelledPlainRequestsCompleteWithCancelledByTheFramework)
{
    start_with_default_queue(WdfIoQueueDispatchManual);
    auto io = read(4);
    EXPECT_FALSE(io->done());
    cancel(*io);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    EXPECT_EQ(journal.count("canceled on queue"), 0u);
}

TEST_F(QueueTest, RequestsEnqueuedFromTheCallersContextGoToEvtIoCanceledOnQueue)
{
    behaviour.in_caller_context = true;
    start_with_default_queue(WdfIoQueueDispatchManual);
    auto io = read(4);
    EXPECT_EQ(journal.count("in caller context"), 1u);
    cancel(*io);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    EXPECT_EQ(journal.count("canceled on queue"), 1u);
}

TEST_F(QueueTest, EnqueueOutsideTheCallersContextIsRefused)
{
    start();
    auto [io, request] = held_read();
    EXPECT_EQ(WdfDeviceEnqueueRequest(journal.device, request), STATUS_INVALID_DEVICE_REQUEST);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

TEST_F(QueueTest, SequentialQueuePresentsOneRequestAtATime)
{
    start_with_default_queue(WdfIoQueueDispatchSequential);
    auto first = read(4);
    auto second = read(4);
    EXPECT_EQ(journal.count("read"), 1u);
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("read"), 2u);
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(wait(*first), STATUS_SUCCESS);
    EXPECT_EQ(wait(*second), STATUS_SUCCESS);
}

TEST_F(QueueTest, SynchronousStopAndPurgeWaitForTheDriversRequests)
{
    start_with_manual_queue();
    auto complete_later = [](WDFREQUEST request) {
        return host::spawn("completer", [request] {
            settle(20 * host::kMillisecond);
            WdfRequestComplete(request, STATUS_SUCCESS);
        });
    };
    for (bool purge : {false, true}) {
        SCOPED_TRACE(purge ? "purge" : "stop");
        auto io = parked_read();
        WDFREQUEST request;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual_, &request), STATUS_SUCCESS);
        host::Thread* completer = complete_later(request);
        host::Time began = host::now();
        if (purge)
            WdfIoQueuePurgeSynchronously(manual_);
        else
            WdfIoQueueStopSynchronously(manual_);
        EXPECT_TRUE(io->done());
        EXPECT_GE(host::now() - began, 20 * host::kMillisecond);
        host::join(completer);
        WdfIoQueueStart(manual_);
    }
}

// --- power ---------------------------------------------------------------------

TEST_F(QueueTest, PowerManagedQueueHoldsRequestsWhileTheDeviceIsNotInD0)
{
    WDFQUEUE writes = nullptr;
    behaviour.create_queues = [&](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
        config.PowerManaged = WdfFalse;
        WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
        config = queue_config(WdfIoQueueDispatchParallel, false);   // power managed by default
        WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &writes);
        WdfDeviceConfigureRequestDispatching(device, writes, WdfRequestTypeWrite);
    };
    start();
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D3), STATUS_SUCCESS);
    EXPECT_TRUE(WdfIoQueueGetState(writes, nullptr, nullptr) & WdfIoQueuePnpHeld);
    auto wr = write(3);
    auto rd = read(3);
    EXPECT_EQ(journal.events, (std::vector<std::string>{"read"}));
    WDFREQUEST read_request = journal.take_held();
    EXPECT_EQ(WdfRequestGetIoQueue(read_request), journal.default_queue);

    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D0), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("write"), 1u);
    WDFREQUEST write_request = journal.take_held();
    EXPECT_EQ(WdfRequestGetIoQueue(write_request), writes);
    WdfRequestComplete(write_request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*wr), STATUS_SUCCESS);
    WdfRequestComplete(read_request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*rd), STATUS_SUCCESS);
}

TEST_F(QueueTest, EvtIoStopSuspendsDriverOwnedRequestsAndEvtIoResumeFollows)
{
    start();
    auto [cancelable, marked] = held_read();
    WdfRequestMarkCancelable(marked, evt_request_cancel);
    auto [plain, unmarked] = held_read();
    journal.events.clear();

    behaviour.on_stop = [](WDFQUEUE, WDFREQUEST request, ULONG flags) {
        if (flags & WdfRequestStopRequestCancelable) {
            EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_SUCCESS);
        }
        WdfRequestStopAcknowledge(request, FALSE);
    };
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D3), STATUS_SUCCESS);
    EXPECT_EQ(journal.events, (std::vector<std::string>{"stop 0x10000001", "stop 0x1"}));

    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D0), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("resume"), 2u);
    WdfRequestComplete(marked, STATUS_SUCCESS);
    WdfRequestComplete(unmarked, STATUS_SUCCESS);
    EXPECT_EQ(wait(*cancelable), STATUS_SUCCESS);
    EXPECT_EQ(wait(*plain), STATUS_SUCCESS);
}

TEST_F(QueueTest, AcknowledgeWithRequeuePresentsTheRequestAgainInD0)
{
    behaviour.on_stop = [](WDFQUEUE, WDFREQUEST request, ULONG) { WdfRequestStopAcknowledge(request, TRUE); };
    start();
    auto io = read(4);
    journal.take_held();
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D3), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("read"), 1u);
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D0), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("read"), 2u);
    EXPECT_EQ(journal.count("resume"), 0u);
    WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
}

TEST_F(QueueTest, PowerDownWaitsForRequestsOfAQueueWithoutEvtIoStop)
{
    start_with_default_queue(WdfIoQueueDispatchParallel, false);
    auto [io, request] = held_read();
    host::Time began = host::now();
    host::Thread* completer = host::spawn("completer", [request] {
        LARGE_INTEGER delay;
        delay.QuadPart = -50 * host::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        WdfRequestComplete(request, STATUS_SUCCESS);
    });
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D3), STATUS_SUCCESS);
    EXPECT_TRUE(io->done());
    EXPECT_GE(host::now() - began, 50 * host::kMillisecond);
    host::join(completer);
}

TEST_F(QueueTest, NonPowerManagedQueuesAreStoppedOnlyAtRemovalWithPurge)
{
    behaviour.on_stop = cancel_on_purge_else_acknowledge;
    start_with_manual_queue(WdfFalse);
    auto presented = read(4);
    journal.take_held();
    auto parked = parked_read();
    journal.events.clear();

    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D3), STATUS_SUCCESS);
    EXPECT_TRUE(journal.events.empty());
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D0), STATUS_SUCCESS);

    ASSERT_EQ(host_->remove(node_), STATUS_SUCCESS);
    EXPECT_EQ(journal.events, (std::vector<std::string>{"canceled on queue", "stop 0x2"}));
    EXPECT_EQ(wait(*presented), STATUS_CANCELLED);
    EXPECT_EQ(wait(*parked), STATUS_CANCELLED);
}

TEST_F(QueueTest, RemovalAfterASuspendStopsTheKeptRequestWithPurge)
{
    behaviour.on_stop = cancel_on_purge_else_acknowledge;
    start();
    auto io = read(4);
    ASSERT_EQ(host_->set_power(node_, host::io::DevicePower::D3), STATUS_SUCCESS);
    ASSERT_EQ(host_->remove(node_), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("stop 0x1"), 1u);
    EXPECT_EQ(journal.count("stop 0x2"), 1u);
    EXPECT_EQ(journal.count("resume"), 0u);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
}

TEST_F(QueueTest, ClosingTheFileCancelsItsWaitingRequests)
{
    start_with_manual_queue();
    auto parked = parked_read();
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(parked->done());
    EXPECT_EQ(parked->status(), STATUS_CANCELLED);
    EXPECT_EQ(journal.count("canceled on queue"), 1u);
}

TEST_F(QueueTest, CreatesConfiguredToAQueueBypassTheCallersContext)
{
    behaviour.in_caller_context = true;
    behaviour.create_queues = [](WDFDEVICE device) {
        WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
        WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
        WDFQUEUE creates;
        config = queue_config(WdfIoQueueDispatchParallel, false);
        config.EvtIoDefault = [](WDFQUEUE, WDFREQUEST request) {
            journal.events.push_back("create");
            WdfRequestComplete(request, STATUS_SUCCESS);
        };
        WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &creates);
        WdfDeviceConfigureRequestDispatching(device, creates, WdfRequestTypeCreate);
    };
    start();
    EXPECT_EQ(journal.events, (std::vector<std::string>{"create"}));
}

}  // namespace
}  // namespace iotest
