// The I/O test driver: device add, queue callbacks and cancel routine.
#include "io_driver.h"
#include "named_device.h"

#include <cstdio>

namespace iotest {

Behaviour behaviour;
Journal journal;

void reset()
{
    behaviour = Behaviour{};
    journal = Journal{};
}

size_t Journal::count(const std::string& event) const
{
    size_t n = 0;
    for (const auto& e : events)
        n += e == event;
    return n;
}

WDFREQUEST Journal::take_held()
{
    if (held.empty())
        return nullptr;
    WDFREQUEST r = held.front();
    held.erase(held.begin());
    return r;
}

namespace {

void io(const char* what, WDFQUEUE queue, WDFREQUEST request)
{
    journal.events.push_back(what);
    if (behaviour.on_io)
        behaviour.on_io(queue, request);
    else
        journal.held.push_back(request);
}

EVT_WDF_IO_QUEUE_IO_READ evt_io_read;
VOID evt_io_read(WDFQUEUE Queue, WDFREQUEST Request, size_t /*Length*/) { io("read", Queue, Request); }

EVT_WDF_IO_QUEUE_IO_WRITE evt_io_write;
VOID evt_io_write(WDFQUEUE Queue, WDFREQUEST Request, size_t /*Length*/) { io("write", Queue, Request); }

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL evt_io_device_control;
VOID evt_io_device_control(WDFQUEUE Queue, WDFREQUEST Request, size_t /*OutputBufferLength*/,
                           size_t /*InputBufferLength*/, ULONG /*IoControlCode*/)
{
    io("ioctl", Queue, Request);
}

EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL evt_io_internal_device_control;
VOID evt_io_internal_device_control(WDFQUEUE Queue, WDFREQUEST Request, size_t /*OutputBufferLength*/,
                                    size_t /*InputBufferLength*/, ULONG /*IoControlCode*/)
{
    io("internal ioctl", Queue, Request);
}

EVT_WDF_IO_QUEUE_IO_STOP evt_io_stop;
VOID evt_io_stop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    char text[32];
    std::snprintf(text, sizeof text, "stop 0x%x", unsigned(ActionFlags));
    journal.events.push_back(text);
    if (behaviour.on_stop)
        behaviour.on_stop(Queue, Request, ActionFlags);
    else
        WdfRequestStopAcknowledge(Request, FALSE);
}

EVT_WDF_IO_QUEUE_IO_RESUME evt_io_resume;
VOID evt_io_resume(WDFQUEUE Queue, WDFREQUEST Request)
{
    journal.events.push_back("resume");
    if (behaviour.on_resume)
        behaviour.on_resume(Queue, Request);
}

EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE evt_io_canceled_on_queue;
VOID evt_io_canceled_on_queue(WDFQUEUE Queue, WDFREQUEST Request)
{
    journal.events.push_back("canceled on queue");
    if (behaviour.on_canceled_on_queue)
        behaviour.on_canceled_on_queue(Queue, Request);
    else
        WdfRequestComplete(Request, STATUS_CANCELLED);
}

EVT_WDF_IO_IN_CALLER_CONTEXT evt_io_in_caller_context;
VOID evt_io_in_caller_context(WDFDEVICE Device, WDFREQUEST Request)
{
    journal.events.push_back("in caller context");
    if (behaviour.on_in_caller) {
        behaviour.on_in_caller(Device, Request);
        return;
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(Device, Request);
    if (!NT_SUCCESS(status))
        WdfRequestComplete(Request, status);
}

EVT_WDF_DRIVER_DEVICE_ADD evt_device_add;
NTSTATUS evt_device_add(WDFDRIVER /*Driver*/, PWDFDEVICE_INIT DeviceInit)
{
    WdfDeviceInitSetIoType(DeviceInit, behaviour.io_type);
    WDF_OBJECT_ATTRIBUTES request_attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&request_attributes, IOTEST_REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &request_attributes);
    if (behaviour.in_caller_context)
        WdfDeviceInitSetIoInCallerContextCallback(DeviceInit, evt_io_in_caller_context);

    NTSTATUS status = porttest::create_named_device(&DeviceInit, L"\\Device\\IoTest0", L"\\DosDevices\\IOTEST",
                                                    WDF_NO_OBJECT_ATTRIBUTES, &journal.device);
    if (!NT_SUCCESS(status))
        return status;
    if (behaviour.create_queues) {
        behaviour.create_queues(journal.device);
    } else {
        WDF_IO_QUEUE_CONFIG config = queue_config(WdfIoQueueDispatchParallel, true);
        status = WdfIoQueueCreate(journal.device, &config, WDF_NO_OBJECT_ATTRIBUTES, &journal.default_queue);
    }
    return status;
}

}  // namespace

VOID evt_request_cancel(WDFREQUEST Request)
{
    journal.events.push_back("cancel");
    if (behaviour.on_cancel)
        behaviour.on_cancel(Request);
    else
        WdfRequestComplete(Request, STATUS_CANCELLED);
}

WDF_IO_QUEUE_CONFIG queue_config(WDF_IO_QUEUE_DISPATCH_TYPE type, bool default_queue)
{
    WDF_IO_QUEUE_CONFIG config;
    if (default_queue)
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, type);
    else
        WDF_IO_QUEUE_CONFIG_INIT(&config, type);
    if (type != WdfIoQueueDispatchManual) {
        config.EvtIoRead = evt_io_read;
        config.EvtIoWrite = evt_io_write;
        config.EvtIoDeviceControl = evt_io_device_control;
        config.EvtIoInternalDeviceControl = evt_io_internal_device_control;
    }
    config.EvtIoStop = evt_io_stop;
    config.EvtIoResume = evt_io_resume;
    config.EvtIoCanceledOnQueue = evt_io_canceled_on_queue;
    return config;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, evt_device_add);
    return WdfDriverCreate(driver, registry_path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

}  // namespace iotest
