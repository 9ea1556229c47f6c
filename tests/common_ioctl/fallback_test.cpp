// The device-add fallback on its own: a device that gives no in-caller
// callback of its own gets the common layer's, which locks the user areas
// of the four common controls before they reach the queue and passes every
// other request straight on. The device here has only that callback and a
// queue that notes what reaches it and reads it back the way the driver's
// dispatcher does.
#include "acm_serial.h"
#include "common_class.h"
#include "named_device.h"

#include "host/host.h"
#include "host/io/iomgr.h"
#include "host/kernel/verifier.h"

#include <dc_ioctl.h>
#include <win32.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace fallbacktest {
namespace {

// A request as the queue saw it.
struct Arrival {
    WDF_REQUEST_TYPE type;
    ULONG code;
    bool locked;           // it carries the common layer's locked areas
    NTSTATUS record_status;   // dc_ioctl_data_get on them
    std::string data_in;   // through the locked view
};
std::vector<Arrival> g_arrivals;

// Every request the queue takes arrives here.
EVT_WDF_IO_QUEUE_IO_DEFAULT note;
VOID note(WDFQUEUE, WDFREQUEST request)
{
    WDF_REQUEST_PARAMETERS params;
    WDF_REQUEST_PARAMETERS_INIT(&params);
    WdfRequestGetParameters(request, &params);
    const bool control = params.Type == WdfRequestTypeDeviceControl ||
                         params.Type == WdfRequestTypeDeviceControlInternal;
    const ULONG code = control ? params.Parameters.DeviceIoControl.IoControlCode : 0;
    Arrival arrival{ params.Type, code, intercept_req_get_context(request) != nullptr, STATUS_UNSUCCESSFUL, {} };
    dc_ioctl_req_t req;
    if (arrival.locked) {
        arrival.record_status = dc_ioctl_data_get(request, &req);
        if (NT_SUCCESS(arrival.record_status))
            arrival.data_in.assign(static_cast<const char*>(req.data_in), req.data_in_len);
    }
    g_arrivals.push_back(arrival);
    WdfRequestComplete(request, STATUS_SUCCESS);
}

EVT_WDF_DRIVER_DEVICE_ADD device_add;
NTSTATUS device_add(WDFDRIVER, PWDFDEVICE_INIT device_init)
{
    acm_set_io_in_caller_callback(device_init, NULL);
    WDFDEVICE device;
    NTSTATUS status = porttest::create_named_device(&device_init, L"\\Device\\Fallback0", L"\\DosDevices\\FALLBACK",
                                                    WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.EvtIoDefault = note;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, device_add);
    return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

constexpr DWORD kCommonCodes[] = { IOCTL_DC_GENERIC_CONTROL, IOCTL_CDC_SEND_ENCAPSULATED_COMMAND,
                                   IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE };

class FallbackTest : public ::testing::Test {
protected:
    FallbackTest()
    {
        g_arrivals.clear();
        host::verifier_reset();
        host_ = std::make_unique<host::Host>(host::HostOptions{});
        host::verifier_set_action(host::VerifierAction::record);
        EXPECT_EQ(host_->load_driver(u"fallback", DriverEntry), STATUS_SUCCESS);
        host::ChildDevice child;
        child.instance_path = u"ROOT\\FALLBACK\\0000";
        child.class_name = u"System";
        child.friendly_name = u"Fallback test device";
        child.hardware_id = u"ROOT\\FALLBACK";
        EXPECT_NE(host_->plug(child), nullptr);
        file_ = CreateFileW(L"\\\\.\\FALLBACK", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(file_, INVALID_HANDLE_VALUE);
    }
    ~FallbackTest() override
    {
        CloseHandle(file_);
        host_.reset();
        for (const host::Violation& v : host::verifier_violations())
            ADD_FAILURE() << v.check << ": " << v.detail;
    }

    // A record whose input data holds `text` (a control record for a
    // generic control: its data address is 0) and whose output data has room.
    dc_ioctl_data* record(const std::string& text)
    {
        auto* page = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        auto* r = reinterpret_cast<dc_ioctl_data*>(page);
        std::memcpy(page + 64, text.data(), text.size());
        *r = dc_ioctl_data{ 0xFFFFFFFF, ULONG(text.size()), ULONG(uintptr_t(page + 64)), 64,
                            ULONG(uintptr_t(page + 128)) };
        return r;
    }

    // The control's status as DeviceIoControl reports it: 0 for success.
    DWORD control(DWORD code, dc_ioctl_data* r)
    {
        DWORD returned;
        return DeviceIoControl(file_, code, r, sizeof *r, r, sizeof *r, &returned, nullptr) ? 0 : GetLastError();
    }

    std::unique_ptr<host::Host> host_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// Each of the four reaches the queue with its areas locked and readable
// through them; one whose output data is no memory never reaches it.
TEST_F(FallbackTest, CommonControlsReachTheQueueLockedOrNotAtAll)
{
    const std::string control_record(sizeof(dc_control_record), '\0');
    for (DWORD code : kCommonCodes) {
        SCOPED_TRACE(code);
        g_arrivals.clear();
        const std::string text = code == IOCTL_DC_GENERIC_CONTROL ? control_record : "AT\r";
        EXPECT_EQ(control(code, record(text)), 0u);
        ASSERT_EQ(g_arrivals.size(), 1u);
        EXPECT_TRUE(g_arrivals[0].locked);
        EXPECT_EQ(g_arrivals[0].record_status, STATUS_SUCCESS);
        EXPECT_EQ(g_arrivals[0].data_in, text);

        dc_ioctl_data* bad = record(text);
        bad->data_out = 0x1000;
        EXPECT_EQ(control(code, bad), DWORD(ERROR_NOACCESS));
        EXPECT_EQ(g_arrivals.size(), 1u) << "refused before the queue";
    }
    EXPECT_EQ(host::io::user_locked_pages(), 0u);
}

// Reads, other controls and the four codes as internal device controls
// pass on untouched: nothing is locked for them.
TEST_F(FallbackTest, EveryOtherRequestPassesStraightOn)
{
    char buffer[8];
    DWORD done;
    EXPECT_TRUE(ReadFile(file_, buffer, sizeof buffer, &done, nullptr));
    EXPECT_TRUE(DeviceIoControl(file_, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, buffer, 4, &done, nullptr));
    _FILE_OBJECT* kernel_client;
    ASSERT_TRUE(CloseHandle(file_));
    ASSERT_EQ(host::io::open_file(u"\\??\\FALLBACK", GENERIC_READ | GENERIC_WRITE, 0, &kernel_client), STATUS_SUCCESS);
    dc_ioctl_data* r = record("AT\r");
    for (DWORD code : kCommonCodes) {
        host::io::UserIo io;
        io.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        io.ioctl = code;
        io.input = r;
        io.input_length = sizeof *r;
        io.output = r;
        io.output_length = sizeof *r;
        io.done = [](NTSTATUS, ULONG_PTR) {};
        EXPECT_EQ(host::io::submit(kernel_client, std::move(io)), STATUS_SUCCESS);
    }
    host::io::close_file(kernel_client);
    file_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(g_arrivals.size(), 6u);
    EXPECT_EQ(g_arrivals[0].type, WdfRequestTypeRead);
    EXPECT_EQ(g_arrivals[1].code, ULONG(IOCTL_SERIAL_GET_BAUD_RATE));
    for (size_t i = 0; i < g_arrivals.size(); i++) {
        EXPECT_FALSE(g_arrivals[i].locked) << i;
        if (i >= 2) {
            EXPECT_EQ(g_arrivals[i].type, WdfRequestTypeDeviceControlInternal) << i;
        }
    }
}

}  // namespace
}  // namespace fallbacktest
