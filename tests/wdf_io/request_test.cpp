// Requests: completion, cancellation and its marking protocol, parameters
// and buffers.
#include "io_fixture.h"

#include "host/rtl/trace.h"

#include <winioctl.h>

#include <cstring>

namespace iotest {
namespace {

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);

using RequestTest = IoTest;

TEST_F(RequestTest, CompletionCarriesStatusAndInformation)
{
    start();
    auto io = read(16);
    WDFREQUEST request = journal.take_held();
    ASSERT_NE(request, nullptr);
    EXPECT_FALSE(io->done());
    WdfRequestSetInformation(request, 5);
    EXPECT_EQ(WdfRequestGetInformation(request), 5u);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_EQ(io->information(), 5u);
}

TEST_F(RequestTest, EveryRequestCarriesAZeroedContextOfTheDeviceType)
{
    start();
    auto [first, request] = held_read();
    PIOTEST_REQUEST_CONTEXT context = iotest_request_context(request);
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->tag, 0u);
    context->tag = 0xfeed;
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
    auto [second, next] = held_read();
    EXPECT_EQ(iotest_request_context(next)->tag, 0u);
    WdfRequestComplete(next, STATUS_SUCCESS);
}

TEST_F(RequestTest, ParametersDescribeTheRequest)
{
    start();
    auto io = ioctl(kBufferedIoctl, 8, 24);
    WDFREQUEST request = journal.take_held();
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(request, &params);
    EXPECT_EQ(params.Type, WdfRequestTypeDeviceControl);
    EXPECT_EQ(params.Parameters.DeviceIoControl.IoControlCode, kBufferedIoctl);
    EXPECT_EQ(params.Parameters.DeviceIoControl.InputBufferLength, 8u);
    EXPECT_EQ(params.Parameters.DeviceIoControl.OutputBufferLength, 24u);
    EXPECT_EQ(WdfRequestGetRequestorMode(request), KPROCESSOR_MODE(UserMode));
    EXPECT_NE(WdfRequestGetFileObject(request), nullptr);
    EXPECT_EQ(WdfRequestGetIoQueue(request), journal.default_queue);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
}

TEST_F(RequestTest, BuffersFollowTheTransferMethodAndMinimumLength)
{
    start();
    auto io = ioctl(kBufferedIoctl, 8, 24);
    WDFREQUEST request = journal.take_held();
    PVOID in, out;
    size_t in_length, out_length;
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(request, 8, &in, &in_length), STATUS_SUCCESS);
    EXPECT_EQ(in_length, 8u);
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 24, &out, &out_length), STATUS_SUCCESS);
    EXPECT_EQ(out_length, 24u);
    EXPECT_EQ(in, out);   // METHOD_BUFFERED: one system buffer
    PVOID too_small;
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 25, &too_small, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(too_small, nullptr);
    WDFMEMORY memory;
    ASSERT_EQ(WdfRequestRetrieveOutputMemory(request, &memory), STATUS_SUCCESS);
    size_t memory_length;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &memory_length), in);
    EXPECT_EQ(memory_length, 24u);
    std::memcpy(out, "result", 6);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 6);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_EQ(std::string(io->buffer.data(), 6), "result");

    auto rd = read(10);
    request = journal.take_held();
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(request, 0, &in, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 10, &out, &out_length), STATUS_SUCCESS);
    WdfRequestComplete(request, STATUS_SUCCESS);

    auto empty = ioctl(kBufferedIoctl, 0, 0);
    request = journal.take_held();
    EXPECT_EQ(WdfRequestRetrieveOutputBuffer(request, 0, &out, nullptr), STATUS_BUFFER_TOO_SMALL);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

