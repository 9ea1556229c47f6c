// Opening devices and the life of an IRP: synchronous and overlapped
// completion, transfer methods, access checks, status mapping.
#include "port_fixture.h"

#include "host/kernel/verifier.h"
#include "winioctl.h"

#include <cstring>
#include <string>

namespace {

using iotest::PortTest;

constexpr DWORD kBufferedControl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr DWORD kNeitherControl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr DWORD kWriteAccessControl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x803, METHOD_BUFFERED, FILE_WRITE_ACCESS);

// --- opening -------------------------------------------------------------------

TEST_F(PortTest, ExclusiveDeviceRefusesASecondOpenUntilTheFirstIsClosed)
{
    HANDLE first = open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_EQ(driver.count("create"), 1u) << "the refused open never reaches the driver";

    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = open();
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    EXPECT_EQ(driver.log, (std::vector<std::string>{"DriverEntry", "add", "start", "create", "cleanup", "close",
                                                    "create", "cleanup", "close"}));
}

TEST(PortNamesTest, ANonExclusiveDeviceOpensManyTimesByAnyWin32Form)
{
    iotest::TestDriver driver;
    driver.exclusive = false;
    iotest::TestDriver::current = &driver;
    host::Host host;
    ASSERT_EQ(host.load_driver(u"testser", &iotest::TestDriver::DriverEntry), STATUS_SUCCESS);
    ASSERT_NE(host.plug(iotest::test_child()), nullptr);

    HANDLE a = CreateFileW(L"\\\\.\\COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE b = CreateFileA("COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE c = CreateFileW(L"\\\\?\\GLOBALROOT\\Device\\TestSerial0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(c, INVALID_HANDLE_VALUE);
    EXPECT_EQ(driver.count("create"), 3u);

    EXPECT_EQ(CreateFileW(L"\\\\.\\COM8", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    for (HANDLE h : {a, b, c})
        CloseHandle(h);
    EXPECT_FALSE(CloseHandle(a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// --- synchronous and overlapped completion ------------------------------------------

TEST_F(PortTest, SynchronousReadCompletedInDispatchCopiesOnlyTheBytesReported)
{
    driver.on_io = [](host::io::Irp* irp) { iotest::complete_with(irp, STATUS_SUCCESS, 4, 'a'); };
    HANDLE h = open();
    char buffer[10];
    std::memset(buffer, '-', sizeof buffer);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(std::string(buffer, 10), "aaaa------");
    CloseHandle(h);
}

TEST_F(PortTest, SynchronousReadWaitsForACompletionFromAnotherThread)
{
    HANDLE h = open();
    host::Thread* completer = host::spawn("completer", [this] {
        Sleep(50);
        iotest::complete_with(driver.take_held(), STATUS_SUCCESS, 3, 'z');
    });
    char buffer[8] = {};
    DWORD read = 0;
    host::Time before = host::now();
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 3u);
    EXPECT_EQ(std::string(buffer), "zzz");
    EXPECT_EQ(host::now() - before, 50 * host::kMillisecond) << "the read ends when the completer completes it";
    host::join(completer);
    CloseHandle(h);
}

TEST_F(PortTest, ASynchronousHandleCarriesOneCallAtATime)
{
    HANDLE h = open();
    host::Thread* writer = host::spawn("writer", [h] {
        Sleep(5);   // the read is in the driver by now
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(h, "w", 1, &n, nullptr));
    });
    host::Thread* completer = host::spawn("completer", [this] {
        Sleep(20);
        EXPECT_EQ(driver.count("write"), 0u) << "the write waits for the read to finish";
        host::io::complete_irp(driver.take_held(), STATUS_SUCCESS, 0);
        Sleep(5);
        host::io::complete_irp(driver.take_held(), STATUS_SUCCESS, 1);
    });
    char buffer[1];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buffer, 1, &n, nullptr));
    host::join(writer);
    host::join(completer);
    EXPECT_EQ(driver.count("write"), 1u);
    CloseHandle(h);
}

TEST_F(PortTest, OverlappedReadPendsUntilCompletedThenSignalsItsEvent)
{
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED ov = {};
    ov.hEvent = event;
    char buffer[8] = {};
    DWORD n = 99;

    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_PENDING);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));

    iotest::complete_with(driver.take_held(), STATUS_SUCCESS, 3, 'q');
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer), "qqq");
    CloseHandle(event);
    CloseHandle(h);
}

