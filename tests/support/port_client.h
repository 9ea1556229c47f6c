// The application's side of a COM port: overlapped reads, writes and
// controls and the comm functions of the user-mode API, with the outcomes
// as "status/information", and test data that shows any lost, duplicated
// or reordered byte.
#pragma once

#include "root_device.h"

#include "host/kernel/sched.h"

#include <ntddk.h>
#include <ntddser.h>
#include <win32.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace porttest {

// "status/information" of a completed request.
inline std::string outcome(NTSTATUS status, ULONG_PTR information)
{
    char text[48];
    std::snprintf(text, sizeof text, "%08x/%lu", static_cast<uint32_t>(status), static_cast<unsigned long>(information));
    return text;
}

// The outcomes the races of a read end in.
inline const std::string kSuccess5 = outcome(STATUS_SUCCESS, 5);
inline const std::string kTimeout5 = outcome(STATUS_TIMEOUT, 5);
inline const std::string kTimeout0 = outcome(STATUS_TIMEOUT, 0);
inline const std::string kCancelled0 = outcome(STATUS_CANCELLED, 0);

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

// One overlapped request. Its OVERLAPPED and buffer live in storage of
// their own, which a request found hung keeps to the end of the process: a
// later teardown of the host may still complete it.
struct Io {
    struct Storage {
        OVERLAPPED overlapped{};
        std::string buffer;
    };
    std::shared_ptr<Storage> storage = std::make_shared<Storage>();
    OVERLAPPED& overlapped = storage->overlapped;
    std::string& buffer = storage->buffer;

    void keep_if_hung()
    {
        static std::vector<std::shared_ptr<Storage>> kept;
        hung = !done();
        if (hung)
            kept.push_back(storage);
    }
    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    NTSTATUS status() const { return NTSTATUS(overlapped.Internal); }
    ULONG_PTR information() const { return overlapped.InternalHigh; }
    std::string data() const { return buffer.substr(0, information()); }
    std::string result() const { return hung ? "hung" : outcome(status(), information()); }
    bool hung = false;   // still pending when the wait for it gave up
};

// One overlapped WaitCommEvent.
struct Wait {
    OVERLAPPED overlapped{};
    DWORD events = 0xEEEEEEEE;
    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    NTSTATUS status() const { return NTSTATUS(overlapped.Internal); }
    std::string result() const { return outcome(status(), overlapped.InternalHigh); }
    // The outcome, and the events a successful wait returned.
    std::string result_with_events() const
    {
        return status() == STATUS_SUCCESS ? result() + " events " + std::to_string(events) : result();
    }
};

// An overlapped read of `length` bytes on `file`; its buffer starts 0xEE.
inline std::unique_ptr<Io> read_on(HANDLE file, DWORD length)
{
    auto io = std::make_unique<Io>();
    io->buffer.assign(length, '\xEE');
    ReadFile(file, io->buffer.data(), length, nullptr, &io->overlapped);
    return io;
}

// Waits for the request on `file` to end; its status.
inline NTSTATUS finish_on(HANDLE file, Io& io)
{
    DWORD bytes;
    GetOverlappedResult(file, &io.overlapped, &bytes, TRUE);
    return io.status();
}

class PortClient {
public:
    // How long a wait for a request lasts, in host time. A request still
    // pending then is taken as hung: the test fails instead of the run
    // stopping on a wait that never ends.
    static constexpr DWORD kRequestLimitMs = 60'000;

    explicit PortClient(const wchar_t* name = L"\\\\.\\COM5") : name_(name) {}
    virtual ~PortClient() { close(); }
    PortClient(const PortClient&) = delete;
    PortClient& operator=(const PortClient&) = delete;

    bool open()
    {
        port_ = open_overlapped(name_);
        return port_ != INVALID_HANDLE_VALUE;
    }
    void close()
    {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }
    HANDLE handle() const { return port_; }

