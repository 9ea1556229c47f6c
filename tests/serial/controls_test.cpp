// Every serial control with buffers too short, without buffers and with
// codes the port does not know, on the device roles that refuse them, and
// the internal controls of the system's serial code: the statuses the
// application sees, and no partial change of state.
#include "serial_fixture.h"

#include "host/rtl/strings.h"

#include <cstring>
#include <string>

namespace serialtest {
namespace {

struct Sizes {
    DWORD code;
    DWORD in;
    DWORD out;
};

// The controls that need a buffer, with its size.
constexpr Sizes kBuffered[] = {
    { IOCTL_SERIAL_SET_BAUD_RATE, 4, 0 },   { IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0 },
    { IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0 }, { IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0 },
    { IOCTL_SERIAL_SET_TIMEOUTS, 20, 0 },   { IOCTL_SERIAL_GET_TIMEOUTS, 0, 20 },
    { IOCTL_SERIAL_GET_WAIT_MASK, 0, 4 },   { IOCTL_SERIAL_SET_WAIT_MASK, 4, 0 },
    { IOCTL_SERIAL_WAIT_ON_MASK, 0, 4 },    { IOCTL_SERIAL_PURGE, 4, 0 },
    { IOCTL_SERIAL_GET_BAUD_RATE, 0, 4 },   { IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3 },
    { IOCTL_SERIAL_GET_CHARS, 0, 6 },       { IOCTL_SERIAL_SET_CHARS, 6, 0 },
    { IOCTL_SERIAL_GET_HANDFLOW, 0, 16 },   { IOCTL_SERIAL_SET_HANDFLOW, 16, 0 },
    { IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4 }, { IOCTL_SERIAL_GET_COMMSTATUS, 0, 20 },
    { IOCTL_SERIAL_GET_PROPERTIES, 0, 64 }, { IOCTL_SERIAL_GET_DTRRTS, 0, 4 },
    { IOCTL_SERIAL_GET_STATS, 0, 24 },
};

// The controls that take no buffer and do nothing.
constexpr DWORD kNothingToDo[] = {
    IOCTL_SERIAL_RESET_DEVICE,   IOCTL_SERIAL_SET_XOFF,          IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_XOFF_COUNTER,   IOCTL_SERIAL_LSRMST_INSERT,     IOCTL_SERIAL_CONFIG_SIZE,
    IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG,    IOCTL_SERIAL_GET_MODEM_CONTROL,
    IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL,
};

// The port's serial state as a whole, to see any change at all.
struct PortState {
    cdc_line_coding_t line_coding;
    USHORT control_line_state;
    ULONG modem_status, wait_mask, history_mask, hold_reasons, errors;
    SERIAL_HANDFLOW handflow;
    SERIAL_TIMEOUTS timeouts;
    SERIAL_CHARS special_chars;
    SERIALPERF_STATS perf_stats;

    bool operator==(const PortState& other) const { return std::memcmp(this, &other, sizeof *this) == 0; }
};

class ControlsTest : public SerialTest {
protected:
    PortState port_state() const
    {
        PortState s;
        std::memset(&s, 0, sizeof s);
        s.line_coding = fdx_->line_coding;
        s.control_line_state = fdx_->control_line_state;
        s.modem_status = fdx_->modem_status;
        s.wait_mask = fdx_->wait_mask;
        s.history_mask = fdx_->history_mask;
        s.hold_reasons = fdx_->hold_reasons;
        s.errors = fdx_->errors;
        s.handflow = fdx_->handflow;
        s.timeouts = fdx_->timeouts;
        s.special_chars = fdx_->special_chars;
        s.perf_stats = fdx_->perf_stats;
        return s;
    }

    // A port whose every setting differs from its defaults.
    void opened_and_set()
    {
        opened();
        ASSERT_TRUE(EscapeCommFunction(handle(), SETDTR));
        ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR));
        COMMTIMEOUTS timeouts{ 1, 2, 3, 4, 5 };
        ASSERT_TRUE(SetCommTimeouts(handle(), &timeouts));
        fdx_->errors = SERIAL_ERROR_PARITY;
        fn_->clear_logs();
    }
};