TEST_F(PortTest, GetOverlappedResultWaitsWhenAsked)
{
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    char data[5] = "ping";
    EXPECT_FALSE(WriteFile(h, data, 4, nullptr, &ov));
    host::Thread* completer = host::spawn("completer", [this] {
        Sleep(10);
        host::io::complete_irp(driver.take_held(), STATUS_SUCCESS, 4);
    });
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    host::join(completer);
    CloseHandle(h);
}

TEST_F(PortTest, OverlappedRequestCompletedAtOnceReturnsTrue)
{
    driver.on_io = [](host::io::Irp* irp) { iotest::complete_with(irp, STATUS_SUCCESS, 2); };
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov = {};
    char buffer[4];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr)) << "an overlapped handle needs an OVERLAPPED";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
}

// --- transfer methods, access, statuses -------------------------------------------

TEST_F(PortTest, BufferedControlCopiesInputInAndOutputBack)
{
    driver.on_io = [](host::io::Irp* irp) {
        auto* buffer = static_cast<char*>(irp->system_buffer);
        EXPECT_EQ(irp->input_length, 3u);
        EXPECT_EQ(irp->output_length, 5u);
        for (ULONG i = 0; i < irp->input_length; ++i)
            buffer[i] = char(buffer[i] - 'a' + 'A');
        host::io::complete_irp(irp, STATUS_SUCCESS, 3);
    };
    HANDLE h = open();
    char in[3] = {'a', 'b', 'c'};
    char out[5] = {'-', '-', '-', '-', '-'};
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, kBufferedControl, in, 3, out, 5, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(out, 5), "ABC--");
    EXPECT_EQ(std::string(in, 3), "abc") << "the caller's input is never written";
    CloseHandle(h);
}

TEST_F(PortTest, NeitherControlHandsTheDriverTheCallersPointers)
{
    char in[2] = {};
    char out[2] = {};
    driver.on_io = [&](host::io::Irp* irp) {
        EXPECT_EQ(irp->type3_input, in);
        EXPECT_EQ(irp->user_buffer, out);
        EXPECT_EQ(irp->system_buffer, nullptr);
        out[0] = 'n';
        host::io::complete_irp(irp, STATUS_SUCCESS, 1);
    };
    HANDLE h = open();
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(h, kNeitherControl, in, 2, out, 2, &n, nullptr));
    EXPECT_EQ(out[0], 'n');
    CloseHandle(h);
}

