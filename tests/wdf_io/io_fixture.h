// A fresh host with the I/O test driver loaded, one device plugged and a
// handle open on it, and overlapped I/O helpers that report NTSTATUS values.
#pragma once

#include "io_driver.h"

#include "host/host.h"
#include "host/kernel/verifier.h"

#include <win32.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace iotest {

// One overlapped call from the application.
struct Io {
    OVERLAPPED overlapped{};
    std::vector<char> buffer;
    bool done() const { return HasOverlappedIoCompleted(&overlapped); }
    NTSTATUS status() const { return NTSTATUS(overlapped.Internal); }
    ULONG_PTR information() const { return overlapped.InternalHigh; }
};

class IoTest : public ::testing::Test {
protected:
    IoTest()
    {
        reset();
        host::verifier_reset();
    }
    ~IoTest() override { stop(); }

    // Loads the driver with the behaviour set so far, plugs the device and
    // opens it.
    void start(uint64_t seed = 1, host::Mode mode = host::Mode::controlled)
    {
        host_ = std::make_unique<host::Host>(host::HostOptions{.mode = mode, .seed = seed});
        ASSERT_EQ(host_->load_driver(u"iotest", DriverEntry), STATUS_SUCCESS);
        host::ChildDevice child;
        child.instance_path = u"ROOT\\IOTEST\\0000";
        child.class_name = u"System";
        child.friendly_name = u"I/O test device";
        child.hardware_id = u"ROOT\\IOTEST";
        node_ = host_->plug(child);
        ASSERT_NE(node_, nullptr);
        file_ = CreateFileW(L"\\\\.\\IOTEST", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }

    void stop()
    {
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
        file_ = INVALID_HANDLE_VALUE;
        host_.reset();
    }

    static void record_violations() { host::verifier_set_action(host::VerifierAction::record); }

    std::unique_ptr<Io> read(DWORD length)
    {
        auto io = std::make_unique<Io>();
        io->buffer.resize(length);
        ReadFile(file_, io->buffer.data(), length, nullptr, &io->overlapped);
        return io;
    }

    std::unique_ptr<Io> write(DWORD length)
    {
        auto io = std::make_unique<Io>();
        io->buffer.assign(length, 'w');
        WriteFile(file_, io->buffer.data(), length, nullptr, &io->overlapped);
        return io;
    }

    std::unique_ptr<Io> ioctl(DWORD code, DWORD in_length, DWORD out_length)
    {
        auto io = std::make_unique<Io>();
        io->buffer.assign(in_length > out_length ? in_length : out_length, 'i');
        DeviceIoControl(file_, code, io->buffer.data(), in_length, io->buffer.data(), out_length, nullptr,
                        &io->overlapped);
        return io;
    }

    // Waits for the call to complete and returns its status.
    NTSTATUS wait(Io& io)
    {
        DWORD bytes;
        GetOverlappedResult(file_, &io.overlapped, &bytes, TRUE);
        return io.status();
    }

    void cancel(Io& io) { CancelIoEx(file_, &io.overlapped); }

    // Lets the other threads run until nothing is left to do right now.
    static void settle(host::Time span = host::kMillisecond)
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -span;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    std::unique_ptr<host::Host> host_;
    host::io::DeviceNode* node_ = nullptr;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

}  // namespace iotest
