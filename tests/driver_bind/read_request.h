// A read request made by the framework for a bare IRP, as the read path
// would hold it: the context carries the buffer and length the copy-out uses.
#pragma once

#include "acm_serial.h"

#include "host/io/iomgr.h"
#include "host/wdf/fx.h"

#include <vector>

namespace bindtest {

class ReadRequest {
public:
    ReadRequest(PACM_FDO_DATA fdx, ULONG length) : fdx_(fdx), buffer_(length, 0xEE)
    {
        irp_.major = IRP_MJ_READ;
        irp_.length = length;
        irp_.device = WdfDeviceWdmGetDeviceObject(fdx->common.device);
        auto* device = host::wdf::resolve<host::wdf::FxDevice>(fdx->common.device, "test read");
        request_ = host::wdf::make_create_request(device, &irp_);
        PACM_REQUEST_CONTEXT context = acm_request_get_context(request_);
        context->major_function = IRP_MJ_READ;
        context->device = fdx;
        context->length = length;
        context->buffer = buffer_.data();
    }
    ~ReadRequest()
    {
        if (!irp_.completed)
            WdfRequestCompleteWithInformation(request_, STATUS_SUCCESS, context()->information);
    }
    ReadRequest(const ReadRequest&) = delete;
    ReadRequest& operator=(const ReadRequest&) = delete;

    WDFREQUEST handle() const { return request_; }
    PACM_REQUEST_CONTEXT context() const { return acm_request_get_context(request_); }

    // The copy-out as the read path runs it, under spin_lock; the bytes copied.
    std::string copy_out()
    {
        acm_lock_acquire(fdx_);
        acm_read_copy_from_buffer(fdx_, request_);
        acm_lock_release(fdx_);
        return std::string(buffer_.begin(), buffer_.begin() + context()->information);
    }

private:
    PACM_FDO_DATA fdx_;
    host::io::Irp irp_{};
    std::vector<uint8_t> buffer_;
    WDFREQUEST request_ = nullptr;
};

// What a read of `length` copies out of the ring now.
inline std::string copied_out(PACM_FDO_DATA fdx, ULONG length)
{
    ReadRequest read(fdx, length);
    return read.copy_out();
}

}  // namespace bindtest
