// IOCTL_DC_GENERIC_CONTROL: control transfers on the function beneath the
// port, with data out and in through the record's buffers, and failures
// reported in dc_status while the request succeeds.
#include "common_fixture.h"

namespace commontest {
namespace {

using GenericControlTest = CommonTest;

// Data out from the control record's own buffer, data in through data_out:
// the function gets exactly the bytes sent and returns them.
TEST_F(GenericControlTest, DataOutAndInOfEverySizeReachTheFunctionAsSent)
{
    start();
    for (size_t n : { 0, 1, 64, 4096 }) {
        SCOPED_TRACE(n);
        fn_->clear_logs();
        const std::string sent = pattern(n, n);
        char* data = n ? user_area(n) : nullptr;
        if (n)
            std::memcpy(data, sent.data(), n);
        Areas store = generic(control_record(kVendorOut, bus::CdcFunction::kVendorStore, uint16_t(n), data, ULONG(n)), 0);
        EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, store), taken());
        EXPECT_EQ(store.out->dc_status, ULONG(DC_STATUS_SUCCESS));
        auto log = generic_log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(std::string(log[0].data.begin(), log[0].data.end()), sent);
        EXPECT_EQ(log[0].request_type, kVendorOut);
        EXPECT_EQ(log[0].length, n);

        Areas fetch = generic(control_record(kVendorIn, bus::CdcFunction::kVendorFetch, uint16_t(n)), n);
        EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, fetch), taken());
        EXPECT_EQ(fetch.out->dc_status, ULONG(DC_STATUS_SUCCESS));
        EXPECT_EQ(fetch.out->data_out_len, ULONG(n)) << "bytes returned";
        EXPECT_EQ(std::string(fetch.data_out, n), sent);
    }
}

// A device-to-host transfer into the control record's own buffer: the
// driver writes that buffer, and only as much as the device returned.
TEST_F(GenericControlTest, DataInIntoTheControlRecordsBuffer)
{
    start();
    char* descriptor = user_area(64);
    std::memset(descriptor, 0xEE, 64);
    Areas a = generic(control_record(kStandardIn, 0x06, 64, descriptor, 64, 0x0100), 0);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, a), taken());
    EXPECT_EQ(a.out->dc_status, ULONG(DC_STATUS_SUCCESS));
    EXPECT_EQ(a.out->data_out_len, 18u);
    EXPECT_EQ(uint8_t(descriptor[0]), 18) << "bLength of the device descriptor";
    EXPECT_EQ(uint8_t(descriptor[1]), 1);
    EXPECT_EQ(uint8_t(descriptor[18]), 0xEE) << "nothing beyond what the device returned";
}

TEST_F(GenericControlTest, ReadOnlyBufferForADeviceToHostTransferIsRefused)
{
    start();
    char* descriptor = user_area(64, PAGE_READONLY);
    Areas a = generic(control_record(kStandardIn, 0x06, 64, descriptor, 64, 0x0100), 0);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, a), outcome(STATUS_ACCESS_VIOLATION, 0));
    EXPECT_TRUE(generic_log().empty());
}

// A STALL or a time-out reaches the application only through dc_status.
TEST_F(GenericControlTest, FailedTransfersReportInDcStatusWhileTheRequestSucceeds)
{
    start();
    fn_->stall_control(kVendorIn, 0x42);
    Areas stalled = generic(control_record(kVendorIn, 0x42, 8), 8);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, stalled), taken());
    EXPECT_EQ(stalled.out->dc_status, ULONG(DC_STATUS_FAILED));
    EXPECT_EQ(stalled.out->data_out_len, 0u);

    Areas unknown = generic(control_record(kVendorOut, 0x77, 0), 0);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, unknown), taken());
    EXPECT_EQ(unknown.out->dc_status, ULONG(DC_STATUS_FAILED)) << "the device stalls what it does not know";

    fn_->inject(bus::Op::generic_control, bus::Fault::fail(STATUS_IO_TIMEOUT));
    Areas late = generic(control_record(kVendorIn, bus::CdcFunction::kVendorFetch, 8), 8);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, late), taken());
    EXPECT_EQ(late.out->dc_status, ULONG(DC_STATUS_TIMEOUT));

    fn_->inject(bus::Op::generic_control, bus::Fault::fail(STATUS_DEVICE_BUSY));
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, late), taken());
    EXPECT_EQ(late.out->dc_status, ULONG(DC_STATUS_DEVICE_BUSY));
}

// Separate input and output records: the input one names the data in, the
// output one the buffer out and the results; the input one is not written.
TEST_F(GenericControlTest, SeparateRecordsSplitTheirRoles)
{
    start();
    Areas a = areas("", 2, true);
    auto* control = control_record(kStandardIn, 0x00, 2);
    a.in->data_in = addr(control);
    a.in->data_in_len = sizeof(dc_control_record);
    a.in->data_out_len = 0x1234;   // ignored: the output record's counts
    const dc_ioctl_data before = *a.in;
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, a), taken());
    EXPECT_EQ(a.out->dc_status, ULONG(DC_STATUS_SUCCESS));
    EXPECT_EQ(a.out->data_out_len, 2u);
    EXPECT_EQ(std::memcmp(a.in, &before, sizeof before), 0);
}

// Only the serial control device serves these controls when the function
// has one.
TEST_F(GenericControlTest, ASerialControlDeviceAloneServesTheControls)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    start(1, config);
    ASSERT_NE(host_->plug(fn_->control()->description()), nullptr);
    Areas a = generic(control_record(kStandardIn, 0x08, 1), 1);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, a), outcome(STATUS_INVALID_DEVICE_REQUEST, 0));
    EXPECT_EQ(a.out->dc_status, 0xFFFFFFFFu) << "the port does not touch the record";

    HANDLE control = open_control_device();
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    EXPECT_EQ(call(IOCTL_DC_GENERIC_CONTROL, a, control), taken());
    EXPECT_EQ(a.out->dc_status, ULONG(DC_STATUS_SUCCESS));
    EXPECT_EQ(uint8_t(a.data_out[0]), 1) << "GET_CONFIGURATION";
    CloseHandle(control);
}

}  // namespace
}  // namespace commontest
