// The port of a simulated CDC ACM function, opened through the user-mode
// API, with overlapped reads, writes and controls; the bus's side (loopback,
// timing, faults) and the driver's device context for white-box checks.
#pragma once

#include "acm_read_buffer.h"
#include "acm_request.h"

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/kernel/verifier.h"
#include "host/rtl/registry.h"
#include "host/rtl/trace.h"

#include <win32.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace datatest {

// "status/information" of a completed request.
inline std::string outcome(NTSTATUS status, ULONG_PTR information)
{
    char text[48];
    std::snprintf(text, sizeof text, "%08x/%lu", static_cast<uint32_t>(status), static_cast<unsigned long>(information));
    return text;
}

// `n` bytes that differ from their neighbours and repeat only every 251.
inline std::string pattern(size_t n, size_t offset = 0)
{
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; i++)
        bytes[i] = char((i + offset) % 251);
    return bytes;
}

// Where `got` first differs from `want`, or "" when they are the same;
// keeps failures of megabyte comparisons short.
inline std::string first_difference(const std::string& got, const std::string& want)
{
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        i++;
    if (i == got.size() && i == want.size())
        return "";
    return "got " + std::to_string(got.size()) + " bytes, want " + std::to_string(want.size()) +
           ", first difference at " + std::to_string(i);
}

// One overlapped request of the application.
struct Io {
    OVERLAPPED overlapped{};
    std::string buffer;
    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    NTSTATUS status() const { return NTSTATUS(overlapped.Internal); }
    ULONG_PTR information() const { return overlapped.InternalHigh; }
    std::string data() const { return buffer.substr(0, information()); }
    std::string result() const { return outcome(status(), information()); }
};

class DataTest : public ::testing::Test {
protected:
    ~DataTest() override { teardown(); }

    void teardown()
    {
        if (port_ != INVALID_HANDLE_VALUE)
            close();
        host_.reset();   // the function outlives the devices bound to it
        fn_.reset();
    }

    // A fresh host with a loopback function and its port plugged.
    void start(uint64_t seed = 1, bus::FunctionConfig config = {}, host::Mode mode = host::Mode::controlled,
               ULONG debug_level = 2)
    {
        teardown();
        host::verifier_reset();
        host::verifier_set_action(host::VerifierAction::record);
        fn_ = std::make_unique<bus::CdcFunction>(std::move(config));
        fn_->set_behaviour(std::make_shared<bus::Loopback>());
        host_ = std::make_unique<host::Host>(host::HostOptions{ .mode = mode, .seed = seed });
        host::reg::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\acmserial\\Parameters",
                             u"DebugLevel", debug_level);
        host::trace_clear();
        ASSERT_EQ(host_->load_driver(u"acmserial", DriverEntry), STATUS_SUCCESS);
        node_ = host_->plug(fn_->port().description());
        ASSERT_NE(node_, nullptr);
        fdx_ = acm_fdo_get_data(WdfWdmDeviceGetWdfDeviceHandle(node_->pdo->upper));
    }

    void open()
    {
        port_ = CreateFileW(L"\\\\.\\COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    }
    void close()
    {
        CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }

    // --- the application ---------------------------------------------------
    std::unique_ptr<Io> read(DWORD length)
    {
        auto io = std::make_unique<Io>();
        io->buffer.assign(length, '\xEE');
        ReadFile(port_, io->buffer.data(), length, nullptr, &io->overlapped);
        return io;
    }
    std::unique_ptr<Io> write(std::string bytes)
    {
        auto io = std::make_unique<Io>();
        io->buffer = std::move(bytes);
        WriteFile(port_, io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->overlapped);
        return io;
    }
    Io& wait(Io& io)
    {
        DWORD bytes;
        GetOverlappedResult(port_, &io.overlapped, &bytes, TRUE);
        return io;
    }
    void cancel(Io& io) { CancelIoEx(port_, &io.overlapped); }

    // A control, waited for; FALSE with GetLastError() as Win32 reports it.
    BOOL ioctl(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length, DWORD* returned = nullptr)
    {
        OVERLAPPED overlapped{};
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(port_, code, const_cast<void*>(in), in_length, out, out_length, nullptr, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING)
            ok = GetOverlappedResult(port_, &overlapped, &bytes, TRUE);
        else
            bytes = DWORD(overlapped.InternalHigh);
        if (returned)
            *returned = bytes;
        return ok;
    }
    BOOL set_timeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        SERIAL_TIMEOUTS timeouts{ interval, multiplier, constant, 0, 0 };
        return ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0);
    }

    // Reads until `n` bytes came or a read gave none; every read waits for
    // its first data at most `patience`. Reads ask for at most 4 KiB: the
    // controlled host's pool never reuses what buffered reads take from it.
    std::string read_back(size_t n, ULONG patience_ms = 1000)
    {
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, patience_ms));
        std::string got;
        while (got.size() < n) {
            auto io = read(DWORD(std::min<size_t>(n - got.size(), 4096)));
            wait(*io);
            if (io->status() != STATUS_SUCCESS || io->information() == 0)
                break;
            got += io->data();
        }
        return got;
    }

    // --- time ------------------------------------------------------------------
    static void sleep_for(host::Time span)
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -span;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    static void sleep_ms(LONGLONG ms) { sleep_for(ms * host::kMillisecond); }
    static host::Time elapsed_ms(host::Time since) { return (host::now() - since) / host::kMillisecond; }

    // --- the bus -----------------------------------------------------------------
    std::vector<bus::DataTransfer> data_out() const
    {
        std::vector<bus::DataTransfer> out;
        for (const auto& t : fn_->transfers())
            if (!t.in)
                out.push_back(t);
        return out;
    }
    std::string device_received() const
    {
        bus::Bytes bytes = fn_->received();
        return std::string(bytes.begin(), bytes.end());
    }

    void expect_verifier_silent(uint64_t seed = 0)
    {
        for (const auto& v : host::verifier_violations())
            ADD_FAILURE() << "seed " << seed << ": " << v.check << ": " << v.detail;
    }

    std::unique_ptr<bus::CdcFunction> fn_;
    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
    PACM_FDO_DATA fdx_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

}  // namespace datatest