TEST_F(RequestTest, NeitherIoBuffersOnlyInTheCallersContext)
{
    behaviour.in_caller_context = true;
    PVOID unsafe_in = nullptr;
    NTSTATUS in_caller_status = STATUS_UNSUCCESSFUL;
    behaviour.on_in_caller = [&](WDFDEVICE device, WDFREQUEST request) {
        in_caller_status = WdfRequestRetrieveUnsafeUserInputBuffer(request, 4, &unsafe_in, nullptr);
        WdfDeviceEnqueueRequest(device, request);
    };
    start();
    auto io = ioctl(kNeitherIoctl, 4, 4);
    EXPECT_EQ(in_caller_status, STATUS_SUCCESS);
    EXPECT_EQ(unsafe_in, io->buffer.data());
    WDFREQUEST request = journal.take_held();
    PVOID buffer;
    EXPECT_EQ(WdfRequestRetrieveInputBuffer(request, 4, &buffer, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    record_violations();
    EXPECT_EQ(WdfRequestRetrieveUnsafeUserInputBuffer(request, 4, &buffer, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    WDFMEMORY memory;
    EXPECT_EQ(WdfRequestProbeAndLockUserBufferForRead(request, unsafe_in, 4, &memory), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(host::verifier_violations().size(), 2u);
    EXPECT_TRUE(host::verifier_fired("user-buffer-outside-caller-context"));
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
}

// The driver's view of a locked buffer shares the caller's pages while they
// are the caller's, outlives the caller's own mapping, and goes with the
// request; freed pages return to the address space only then.
TEST_F(RequestTest, LockedViewOutlivesTheCallersMappingUntilCompletion)
{
    behaviour.in_caller_context = true;
    char* target = nullptr;
    WDFMEMORY memory = nullptr;
    behaviour.on_in_caller = [&](WDFDEVICE device, WDFREQUEST request) {
        ASSERT_EQ(WdfRequestProbeAndLockUserBufferForWrite(request, target, 16, &memory), STATUS_SUCCESS);
        WdfDeviceEnqueueRequest(device, request);
    };
    start();
    char* user = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(user, nullptr);
    target = user + 4090;   // crosses a page boundary
    std::memcpy(target, "caller's bytes!", 16);
    auto io = ioctl(kNeitherIoctl, 4, 4);
    WDFREQUEST request = journal.take_held();
    auto* view = static_cast<char*>(WdfMemoryGetBuffer(memory, nullptr));
    EXPECT_NE(view, target) << "a system address, not the caller's";
    EXPECT_STREQ(view, "caller's bytes!");
    view[0] = 'C';
    EXPECT_EQ(target[0], 'C') << "the same pages";
    EXPECT_EQ(host::io::user_locked_pages(), 2u);

    ASSERT_TRUE(VirtualFree(user, 0, MEM_RELEASE));
    EXPECT_EQ(host::io::probe_user_buffer(target, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_STREQ(view, "Caller's bytes!") << "locked pages stay with the driver";
    std::memcpy(view, "driver writes ok", 16);
    EXPECT_FALSE(VirtualFree(user, 0, MEM_RELEASE)) << "already freed";
    EXPECT_NE(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE), user) << "not reused while locked";

    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_EQ(host::io::user_locked_pages(), 0u);
    char* again = static_cast<char*>(VirtualAlloc(nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
    EXPECT_EQ(again, user) << "given back once unlocked";
    EXPECT_EQ(again[4090], 0) << "as fresh pages";
}

// A driver that keeps the view's address and reads it after completion is
// stopped with a named report, not left reading someone else's memory.
TEST_F(RequestTest, LockedViewReadAfterCompletionStopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            behaviour.in_caller_context = true;
            volatile char* view = nullptr;
            behaviour.on_in_caller = [&](WDFDEVICE, WDFREQUEST request) {
                PVOID user;
                WDFMEMORY memory;
                WdfRequestRetrieveUnsafeUserInputBuffer(request, 4, &user, nullptr);
                WdfRequestProbeAndLockUserBufferForRead(request, user, 4, &memory);
                view = static_cast<volatile char*>(WdfMemoryGetBuffer(memory, nullptr));
                WdfRequestComplete(request, STATUS_SUCCESS);
            };
            start();
            char* user = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
            Io io;
            DeviceIoControl(file_, kNeitherIoctl, user, 4, user, 4, nullptr, &io.overlapped);
            wait(io);
            (void)view[0];
        },
        "user-buffer-after-completion");
}

// The locked view goes with its request: a driver that keeps the memory
// object and reads the caller's buffer after completion is reported.
TEST_F(RequestTest, LockedViewUsedAfterCompletionIsReported)
{
    behaviour.in_caller_context = true;
    WDFMEMORY memory = nullptr;
    behaviour.on_in_caller = [&](WDFDEVICE /*device*/, WDFREQUEST request) {
        PVOID user;
        WdfRequestRetrieveUnsafeUserInputBuffer(request, 4, &user, nullptr);
        ASSERT_EQ(WdfRequestProbeAndLockUserBufferForRead(request, user, 4, &memory), STATUS_SUCCESS);
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    start();
    auto io = ioctl(kNeitherIoctl, 4, 4);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    record_violations();
    size_t size = 1;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), nullptr);
    EXPECT_EQ(host::verifier_violations().size(), 1u);
}

TEST_F(RequestTest, ProbeAndLockChecksTheCallersPages)
{
    behaviour.in_caller_context = true;
    void* guarded = nullptr;
    NTSTATUS good = STATUS_UNSUCCESSFUL, bad = STATUS_UNSUCCESSFUL;
    WDFMEMORY memory = nullptr;
    behaviour.on_in_caller = [&](WDFDEVICE, WDFREQUEST request) {
        PVOID user;
        WdfRequestRetrieveUnsafeUserInputBuffer(request, 4, &user, nullptr);
        good = WdfRequestProbeAndLockUserBufferForWrite(request, user, 4, &memory);
        WDFMEMORY unused;
        bad = WdfRequestProbeAndLockUserBufferForRead(request, guarded, 4, &unused);
        WdfRequestComplete(request, STATUS_SUCCESS);
    };
    start();
    guarded = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(guarded, nullptr);
    auto io = ioctl(kNeitherIoctl, 4, 4);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
    EXPECT_EQ(good, STATUS_SUCCESS);
    EXPECT_NE(memory, nullptr);
    EXPECT_EQ(bad, STATUS_ACCESS_VIOLATION);
}

TEST_F(RequestTest, ZeroLengthTransfersCompleteWithoutReachingTheDriver)
{
    start();
    auto rd = read(0);
    auto wr = write(0);
    EXPECT_EQ(wait(*rd), STATUS_SUCCESS);
    EXPECT_EQ(wait(*wr), STATUS_SUCCESS);
    EXPECT_EQ(journal.count("read") + journal.count("write"), 0u);
}

// The delete-pending pattern: a one-shot timer parented to the request
// completes it, and the completion deletes the timer from its own callback.
EVT_WDF_TIMER complete_parent_request;
VOID complete_parent_request(WDFTIMER Timer)
{
    WdfRequestCompleteWithInformation(WDFREQUEST(WdfTimerGetParentObject(Timer)), STATUS_DELETE_PENDING, 0);
}

TEST_F(RequestTest, ATimerParentedToTheRequestCompletesIt)
{
    start();
    auto io = read(4);
    WDF_TIMER_CONFIG config;
    WDF_TIMER_CONFIG_INIT(&config, complete_parent_request);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = journal.take_held();
    WDFTIMER timer;
    ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
    host::Time began = host::now();
    WdfTimerStart(timer, WDF_REL_TIMEOUT_IN_MS(100));
    EXPECT_EQ(wait(*io), STATUS_DELETE_PENDING);
    EXPECT_GE(host::now() - began, 100 * host::kMillisecond);
    EXPECT_LT(host::now() - began, 101 * host::kMillisecond);
}

// --- cancellation -------------------------------------------------------------

TEST_F(RequestTest, MarkCancelableOnACancelledRequestRunsTheRoutineBeforeReturning)
{
    start();
    auto [io, request] = held_read();
    cancel(*io);   // not cancelable yet: only the flag is set
    EXPECT_TRUE(WdfRequestIsCanceled(request));
    EXPECT_FALSE(io->done());

    host::Thread* routine_thread = nullptr;
    bool returned = false;
    behaviour.on_cancel = [&](WDFREQUEST r) {
        routine_thread = host::current_thread();
        EXPECT_FALSE(returned);
        WdfRequestComplete(r, STATUS_CANCELLED);
    };
    WdfRequestMarkCancelable(request, evt_request_cancel);
    returned = true;
    EXPECT_EQ(routine_thread, host::current_thread());
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
}

TEST_F(RequestTest, MarkCancelableExOnACancelledRequestReturnsCancelled)
{
    start();
    auto [io, request] = held_read();
    cancel(*io);
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, evt_request_cancel), STATUS_CANCELLED);
    EXPECT_EQ(journal.count("cancel"), 0u);
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_INVALID_PARAMETER);   // it never became cancelable
    WdfRequestComplete(request, STATUS_CANCELLED);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
}

TEST_F(RequestTest, CancellingAMarkedRequestCallsItsRoutine)
{
    start();
    auto [io, request] = held_read();
    EXPECT_EQ(WdfRequestMarkCancelableEx(request, evt_request_cancel), STATUS_SUCCESS);
    cancel(*io);
    EXPECT_EQ(journal.count("cancel"), 1u);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
}

TEST_F(RequestTest, UnmarkCancelableResults)
{
    WDFREQUEST deferred = nullptr;
    behaviour.on_cancel = [&](WDFREQUEST r) { deferred = r; };   // completes later
    start();

    auto [first, request] = held_read();
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_INVALID_PARAMETER);   // not marked
    WdfRequestMarkCancelable(request, evt_request_cancel);
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_SUCCESS);
    cancel(*first);
    EXPECT_EQ(journal.count("cancel"), 0u);   // unmarked: nothing to call
    WdfRequestMarkCancelable(request, evt_request_cancel);   // already cancelled: runs at once
    EXPECT_EQ(deferred, request);
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_CANCELLED);   // the routine owns it now
    WdfRequestComplete(request, STATUS_CANCELLED);
    EXPECT_EQ(wait(*first), STATUS_CANCELLED);
}

