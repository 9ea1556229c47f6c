// Bad input to the four controls: records and buffers that are null,
// unmapped, read-only, in the kernel's range, wrapping, too short, larger
// than their memory or overlapping; memory taken away or changed while a
// request is outstanding. Each gives a clear status, no crash, nothing at
// the function and nothing left locked.
#include "common_fixture.h"

namespace commontest {
namespace {

constexpr DWORD kCodes[] = { IOCTL_DC_GENERIC_CONTROL, IOCTL_CDC_SEND_ENCAPSULATED_COMMAND,
                             IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE };

class BadInputTest : public CommonTest {
protected:
    void SetUp() override
    {
        CommonTest::SetUp();
        start();
        unmapped_ = user_area(4096) + 4096;   // the no-access page after an area
        read_only_ = user_area(64, PAGE_READONLY);
    }
    // The request's result; the function saw nothing and nothing stays locked.
    std::string refused(DWORD code, void* in, DWORD in_length, void* out, DWORD out_length)
    {
        fn_->clear_logs();
        auto io = issue(code, in, in_length, out, out_length);
        wait(*io);
        EXPECT_TRUE(fn_->control_log().empty());
        EXPECT_EQ(host::io::user_locked_pages(), 0u);
        return io->result();
    }
    std::string refused(DWORD code, const Areas& a)
    {
        return refused(code, a.in, sizeof(dc_ioctl_data), a.out, sizeof(dc_ioctl_data));
    }
    // Good records for `code` (the generic control gets a control record).
    Areas good_areas(DWORD code, size_t out_size)
    {
        if (code == IOCTL_DC_GENERIC_CONTROL)
            return generic(control_record(kVendorIn, bus::CdcFunction::kVendorFetch, uint16_t(out_size)), out_size);
        return areas("", out_size);
    }
    static std::string access_violation() { return outcome(STATUS_ACCESS_VIOLATION, 0); }
    static std::string invalid_parameter() { return outcome(STATUS_INVALID_PARAMETER, 0); }

    char* unmapped_ = nullptr;
    char* read_only_ = nullptr;
};

TEST_F(BadInputTest, RecordsThatAreNoUserMemoryFailTheRequest)
{
    char* wrapping = reinterpret_cast<char*>(~uintptr_t(0) - 8);
    char* kernel = reinterpret_cast<char*>(uintptr_t(0x80001000));
    char* pool = reinterpret_cast<char*>(uintptr_t(0x40000000));
    for (DWORD code : kCodes) {
        SCOPED_TRACE(code);
        Areas good = good_areas(code, 0);
        for (char* bad : { static_cast<char*>(nullptr), unmapped_, kernel, pool, wrapping }) {
            SCOPED_TRACE(static_cast<void*>(bad));
            EXPECT_EQ(refused(code, bad, 20, good.out, 20), access_violation()) << "input record";
            EXPECT_EQ(refused(code, good.in, 20, bad, 20), access_violation()) << "output record";
        }
        EXPECT_EQ(refused(code, good.in, 20, read_only_, 20), access_violation()) << "read-only output record";
        EXPECT_EQ(refused(code, unmapped_ - 10, 20, good.out, 20), access_violation())
            << "a record running into an unmapped page";
    }
}

TEST_F(BadInputTest, ShortOrOverlappingRecordsFailTheRequest)
{
    for (DWORD code : kCodes) {
        SCOPED_TRACE(code);
        Areas a = areas("", 0);
        EXPECT_EQ(refused(code, a.in, 19, a.out, 20), outcome(STATUS_BUFFER_TOO_SMALL, 0));
        EXPECT_EQ(refused(code, a.in, 20, a.out, 0), outcome(STATUS_BUFFER_TOO_SMALL, 0));
        EXPECT_EQ(refused(code, nullptr, 0, a.out, 20), outcome(STATUS_BUFFER_TOO_SMALL, 0));

        auto* pair = reinterpret_cast<dc_ioctl_data*>(user_area(2 * sizeof(dc_ioctl_data)));
        auto* shifted = reinterpret_cast<dc_ioctl_data*>(reinterpret_cast<char*>(pair) + 4);
        *pair = *shifted = dc_ioctl_data{};
        EXPECT_EQ(refused(code, pair, 20, shifted, 20), invalid_parameter());
        EXPECT_EQ(refused(code, shifted, 20, pair, 20), invalid_parameter());
        EXPECT_EQ(pair->dc_status, 0u) << "nothing written";
    }
}

// The areas a record names: a bad one fails the request with the probe's
// status before anything reaches the function.
TEST_F(BadInputTest, BadDataAreasFailTheRequest)
{
    for (DWORD code : kCodes) {
        SCOPED_TRACE(code);
        for (ULONG bad : { 0u, addr(unmapped_), 0x80001000u, 0xFFFFFFF0u }) {
            SCOPED_TRACE(bad);
            Areas a = areas("", 16);
            a.in->data_in = bad, a.in->data_in_len = 16;
            EXPECT_EQ(refused(code, a), access_violation()) << "data_in";
            a = good_areas(code, 16);
            a.out->data_out = bad;
            EXPECT_EQ(refused(code, a), access_violation()) << "data_out";
        }
        Areas longer = areas("ab", 8);
        longer.in->data_in_len = 4096;
        EXPECT_EQ(refused(code, longer), access_violation()) << "data_in_len beyond its memory";
        longer = good_areas(code, 8);
        longer.out->data_out_len = 9;
        EXPECT_EQ(refused(code, longer), access_violation()) << "data_out_len beyond its memory";
        Areas read_only = good_areas(code, 0);
        read_only.out->data_out = addr(read_only_), read_only.out->data_out_len = 8;
        EXPECT_EQ(refused(code, read_only), access_violation()) << "read-only data_out";
    }
}

TEST_F(BadInputTest, BadControlRecordsAreRefusedBeforeTheyAreRead)
{
    Areas missing = areas("", 4);
    EXPECT_EQ(refused(IOCTL_DC_GENERIC_CONTROL, missing), invalid_parameter());
    Areas shorter = areas(std::string(15, '\x80'), 4);
    EXPECT_EQ(refused(IOCTL_DC_GENERIC_CONTROL, shorter), invalid_parameter());

    auto* control = control_record(kVendorOut, 1, 8, unmapped_, 8);
    EXPECT_EQ(refused(IOCTL_DC_GENERIC_CONTROL, generic(control, 0)), access_violation()) << "its data buffer";
    control = control_record(kVendorOut, 1, 8, read_only_, 0);
    EXPECT_EQ(refused(IOCTL_DC_GENERIC_CONTROL, generic(control, 0)), invalid_parameter())
        << "a data buffer without a length";
    control = control_record(kVendorOut, 1, 8, read_only_, 4096);
    EXPECT_EQ(refused(IOCTL_DC_GENERIC_CONTROL, generic(control, 0)), access_violation())
        << "a length beyond its memory";
}

// The transfer never exceeds what was locked, whatever wLength claims.
TEST_F(BadInputTest, WLengthBeyondTheBufferMovesOnlyTheBuffer)
{
    char* data = user_area(4);
    std::memcpy(data, "abcd", 4);
    Areas store = generic(control_record(kVendorOut, bus::CdcFunction::kVendorStore, 0xFFFF, data, 4), 0);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, store), taken());
    EXPECT_EQ(store.out->dc_status, ULONG(DC_STATUS_SUCCESS));
    EXPECT_EQ(fn_->vendor_data(), bus::Bytes({ 'a', 'b', 'c', 'd' }));