TEST_F(ControlsTest, ShortBuffersAreRefusedWithoutAnyChange)
{
    opened_and_set();
    const PortState before = port_state();
    for (const Sizes& c : kBuffered) {
        SCOPED_TRACE(acm_ioctl_name(c.code));
        std::string in(c.in ? c.in - 1 : 0, '\xAB'), out(c.out ? c.out - 1 : 0, '\xEE');
        DWORD returned = 99;
        EXPECT_FALSE(ioctl(c.code, in.data(), DWORD(in.size()), out.data(), DWORD(out.size()), &returned));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(out, std::string(out.size(), '\xEE')) << "nothing written";
        EXPECT_EQ(control_error(c.code, nullptr, 0, nullptr, 0), DWORD(ERROR_INSUFFICIENT_BUFFER)) << "no buffer";
    }
    EXPECT_TRUE(port_state() == before);
    EXPECT_TRUE(fn_->control_log().empty());
    EXPECT_EQ(fdx_->current_mask_request, nullptr);
    EXPECT_EQ(fdx_->current_purge_request, nullptr);
    expect_verifier_silent();
}

TEST_F(ControlsTest, GettersReturnExactlyTheirRecord)
{
    opened();
    for (const Sizes& c : kBuffered) {
        if (c.out == 0 || c.code == IOCTL_SERIAL_WAIT_ON_MASK)
            continue;
        SCOPED_TRACE(acm_ioctl_name(c.code));
        std::string out(c.out + 8, '\xEE');
        DWORD returned = 0;
        EXPECT_TRUE(ioctl(c.code, nullptr, 0, out.data(), DWORD(out.size()), &returned));
        EXPECT_EQ(returned, c.out);
        EXPECT_EQ(out.substr(c.out), std::string(8, '\xEE'));
    }
}

TEST_F(ControlsTest, ControlsWithNothingToDoSucceedAndTouchNoBuffer)
{
    opened_and_set();
    const PortState before = port_state();
    for (DWORD code : kNothingToDo) {
        SCOPED_TRACE(acm_ioctl_name(code));
        std::string out(16, '\xEE');
        DWORD returned = 99;
        EXPECT_TRUE(ioctl(code, nullptr, 0, out.data(), DWORD(out.size()), &returned));
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(out, std::string(16, '\xEE'));
    }
    EXPECT_TRUE(port_state() == before);
    EXPECT_TRUE(fn_->control_log().empty());
}

TEST_F(ControlsTest, UnknownCodesAreInvalidFunctions)
{
    opened_and_set();
    const PortState before = port_state();
    const DWORD unknown[] = { IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION,
                              CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS),
                              CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS),
                              CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS) };
    for (DWORD code : unknown) {
        ULONG buffer = 0;
        EXPECT_EQ(control_error(code, &buffer, sizeof buffer, &buffer, sizeof buffer), DWORD(ERROR_INVALID_FUNCTION))
            << std::hex << code;
    }
    EXPECT_TRUE(port_state() == before);
}

// A function with a serial control device: the common class controls
// belong to that device, every serial control to the port.
TEST_F(ControlsTest, EachDeviceRoleRefusesTheOthersControls)
{
    bus::FunctionConfig config;
    config.serial_control_device = true;
    opened(config);
    ASSERT_TRUE(fdx_->serial_ctrl_enabled);
    // A well-formed record, so that the control gets past the caller's-context checks.
    auto* record = static_cast<dc_ioctl_data*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_NE(record, nullptr);
    *record = dc_ioctl_data{};
    EXPECT_EQ(control_error(IOCTL_CDC_GET_ENCAPSULATED_RESPONSE, record, sizeof *record, record, sizeof *record),
              DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(state().BaudRate != 0) << "the serial controls are the port's";

    host::io::DeviceNode* control = host_->plug(fn_->control()->description());
    ASSERT_NE(control, nullptr);
    std::u16string path = u"\\\\?\\GLOBALROOT" + control->pdo->upper->name;
    HANDLE device = CreateFileW(host::as_wchar(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    SERIAL_BAUD_RATE rate{};
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(device, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &rate, sizeof rate, &returned, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    DCB dcb{};
    EXPECT_FALSE(GetCommState(device, &dcb));
    CloseHandle(device);
    VirtualFree(record, 0, MEM_RELEASE);
}

// The internal controls of the system's serial enumerator and power code,
// sent by a kernel-mode client of the port.
TEST_F(ControlsTest, InternalControlsSucceedAndUnknownOnesAreRefused)
{
    start();
    _FILE_OBJECT* file = nullptr;
    ASSERT_EQ(host::io::open_file(u"\\??\\COM5", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
    auto internal = [file](ULONG code) {
        host::io::UserIo io;
        io.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        io.ioctl = code;
        io.done = [](NTSTATUS, ULONG_PTR) {};
        return host::io::submit(file, std::move(io));
    };
    const PortState before = port_state();
    for (ULONG code : { IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE,
                        IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS })
        EXPECT_EQ(internal(code), STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(internal(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 5, METHOD_BUFFERED, FILE_ANY_ACCESS)),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(port_state() == before);
    host::io::close_file(file);
    expect_verifier_silent();
}

}  // namespace
}  // namespace serialtest
