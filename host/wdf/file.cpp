// Framework file objects: one per successful IRP_MJ_CREATE on the device,
// parented to the device. The driver completes the create request; a create
// that fails takes its file object with it.
// Cleanup cancels the file's queued requests, then calls EvtFileCleanup;
// close calls EvtFileClose and deletes the file object.
#include "host/wdf/internal.h"
#include "host/wdf/queue_hooks.h"

#include "host/io/iomgr.h"

#include <memory>

namespace host::wdf {

namespace {

FxFile* file_of(io::Irp* irp)
{
    return irp->file != nullptr ? static_cast<FxFile*>(irp->file->fs_context) : nullptr;
}

void forget(FxFile* file)
{
    if (file->wdm != nullptr) file->wdm->fs_context = nullptr;
    delete_object(file);
}

NTSTATUS create_file(FxDevice* device, io::Irp* irp, FxFile** out)
{
    PWDF_OBJECT_ATTRIBUTES attributes = device->file_attributes.Size != 0 ? &device->file_attributes : nullptr;
    NTSTATUS status = create_object(attributes, device, "IRP_MJ_CREATE", out);
    if (!NT_SUCCESS(status)) return status;
    FxFile* file = *out;
    file->driver_may_delete = false;
    file->device = device;
    file->wdm = irp->file;
    file->file_name.Buffer = reinterpret_cast<PWCH>(irp->file->file_name.data());
    file->file_name.Length = file->file_name.MaximumLength =
        static_cast<USHORT>(irp->file->file_name.size() * sizeof(char16_t));
    irp->file->fs_context = file;
    return STATUS_SUCCESS;
}

// Watches the create's completion: a failed create deletes the file object,
// once EvtDeviceFileCreate has returned.
struct CreateWatch {
    FxFile* file;
    bool in_callback = true;
    bool failed = false;
};

}  // namespace

// Create goes to EvtDeviceFileCreate; without one, to the queue configured
// for WdfRequestTypeCreate; without that, it succeeds at once.
void file_create(FxDevice* device, io::Irp* irp)
{
    FxFile* file = nullptr;
    NTSTATUS status = create_file(device, irp, &file);
    if (!NT_SUCCESS(status)) {
        host::io::complete_irp(irp, status, 0);
        return;
    }
    PFN_WDF_DEVICE_FILE_CREATE callback = device->file_config.EvtDeviceFileCreate;
    bool queued = callback == nullptr && device->dispatch.count(WdfRequestTypeCreate) != 0;
    if (callback == nullptr && !queued) {
        host::io::complete_irp(irp, STATUS_SUCCESS, 0);
        return;
    }

    auto watch = std::make_shared<CreateWatch>(CreateWatch{file});
    irp->on_complete = [watch, next = std::move(irp->on_complete)](io::Irp* done) {
        bool failed = !NT_SUCCESS(done->status);
        bool delete_now;
        {
            auto lock = host::sched_lock();
            watch->failed = failed;
            delete_now = failed && !watch->in_callback;
        }
        if (next) next(done);
        if (delete_now) forget(watch->file);
    };
    if (queued) {
        queues_dispatch(device, irp);
    } else if (WDFREQUEST request = make_create_request(device, irp)) {
        WDFDEVICE handle = device->handle_as<WDFDEVICE>();
        call_driver("EvtDeviceFileCreate", [&] { callback(handle, request, file->handle_as<WDFFILEOBJECT>()); });
    }   // else the create failed for want of a request object
    bool delete_now;
    {
        auto lock = host::sched_lock();
        watch->in_callback = false;
        delete_now = watch->failed;
    }
    if (delete_now) forget(file);
}

void file_cleanup(FxDevice* device, io::Irp* irp)
{
    if (FxFile* file = file_of(irp)) {
        queues_file_cleanup(device, file);
        if (PFN_WDF_FILE_CLEANUP callback = device->file_config.EvtFileCleanup)
            call_driver("EvtFileCleanup", [&] { callback(file->handle_as<WDFFILEOBJECT>()); });
    }
    host::io::complete_irp(irp, STATUS_SUCCESS, 0);
}

void file_close(FxDevice* device, io::Irp* irp)
{
    if (FxFile* file = file_of(irp)) {
        if (PFN_WDF_FILE_CLOSE callback = device->file_config.EvtFileClose)
            call_driver("EvtFileClose", [&] { callback(file->handle_as<WDFFILEOBJECT>()); });
        forget(file);
    }
    host::io::complete_irp(irp, STATUS_SUCCESS, 0);
}

}  // namespace host::wdf

using namespace host::wdf;

WDFAPI WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    FxFile* file = resolve<FxFile>(FileObject, "WdfFileObjectGetDevice");
    return file != nullptr ? file->device->handle_as<WDFDEVICE>() : nullptr;
}

WDFAPI PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject)
{
    FxFile* file = resolve<FxFile>(FileObject, "WdfFileObjectGetFileName");
    return file != nullptr && file->file_name.Length != 0 ? &file->file_name : nullptr;
}

WDFAPI PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject)
{
    FxFile* file = resolve<FxFile>(FileObject, "WdfFileObjectWdmGetFileObject");
    return file != nullptr ? file->wdm : nullptr;
}

WDFAPI ULONG WdfCmResourceListGetCount(WDFCMRESLIST /*List*/) { return 0; }