    Areas fetch = generic(control_record(kVendorIn, bus::CdcFunction::kVendorFetch, 0xFFFF), 2);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, fetch), taken());
    EXPECT_EQ(fetch.out->data_out_len, 2u);
    EXPECT_EQ(std::string(fetch.data_out, 2), "ab");
}

// A WAIT outstanding while the application frees its record: the driver
// writes the results through its locked view, never to the freed pages.
TEST_F(BadInputTest, RecordFreedWhileAWaitIsOutstanding)
{
    auto* record = static_cast<dc_ioctl_data*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(record, nullptr);
    auto io = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, record, 20, record, 20);
    fn_->settle();
    EXPECT_EQ(host::io::user_locked_pages(), 1u) << "no data areas: only the record's page";
    ASSERT_TRUE(VirtualFree(record, 0, MEM_RELEASE));
    fn_->response_available();
    wait(*io);
    EXPECT_EQ(io->result(), taken());
    EXPECT_EQ(host::io::user_locked_pages(), 0u);
    EXPECT_EQ(host::io::probe_user_buffer(record, 20, false), STATUS_ACCESS_VIOLATION);
}

// A record changed while its WAIT is queued is refused when the response
// comes: the lengths no longer match what was locked.
TEST_F(BadInputTest, RecordChangedWhileQueuedIsRefused)
{
    Areas a = areas("", 8);
    auto io = issue(IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE, a);
    fn_->settle();
    a.out->data_out_len = 0x100000;
    a.out->data_out = 0x80001000;
    fn_->response_available();
    wait(*io);
    EXPECT_EQ(io->result(), taken());
    EXPECT_EQ(a.out->dc_status, ULONG(DC_STATUS_INVALID_PARAMETER));
    EXPECT_EQ(host::io::user_locked_pages(), 0u);
}

// The four codes as internal device controls from a kernel-mode client of
// the port are no common controls: they go to the queue like any internal
// control, whose dispatcher does not know them, whole record or short. The
// record is not touched and nothing reaches the function.
TEST_F(BadInputTest, CommonCodesAsInternalControlsAreRefusedByTheInternalDispatcher)
{
    close();
    _FILE_OBJECT* kernel_client = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\??\\COM5", GENERIC_READ | GENERIC_WRITE, 0, &kernel_client), STATUS_SUCCESS);
    for (DWORD code : kCodes) {
        for (ULONG length : { ULONG(sizeof(dc_ioctl_data)), ULONG(4) }) {
            SCOPED_TRACE(testing::Message() << code << ", record of " << length);
            fn_->clear_logs();
            Areas a = good_areas(code, 16);
            std::memcpy(a.data_out, "untouched", 9);
            host::io::UserIo io;
            io.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            io.ioctl = code;
            io.input = io.output = a.in;
            io.input_length = io.output_length = length;
            io.done = [](NTSTATUS, ULONG_PTR) {};
            EXPECT_EQ(host::io::submit(kernel_client, std::move(io)), STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(a.out->dc_status, 0xFFFFFFFFu);
            EXPECT_EQ(std::string(a.data_out, 9), "untouched");
            EXPECT_TRUE(fn_->control_log().empty());
            EXPECT_TRUE(fn_->encapsulated_commands().empty());
        }
    }
    EXPECT_EQ(host::io::user_locked_pages(), 0u);
    host::io::close_file(kernel_client);
}

}  // namespace
}  // namespace commontest