TEST_F(PortTest, RequestsNeedTheAccessTheHandleWasOpenedWith)
{
    driver.on_io = [](host::io::Irp* irp) { host::io::complete_irp(irp, STATUS_SUCCESS, 0); };
    HANDLE h = open(0, GENERIC_READ);
    char data[1] = {};
    DWORD n = 0;
    EXPECT_FALSE(WriteFile(h, data, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeviceIoControl(h, kWriteAccessControl, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeviceIoControl(h, kBufferedControl, nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(driver.count("write"), 0u);
    EXPECT_EQ(driver.count("ioctl"), 1u);
    CloseHandle(h);
}

TEST_F(PortTest, WarningReturnsDataWithMoreDataAndAnErrorReturnsNone)
{
    HANDLE h = open();
    char buffer[4] = {'-', '-', '-', '-'};
    DWORD n = 0;
    driver.on_io = [](host::io::Irp* irp) { iotest::complete_with(irp, STATUS_BUFFER_OVERFLOW, 4, 'w'); };
    EXPECT_FALSE(DeviceIoControl(h, kBufferedControl, nullptr, 0, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buffer, 4), "wwww");

    driver.on_io = [](host::io::Irp* irp) { iotest::complete_with(irp, STATUS_DEVICE_DATA_ERROR, 4, 'e'); };
    EXPECT_FALSE(ReadFile(h, buffer, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_CRC));
    EXPECT_EQ(std::string(buffer, 4), "wwww");
    CloseHandle(h);
}

TEST_F(PortTest, BuffersThatFailTheProbeNeverReachTheDriver)
{
    driver.on_io = [](host::io::Irp* irp) { host::io::complete_irp(irp, STATUS_SUCCESS, irp->length); };
    HANDLE h = open();
    void* readonly = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READONLY);
    void* noaccess = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS);
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, readonly, 16, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    EXPECT_FALSE(WriteFile(h, noaccess, 16, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOACCESS));
    EXPECT_EQ(driver.count("read") + driver.count("write"), 0u);

    EXPECT_TRUE(WriteFile(h, readonly, 16, &n, nullptr)) << "a read-only buffer is fine to write from";
    EXPECT_EQ(n, 16u);
    CloseHandle(h);
}

TEST_F(PortTest, InternalControlsComeFromKernelModeClientsOfTheFileObject)
{
    constexpr ULONG kInternal = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x810, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    driver.on_io = [](host::io::Irp* irp) {
        EXPECT_EQ(irp->major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(irp->requestor_mode, KernelMode);
        std::memcpy(irp->system_buffer, "ok", 2);
        host::io::complete_irp(irp, STATUS_SUCCESS, 2);
    };
    _FILE_OBJECT* file = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\Device\\TestSerial0", 0, 0, &file), STATUS_SUCCESS);
    char out[2] = {};
    NTSTATUS result = STATUS_PENDING;
    host::io::UserIo io;
    io.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    io.ioctl = kInternal;
    io.output = out;
    io.output_length = 2;
    io.done = [&](NTSTATUS status, ULONG_PTR) { result = status; };
    EXPECT_EQ(host::io::submit(file, std::move(io)), STATUS_SUCCESS) << "no access check for a kernel caller";
    EXPECT_EQ(result, STATUS_SUCCESS);
    EXPECT_EQ(std::string(out, 2), "ok");
    host::io::close_file(file);
}

TEST_F(PortTest, IrpIdsCountFromOneInEveryHost)
{
    std::vector<uint64_t> ids;
    driver.on_io = [&](host::io::Irp* irp) {
        ids.push_back(irp->id);
        host::io::complete_irp(irp, STATUS_SUCCESS, 0);
    };
    HANDLE h = open();
    DWORD n = 0;
    ReadFile(h, nullptr, 0, &n, nullptr);
    ReadFile(h, nullptr, 0, &n, nullptr);
    CloseHandle(h);
    EXPECT_EQ(ids, (std::vector<uint64_t>{2, 3})) << "the create is IRP 1";
}

// --- the verifier ------------------------------------------------------------------

class IrpVerifierTest : public ::testing::Test {
protected:
    IrpVerifierTest() { host::verifier_set_action(host::VerifierAction::record); }
    ~IrpVerifierTest() override
    {
        host::verifier_reset();
        host::verifier_set_action(host::VerifierAction::stop);
    }
    host::Host host;
};

TEST_F(IrpVerifierTest, CompletingTwiceIsReported)
{
    host::io::Irp irp;
    host::io::complete_irp(&irp, STATUS_SUCCESS, 0);
    EXPECT_FALSE(host::verifier_fired("irp-completed-twice"));
    host::io::complete_irp(&irp, STATUS_CANCELLED, 0);
    EXPECT_TRUE(host::verifier_fired("irp-completed-twice"));
    EXPECT_EQ(irp.status, STATUS_SUCCESS) << "the second completion changes nothing";
}

TEST_F(IrpVerifierTest, CompletingWithACancelRoutineSetIsReported)
{
    host::io::Irp irp;
    irp.cancel_routine = [](host::io::Irp*) {};
    host::io::complete_irp(&irp, STATUS_SUCCESS, 0);
    EXPECT_TRUE(host::verifier_fired("irp-completed-cancelable"));
}

}  // namespace

namespace {

// Real threads on real time: completion and cancellation from other threads.
TEST(FreeModeTest, OverlappedCompletionAndCancellationCrossRealThreads)
{
    iotest::TestDriver driver;
    iotest::TestDriver::current = &driver;
    host::Host host(host::HostOptions{.mode = host::Mode::free});
    ASSERT_EQ(host.load_driver(u"testser", &iotest::TestDriver::DriverEntry), STATUS_SUCCESS);
    ASSERT_NE(host.plug(iotest::test_child()), nullptr);
    HANDLE h = CreateFileW(L"\\\\.\\COM7", GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    char buffer[4] = {};
    OVERLAPPED completed = {}, cancelled = {};
    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &completed));
    host::Thread* completer = host::spawn("completer", [&] {
        iotest::complete_with(driver.take_held(), STATUS_SUCCESS, 2, 'f');
    });
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &completed, &n, TRUE));
    EXPECT_EQ(n, 2u);
    host::join(completer);

    ASSERT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &cancelled));
    host::io::Irp* irp = driver.take_held();
    host::Thread* canceller = host::spawn("canceller", [&] { CancelIoEx(h, nullptr); });
    host::join(canceller);
    EXPECT_TRUE(host::io::irp_cancelled(irp));
    host::io::complete_irp(irp, STATUS_CANCELLED, 0);
    EXPECT_FALSE(GetOverlappedResult(h, &cancelled, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    CloseHandle(h);
}

}  // namespace
