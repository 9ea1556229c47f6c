// The driver linked in, bound to one simulated CDC ACM function, and the
// port opened and closed through the Win32 API; white-box access to the
// device context for what the API cannot see.
#pragma once

#include "acm_serial.h"

#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/kernel/verifier.h"
#include "host/rtl/registry.h"
#include "host/rtl/trace.h"
#include "port_client.h"
#include "root_device.h"

#include <win32.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace lifecycle {

using porttest::Io;
using porttest::sleep_for;

class LifecycleTest : public ::testing::Test {
protected:
    ~LifecycleTest() override { stop(); }

    // A fresh host with the function; registry set-up may follow before plug().
    void make(bus::FunctionConfig config = {}, uint64_t seed = 1)
    {
        stop();
        host::verifier_reset();
        host::verifier_set_action(host::VerifierAction::record);
        fn_ = std::make_unique<bus::CdcFunction>(std::move(config));
        host_ = std::make_unique<host::Host>(host::HostOptions{ .seed = seed });
        host::reg::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acmserial\\Parameters",
                             u"DebugLevel", 4);
        host::trace_clear();
    }

    // The port, or the serial control device.
    void plug(bool control = false)
    {
        ASSERT_EQ(host_->load_driver(u"acmserial", DriverEntry), STATUS_SUCCESS);
        node_ = host_->plug((control ? *fn_->control() : fn_->port()).description());
        ASSERT_NE(node_, nullptr);
        fdx_ = acm_fdo_get_data(WdfWdmDeviceGetWdfDeviceHandle(node_->pdo->upper));
    }

    // make() and plug() with a port option in the hardware key.
    void started(std::vector<std::pair<std::u16string, bus::HardwareValue>> options = {})
    {
        bus::FunctionConfig config;
        config.hardware_key = std::move(options);
        make(std::move(config));
        plug();
        fn_->port().clear_op_log();
    }

    // The port opened on a fresh host run by `seed`.
    void opened(uint64_t seed)
    {
        make({}, seed);
        plug();
        open();
    }

    static HANDLE open_port()
    {
        return porttest::open_overlapped(L"\\\\.\\COM5");
    }
    void open()
    {
        file_ = open_port();
        ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
        fn_->settle();
    }
    // A thread that closes the handle, for a race; the test joins it.
    host::Thread* close_elsewhere()
    {
        HANDLE file = file_;
        file_ = INVALID_HANDLE_VALUE;
        return host::spawn("closer", [file] { CloseHandle(file); });
    }
    void close()
    {
        ASSERT_TRUE(CloseHandle(file_));
        file_ = INVALID_HANDLE_VALUE;
        fn_->settle();
    }

    void stop()
    {
        porttest::close_handle(file_);
        host_.reset();   // the function outlives the devices bound to it
        fn_.reset();
        fdx_ = nullptr;
    }

    std::unique_ptr<Io> read()
    {
        auto io = std::make_unique<Io>();
        io->buffer.assign(64, '\0');
        ReadFile(file_, io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->overlapped);
        return io;
    }
    // A read of the freshly opened port, waiting for data.
    std::unique_ptr<Io> pending_read()
    {
        started();
        open();
        auto io = read();
        fn_->settle();
        return io;
    }
    std::unique_ptr<Io> purge()
    {
        auto io = std::make_unique<Io>();
        ULONG mask = SERIAL_PURGE_RXCLEAR;
        DeviceIoControl(file_, IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0, nullptr, &io->overlapped);
        return io;
    }

    void power(host::io::DevicePower state)
    {
        ASSERT_EQ(host_->set_power(node_, state), STATUS_SUCCESS);
        fn_->settle();
    }

    // The device sends, and its bytes reach the ring.
    void device_sends(std::string_view text)
    {
        fn_->send(text);
        fn_->settle();
    }
    ULONG ring_bytes()
    {
        acm_lock_acquire(fdx_);
        ULONG n = fdx_->read_buffer_bytes;
        acm_lock_release(fdx_);
        return n;
    }

    int calls(std::string_view operation) { return fn_->port().calls(operation); }
    bool notify_registered() { return fn_->port().notify_registered(); }
    static size_t traced(std::string_view needle) { return host::trace_count(needle); }

    // A request's end, waited for at most `limit_ms` of host time: false
    // when it is still pending then (hung), so that a hang fails the test
    // rather than stopping the run.
    bool wait_bounded(OVERLAPPED& overlapped, DWORD* bytes, DWORD limit_ms = 60'000)
    {
        return GetOverlappedResultEx(file_, &overlapped, bytes, limit_ms, FALSE) || GetLastError() != WAIT_TIMEOUT;
    }

    // After a scenario: the port closes, opens again and carries bytes both ways.
    void expect_port_reopens()
    {
        close();
        fn_->clear_faults();
        fn_->release_stalls();
        open();
        SERIAL_TIMEOUTS timeouts{MAXULONG, MAXULONG, 100, 0, 0};
        OVERLAPPED control{};
        DWORD bytes = 0;
        DeviceIoControl(file_, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0, nullptr, &control);
        EXPECT_TRUE(wait_bounded(control, &bytes));
        fn_->clear_logs();
        device_sends("ping");
        auto in = read();
        EXPECT_TRUE(wait_bounded(in->overlapped, &bytes)) << "the read after reopening never completed";
        EXPECT_EQ(in->buffer.substr(0, bytes), "ping");
        OVERLAPPED out{};
        WriteFile(file_, "pong", 4, nullptr, &out);
        EXPECT_TRUE(wait_bounded(out, &bytes)) << "the write after reopening never completed";
        fn_->settle();
        const bus::Bytes received = fn_->received();
        EXPECT_EQ(std::string(received.begin(), received.end()), "pong");
    }

    static void expect_verifier_silent()
    {
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << v.check << ": " << v.detail;
    }

    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
    PACM_FDO_DATA fdx_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace lifecycle
