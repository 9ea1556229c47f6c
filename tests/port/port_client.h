// The application's side of a COM port: overlapped reads, writes and
// controls through the user-mode API, with the outcomes as
// "status/information", and test data that shows any lost, duplicated or
// reordered byte.
#pragma once

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

class PortClient {
public:
    // How long a wait for a request lasts, in host time. A request still
    // pending then is taken as hung: the test fails instead of the run
    // stopping on a wait that never ends.
    static constexpr DWORD kRequestLimitMs = 60'000;

    explicit PortClient(const wchar_t* name = L"\\\\.\\COM5") : name_(name) {}
    ~PortClient() { close(); }
    PortClient(const PortClient&) = delete;
    PortClient& operator=(const PortClient&) = delete;

    bool open()
    {
        port_ = CreateFileW(name_, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        return port_ != INVALID_HANDLE_VALUE;
    }
    void close()
    {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        port_ = INVALID_HANDLE_VALUE;
    }
    HANDLE handle() const { return port_; }

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
        if (!GetOverlappedResultEx(port_, &io.overlapped, &bytes, kRequestLimitMs, FALSE) &&
            GetLastError() == WAIT_TIMEOUT) {
            io.keep_if_hung();
            ++hung_requests_;
        }
        return io;
    }
    int hung_requests() const { return hung_requests_; }
    void cancel(Io& io) { CancelIoEx(port_, &io.overlapped); }

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

private:
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
