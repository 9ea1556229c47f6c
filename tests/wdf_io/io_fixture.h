// A fresh host with the I/O test driver loaded, one device plugged and a
// handle open on it, and overlapped I/O helpers that report NTSTATUS values.
#pragma once

#include "io_driver.h"

#include "host/host.h"
#include "host/kernel/verifier.h"
#include "port_client.h"
#include "root_device.h"

#include <win32.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace iotest {

using porttest::Io;

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
        node_ = porttest::plug_and_open(*host_, porttest::root_child(u"IOTEST", u"System", u"I/O test device"),
                                        L"\\\\.\\IOTEST", &file_);
        ASSERT_NE(file_, INVALID_HANDLE_VALUE);
    }

    void stop()
    {
        porttest::close_handle(file_);
        host_.reset();
    }

    // start() with a manual queue beside the default one; gives the manual queue.
    WDFQUEUE start_with_manual_queue()
    {
        WDFQUEUE manual = nullptr;
        behaviour.create_queues = [&manual](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
            config = queue_config(WdfIoQueueDispatchManual, false);
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &manual);
        };
        start();
        behaviour.create_queues = nullptr;   // the lambda refers to this frame
        return manual;
    }

    // start() with only a default queue of `type`; without `evt_io_stop` the
    // queue has no EvtIoStop.
    void start_with_default_queue(WDF_IO_QUEUE_DISPATCH_TYPE type, bool evt_io_stop = true)
    {
        behaviour.create_queues = [type, evt_io_stop](WDFDEVICE device) {
            WDF_IO_QUEUE_CONFIG config = queue_config(type, true);
            if (!evt_io_stop)
                config.EvtIoStop = nullptr;
            WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
        };
        start();
    }

    // Framework objects the tests create, children of the device.
    WDF_OBJECT_ATTRIBUTES child_of_device()
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = journal.device;
        return attributes;
    }

    WDFTIMER make_timer(PFN_WDF_TIMER callback, LONG period_ms = 0)
    {
        WDF_TIMER_CONFIG config;
        if (period_ms)
            WDF_TIMER_CONFIG_INIT_PERIODIC(&config, callback, period_ms);
        else
            WDF_TIMER_CONFIG_INIT(&config, callback);
        return make_child<WDFTIMER>(config, WdfTimerCreate);
    }

    WDFDPC make_dpc(PFN_WDF_DPC callback)
    {
        WDF_DPC_CONFIG config;
        WDF_DPC_CONFIG_INIT(&config, callback);
        return make_child<WDFDPC>(config, WdfDpcCreate);
    }

    WDFWORKITEM make_work_item(PFN_WDF_WORKITEM callback)
    {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, callback);
        return make_child<WDFWORKITEM>(config, WdfWorkItemCreate);
    }

    template <typename Handle, typename Config, typename Create>
    Handle make_child(Config& config, Create create)
    {
        WDF_OBJECT_ATTRIBUTES attributes = child_of_device();
        Handle handle = nullptr;
        EXPECT_EQ(create(&config, &attributes, &handle), STATUS_SUCCESS);
        return handle;
    }

    // A 4-byte read and the request the driver holds for it.
    struct HeldRead {
        std::unique_ptr<Io> io;
        WDFREQUEST request;
    };
    HeldRead held_read()
    {
        auto io = read(4);
        return {std::move(io), journal.take_held()};
    }

    static void record_violations() { host::verifier_set_action(host::VerifierAction::record); }

    std::unique_ptr<Io> read(DWORD length) { return porttest::read_on(file_, length); }

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
    NTSTATUS wait(Io& io) { return porttest::finish_on(file_, io); }

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