    std::unique_ptr<Io> read(DWORD length) { return read_on(port_, length); }
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
        if (!GetOverlappedResultEx(port_, &io.overlapped, &bytes, kRequestLimitMs, FALSE) &&
            GetLastError() == WAIT_TIMEOUT) {
            io.keep_if_hung();
            ++hung_requests_;
        }
        return io;
    }
    int hung_requests() const { return hung_requests_; }
    void cancel(Io& io) { CancelIoEx(port_, &io.overlapped); }

    // A control issued overlapped on `on` (this port by default); the caller waits.
    std::unique_ptr<Io> issue(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length,
                              HANDLE on = nullptr)
    {
        auto io = std::make_unique<Io>();
        DeviceIoControl(on ? on : port_, code, const_cast<void*>(in), in_length, out, out_length, nullptr,
                        &io->overlapped);
        return io;
    }

    // A control, waited for; FALSE with GetLastError() as Win32 reports it.
    BOOL ioctl(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length, DWORD* returned = nullptr)
    {
        OVERLAPPED overlapped{};
        DWORD bytes = 0;
        BOOL ok = DeviceIoControl(port_, code, const_cast<void*>(in), in_length, out, out_length, nullptr, &overlapped);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            ok = GetOverlappedResultEx(port_, &overlapped, &bytes, kRequestLimitMs, FALSE);
            if (!ok && GetLastError() == WAIT_TIMEOUT)
                ++hung_requests_;
        } else
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
    // A control with raw buffers; the Win32 error, ERROR_SUCCESS when it succeeded.
    DWORD control_error(DWORD code, const void* in, DWORD in_length, void* out, DWORD out_length)
    {
        return ioctl(code, in, in_length, out, out_length) ? DWORD(ERROR_SUCCESS) : GetLastError();
    }
    // A control that returns one record.
    template <typename T>
    T get(DWORD code)
    {
        T value{};
        check(ioctl(code, nullptr, 0, &value, sizeof value), "a control");
        return value;
    }

    // --- the comm functions -------------------------------------------------------
    DCB state()
    {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        check(GetCommState(port_, &dcb), "GetCommState");
        return dcb;
    }
    DWORD modem_status()
    {
        DWORD status = 0xEEEEEEEE;
        check(GetCommModemStatus(port_, &status), "GetCommModemStatus");
        return status;
    }
    DWORD comm_errors(COMSTAT* stat = nullptr)
    {
        DWORD errors = 0xEEEEEEEE;
        COMSTAT ignored;
        check(ClearCommError(port_, &errors, stat ? stat : &ignored), "ClearCommError");
        return errors;
    }
    SERIAL_STATUS comm_status() { return get<SERIAL_STATUS>(IOCTL_SERIAL_GET_COMMSTATUS); }
    SERIALPERF_STATS stats() { return get<SERIALPERF_STATS>(IOCTL_SERIAL_GET_STATS); }
    std::unique_ptr<Wait> wait_event()
    {
        auto w = std::make_unique<Wait>();
        WaitCommEvent(port_, &w->events, &w->overlapped);
        return w;
    }
    Wait& finish(Wait& w)
    {
        DWORD bytes;
        GetOverlappedResult(port_, &w.overlapped, &bytes, TRUE);
        return w;
    }

    // Reads until `n` bytes came or a read gave none; every read waits for
    // its first data at most `patience_ms`. Reads ask for at most 4 KiB: the
    // controlled host's pool never reuses what buffered reads take from it.
    std::string read_back(size_t n, ULONG patience_ms = 1000)
    {
        if (!set_timeouts(MAXULONG, MAXULONG, patience_ms))
            return "";
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

protected:
    // A comm function that should not fail did; a test fixture reports it.
    virtual void failed(const char* call) { (void)call; }

private:
    void check(BOOL ok, const char* call)
    {
        if (!ok)
            failed(call);
    }

    const wchar_t* name_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    int hung_requests_ = 0;
};

// Host time.
inline void sleep_for(host::Time span)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -span;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}
inline void sleep_ms(LONGLONG ms) { sleep_for(ms * host::kMillisecond); }
inline host::Time elapsed_ms(host::Time since) { return (host::now() - since) / host::kMillisecond; }

}  // namespace porttest
