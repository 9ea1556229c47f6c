// Cancellation: CancelIo, CancelIoEx, the cancel routine's context, and
// closing a handle with requests still pending.
#include "port_fixture.h"

#include <string>

namespace {

using host::io::Irp;

// Holds each request cancelable: its cancel routine completes it with
// STATUS_CANCELLED and notes where it ran.
class CancelTest : public iotest::PortTest {
protected:
    CancelTest()
    {
        driver.on_io = [this](Irp* irp) {
            host::io::exchange_cancel_routine(irp, [this](Irp* cancelled) {
                routine_irql = host::current_irql();
                routine_thread = host::thread_name(host::current_thread());
                host::io::complete_irp(cancelled, STATUS_CANCELLED, 0);
            });
            driver.held.push_back(irp);
        };
    }

    BOOL read(HANDLE h, OVERLAPPED* ov) { return ReadFile(h, buffer, sizeof buffer, nullptr, ov); }

    // An overlapped handle with one read the driver holds without a cancel routine.
    HANDLE open_with_plain_held_read(OVERLAPPED* ov)
    {
        driver.on_io = nullptr;
        HANDLE h = open(FILE_FLAG_OVERLAPPED);
        read(h, ov);
        return h;
    }

    int routine_irql = -1;
    std::string routine_thread;
    char buffer[4] = {};
};

DWORD result_of(HANDLE h, OVERLAPPED* ov)
{
    DWORD n = 0;
    return GetOverlappedResult(h, ov, &n, FALSE) ? ERROR_SUCCESS : GetLastError();
}

TEST_F(CancelTest, CancelIoExCancelsTheNamedRequestThenTheRest)
{
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED first = {}, second = {};
    read(h, &first);
    read(h, &second);

    ASSERT_TRUE(CancelIoEx(h, &first));
    EXPECT_EQ(result_of(h, &first), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(result_of(h, &second), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(routine_irql, DISPATCH_LEVEL);
    EXPECT_EQ(routine_thread, "main") << "the routine runs on the cancelling thread";

    EXPECT_FALSE(CancelIoEx(h, &first));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_FOUND));

    ASSERT_TRUE(CancelIoEx(h, nullptr));
    EXPECT_EQ(result_of(h, &second), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(host::io::pending_user_irps(), 0u);
    CloseHandle(h);
}

TEST_F(CancelTest, CancelIoCancelsOnlyTheCallingThreadsRequests)
{
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    HANDLE issued = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED mine = {}, theirs = {};
    read(h, &mine);
    host::Thread* other = host::spawn("other", [&] {
        read(h, &theirs);
        SetEvent(issued);
        WaitForSingleObject(go, INFINITE);
        CancelIo(h);
    });
    WaitForSingleObject(issued, INFINITE);

    ASSERT_TRUE(CancelIo(h));
    EXPECT_EQ(result_of(h, &mine), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(result_of(h, &theirs), DWORD(ERROR_IO_INCOMPLETE));

    SetEvent(go);
    host::join(other);
    EXPECT_EQ(result_of(h, &theirs), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(routine_thread, "other");
    for (HANDLE handle : {issued, go, h})
        CloseHandle(handle);
}

TEST_F(CancelTest, ARequestWithoutCancelRoutineIsOnlyMarked)
{
    OVERLAPPED ov = {};
    HANDLE h = open_with_plain_held_read(&ov);
    ASSERT_TRUE(CancelIoEx(h, &ov));
    Irp* irp = driver.take_held();
    EXPECT_TRUE(host::io::irp_cancelled(irp));
    EXPECT_EQ(result_of(h, &ov), DWORD(ERROR_IO_INCOMPLETE)) << "the driver still owns it";

    host::io::complete_irp(irp, STATUS_CANCELLED, 0);
    EXPECT_EQ(result_of(h, &ov), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(h);
}

TEST_F(CancelTest, ADriverThatFindsItsRequestCancelledTakesTheRoutineBack)
{
    OVERLAPPED ov = {};
    HANDLE h = open_with_plain_held_read(&ov);
    CancelIoEx(h, &ov);
    Irp* irp = driver.take_held();

    // The marking protocol: set the routine, then look at the cancel flag.
    host::io::exchange_cancel_routine(irp, [](Irp*) { ADD_FAILURE() << "cancellation already happened"; });
    ASSERT_TRUE(host::io::irp_cancelled(irp));
    EXPECT_TRUE(host::io::exchange_cancel_routine(irp, nullptr)) << "nobody else took the routine";
    host::io::complete_irp(irp, STATUS_CANCELLED, 0);
    EXPECT_EQ(result_of(h, &ov), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(h);
}

TEST_F(CancelTest, ASynchronousCallerIsReleasedByACancelFromAnotherThread)
{
    HANDLE h = open();
    host::Thread* canceller = host::spawn("canceller", [h] {
        Sleep(5);
        CancelIoEx(h, nullptr);
    });
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    host::join(canceller);
    CloseHandle(h);
}

TEST_F(CancelTest, CloseSendsCleanupAtOnceAndCloseAfterTheLastRequestCompletes)
{
    OVERLAPPED ov = {};
    HANDLE h = open_with_plain_held_read(&ov);
    ASSERT_TRUE(CloseHandle(h));
    EXPECT_EQ(driver.count("cleanup"), 1u);
    EXPECT_EQ(driver.count("close"), 0u) << "the pending read still refers to the file object";
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE) << "the exclusive device is still in use";

    host::io::complete_irp(driver.take_held(), STATUS_CANCELLED, 0);
    host.settle();
    EXPECT_EQ(driver.count("close"), 1u);
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_CANCELLED);
    HANDLE again = open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

}  // namespace