TEST_F(RequestTest, UnmarkCancelableOnARequestTheDriverDoesNotOwn)
{
    WDFQUEUE manual = start_with_manual_queue();
    auto [io, request] = held_read();
    ASSERT_EQ(WdfRequestForwardToIoQueue(request, manual), STATUS_SUCCESS);
    EXPECT_EQ(WdfRequestUnmarkCancelable(request), STATUS_INVALID_DEVICE_REQUEST);
    cancel(*io);
    EXPECT_EQ(wait(*io), STATUS_CANCELLED);
    EXPECT_EQ(journal.count("canceled on queue"), 1u);
}

TEST_F(RequestTest, ForwardingIsRefusedForCancelableOrForeignRequests)
{
    WDFQUEUE manual = start_with_manual_queue();
    auto [io, request] = held_read();
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, journal.default_queue), STATUS_INVALID_DEVICE_REQUEST);
    WdfRequestMarkCancelable(request, evt_request_cancel);
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, manual), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(WdfRequestUnmarkCancelable(request), STATUS_SUCCESS);
    WdfIoQueuePurge(manual, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    EXPECT_EQ(WdfRequestForwardToIoQueue(request, manual), STATUS_WDF_BUSY);
    WdfRequestComplete(request, STATUS_SUCCESS);
    EXPECT_EQ(wait(*io), STATUS_SUCCESS);
}

}  // namespace
}  // namespace iotest
