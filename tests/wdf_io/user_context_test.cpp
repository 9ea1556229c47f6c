// The caller's user addresses outside the caller's context: a driver that
// keeps the raw address of a METHOD_NEITHER buffer and uses it after
// EvtIoInCallerContext is reported, whichever thread it runs on; the
// locked view, the caller's own accesses and the I/O manager's copy-back
// are not.
#include "io_fixture.h"

#include <winioctl.h>

#include <cstring>
#include <functional>
#include <string>

namespace iotest {
namespace {

constexpr ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr char kBytes[] = "caller's bytes";

// What a deferred callback of the driver does, and where it ran.
std::function<void()> g_deferred;
host::Thread* g_deferred_thread = nullptr;

void run_deferred()
{
    g_deferred_thread = host::current_thread();
    g_deferred();
}

EVT_WDF_TIMER on_timer;
VOID on_timer(WDFTIMER) { run_deferred(); }
EVT_WDF_WORKITEM on_work;
VOID on_work(WDFWORKITEM) { run_deferred(); }

class UserContextTest : public IoTest {
protected:
    UserContextTest()
    {
        g_deferred = nullptr;
        g_deferred_thread = nullptr;
    }

    // Fresh read-write pages of the application's address space.
    static char* user_pages(const char* text)
    {
        auto* pages = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        std::strcpy(pages, text);
        return pages;
    }

    // A METHOD_NEITHER control on the caller's pages: EvtIoInCallerContext
    // reads them, locks them and queues the request; EvtIoDeviceControl
    // reads `*dispatch_reads` and keeps the request.
    void issue_neither(volatile const char* const* dispatch_reads)
    {
        behaviour.in_caller_context = true;
        behaviour.on_in_caller = [this](WDFDEVICE device, WDFREQUEST request) {
            PVOID user;
            WDFMEMORY memory;
            ASSERT_EQ(WdfRequestRetrieveUnsafeUserInputBuffer(request, 1, &user, nullptr), STATUS_SUCCESS);
            raw_ = static_cast<volatile char*>(user);
            in_caller_byte_ = raw_[0];
            ASSERT_EQ(WdfRequestProbeAndLockUserBufferForRead(request, user, sizeof kBytes, &memory),
                      STATUS_SUCCESS);
            view_ = static_cast<volatile char*>(WdfMemoryGetBuffer(memory, nullptr));
            WdfDeviceEnqueueRequest(device, request);
        };
        behaviour.on_io = [this, dispatch_reads](WDFQUEUE, WDFREQUEST request) {
            dispatch_thread_ = host::current_thread();
            bytes_read_ += char(*dispatch_reads[0]);
            journal.held.push_back(request);
        };
        start();
        record_violations();
        user_ = user_pages(kBytes);
        DeviceIoControl(file_, kNeitherIoctl, user_, sizeof kBytes, nullptr, 0, nullptr, &io_.overlapped);
    }

    // Runs g_deferred from a timer's DPC in a millisecond.
    void defer_to_dpc() { WdfTimerStart(make_timer(on_timer), WDF_REL_TIMEOUT_IN_MS(1)); }

    // Reads `*address` from a timer's DPC, then from a work item.
    void read_from_dpc_and_work_item(volatile const char* const* address)
    {
        g_deferred = [this, address] { bytes_read_ += char(**address); };
        defer_to_dpc();
        settle(2 * host::kMillisecond);
        EXPECT_NE(g_deferred_thread, nullptr);
        WDFWORKITEM work = make_work_item(on_work);
        WdfWorkItemEnqueue(work);
        WdfWorkItemFlush(work);
    }

    void complete_held()
    {
        WdfRequestComplete(journal.take_held(), STATUS_SUCCESS);
        EXPECT_EQ(wait(io_), STATUS_SUCCESS);
    }

    static size_t reports()
    {
        size_t n = 0;
        for (const host::Violation& v : host::verifier_violations())
            n += v.check == "user-address-outside-caller-context";
        return n;
    }

    char* user_ = nullptr;
    Io io_;
    volatile char* raw_ = nullptr;
    volatile char* view_ = nullptr;
    char in_caller_byte_ = 0;
    std::string bytes_read_;
    host::Thread* dispatch_thread_ = nullptr;
};

// EvtIoDeviceControl on the caller's own thread, a DPC and a work item each
// use the raw address: each use is reported (and, recorded, reads the bytes).
TEST_F(UserContextTest, RawAddressUsedAfterTheCallerContextIsReportedOnEveryThread)
{
    issue_neither(&raw_);
    EXPECT_EQ(dispatch_thread_, host::current_thread()) << "dispatched in the caller's thread";
    EXPECT_EQ(reports(), 1u);
    read_from_dpc_and_work_item(&raw_);
    EXPECT_EQ(reports(), 3u);
    EXPECT_EQ(bytes_read_, "ccc");
    complete_held();
}

// The locked view serves every context; EvtIoInCallerContext reading the raw
// address and the application using its own pages meanwhile are in context.
TEST_F(UserContextTest, LockedViewAndTheCallersOwnAccessesAreNotReported)
{
    issue_neither(&view_);
    EXPECT_EQ(in_caller_byte_, 'c');
    read_from_dpc_and_work_item(&view_);
    user_[0] = 'C';
    read_from_dpc_and_work_item(&view_);
    EXPECT_EQ(bytes_read_, "cccCC");
    complete_held();
    EXPECT_TRUE(host::verifier_violations().empty());
}

// The I/O manager writes a buffered control's output and the OVERLAPPED back
// into the caller's pages, in the caller's context, though a DPC completed it.
TEST_F(UserContextTest, CopyBackOfARequestCompletedInADpcReachesTheCallersPages)
{
    start();
    record_violations();
    char* output = user_pages("");
    auto* overlapped = reinterpret_cast<OVERLAPPED*>(user_pages(""));
    DeviceIoControl(file_, kBufferedIoctl, nullptr, 0, output, 8, nullptr, overlapped);
    WDFREQUEST request = journal.take_held();
    g_deferred = [request] {
        PVOID buffer;
        WdfRequestRetrieveOutputBuffer(request, 8, &buffer, nullptr);
        std::memcpy(buffer, "answered", 8);
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 8);
    };
    defer_to_dpc();
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(file_, overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(std::string(output, 8), "answered");
    EXPECT_NE(g_deferred_thread, host::current_thread());
    for (const host::Violation& v : host::verifier_violations())
        ADD_FAILURE() << v.check << ": " << v.detail;
}

// By default the run stops with the named report.
TEST_F(UserContextTest, RawAddressInADpcStopsTheRun)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            issue_neither(&view_);
            host::verifier_set_action(host::VerifierAction::stop);
            read_from_dpc_and_work_item(&raw_);
        },
        "user-address-outside-caller-context");
}

}  // namespace
}  // namespace iotest
