// The DC Enumerator interface as the bus serves it: the hand-out and its
// reference counting, and one entry point per operation slot. Each entry is a
// scheduling point, checks the caller's use of the interface and serves the
// operation from the function model under the scheduler lock.
#include <initguid.h>   // defines GUID_DC_ENUMERATOR_INTERFACE here

#include "bus/cdc_function.h"

#include "common/cdc_protocol.h"
#include "host/kernel/verifier.h"

#include <algorithm>
#include <cstring>

namespace bus {

namespace {

std::string flag_args(std::initializer_list<ULONG> args)
{
    std::string s = "(";
    for (ULONG a : args)
        s += (s.size() > 1 ? "," : "") + std::to_string(a);
    return s + ")";
}

}  // namespace

// --- DcChild -----------------------------------------------------------------

// The value `read` returns, read under the function's lock.
template <typename Read>
auto DcChild::read_locked(Read read) const
{
    auto lk = fn_.lock();
    return read();
}

std::string DcChild::interface_specific_data() const
{
    return read_locked([&] { return specific_data_; });
}

int DcChild::references() const
{
    return read_locked([&] { return references_; });
}

int DcChild::handouts() const
{
    return read_locked([&] { return handouts_; });
}

bool DcChild::transport_enabled() const
{
    return read_locked([&] { return transport_; });
}

bool DcChild::data_io_initialized() const
{
    return read_locked([&] { return data_in_open_ || data_out_open_; });
}

bool DcChild::notify_registered() const
{
    return read_locked([&] { return notify_ != nullptr; });
}

bool DcChild::callbacks_registered() const
{
    return read_locked([&] { return callbacks_.has_value(); });
}

ULONG DcChild::hold_child_if_in_use() const
{
    return read_locked([&] { return callbacks_ ? callbacks_->hold : 0; });
}

bool DcChild::removed() const
{
    return read_locked([&] { return removed_; });
}

std::vector<std::string> DcChild::op_log() const
{
    return read_locked([&] { return ops_; });
}

int DcChild::calls(std::string_view operation) const
{
    auto lk = fn_.lock();
    auto it = calls_.find(operation);
    return it == calls_.end() ? 0 : it->second;
}

void DcChild::clear_op_log()
{
    auto lk = fn_.lock();
    ops_.clear();
    calls_.clear();
}

void DcChild::log_op(std::string_view operation, std::string args, bool listed)
{
    ++calls_[std::string(operation)];
    if (listed)
        ops_.push_back(std::string(operation) + args);
}

DcChild::Callbacks DcChild::registered_callbacks() const
{
    return read_locked([&] { return callbacks_.value_or(Callbacks{}); });
}

NTSTATUS DcChild::io_start()
{
    Callbacks cb = registered_callbacks();
    return cb.start ? cb.start(cb.context) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS DcChild::io_stop()
{
    Callbacks cb = registered_callbacks();
    return cb.stop ? cb.stop(cb.context) : STATUS_INVALID_DEVICE_STATE;
}

template <typename Call>
auto DcChild::at_callback_irql(Call call)
{
    if (!fn_.config_.callbacks_at_dispatch)
        return call();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto result = call();
    KeLowerIrql(old);
    return result;
}

BOOLEAN DcChild::is_in_use()
{
    Callbacks cb = registered_callbacks();
    return cb.in_use ? at_callback_irql([&] { return cb.in_use(cb.context); }) : FALSE;
}

NTSTATUS DcChild::io_suspend()
{
    Callbacks cb = registered_callbacks();
    return cb.suspend ? at_callback_irql([&] { return cb.suspend(cb.context); }) : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS DcChild::io_resume()
{
    Callbacks cb = registered_callbacks();
    return cb.resume ? at_callback_irql([&] { return cb.resume(cb.context); }) : STATUS_INVALID_DEVICE_STATE;
}

// Every hand-out takes one reference that exactly one InterfaceDereference
// gives back; by the time the child's device object goes, none is left.
void DcChild::verify_released()
{
    auto lk = fn_.lock();
    if (references_ != 0)
        host::verifier_report("bus-dereference", std::to_string(references_) +
                                                     " interface reference(s) left when the child was removed");
}

// --- the record's entry points -------------------------------------------------

struct InterfaceThunks {
    // One call into the bus: a scheduling point, the caller's context
    // checked, the scheduler lock held for the rest of the call.
    class Call {
    public:
        Call(PVOID context, const char* op) : op_(op)
        {
            host::yield_point(op);
            child_ = static_cast<DcChild*>(context);
            if (!child_ || child_->magic_ != DcChild::kMagic) {
                host::verifier_report("bus-bad-context",
                                      std::string(op) + " called with a context the bus never handed out");
                child_ = nullptr;
                return;
            }
            lock_ = child_->fn_.lock();
            if (child_->handouts_ > 0 && child_->references_ == 0)
                host::verifier_report("bus-use-after-dereference",
                                      std::string(op) + " called after the last InterfaceDereference");
        }
        ~Call()
        {
            if (!child_)
                return;
            lock_.unlock();
            fn().report_removal();
        }
        explicit operator bool() const { return child_ != nullptr; }
        DcChild& child() { return *child_; }
        CdcFunction& fn() { return child_->fn_; }
        std::unique_lock<std::mutex>& lock() { return lock_; }
        // The call logged; the fault armed for it, if any.
        std::optional<Fault> enter(Op op, std::string args = "")
        {
            child_->log_op(op_, std::move(args));
            return fn().faults_.take(op);
        }
        // What an NTSTATUS operation ends with before the function sees it:
        // a context the bus never handed out, or the fault armed for it.
        std::optional<NTSTATUS> refused(Op op, std::string args = "")
        {
            if (!child_)
                return STATUS_INVALID_PARAMETER;
            if (auto f = enter(op, std::move(args)))
                return f->status;
            return std::nullopt;
        }
        void log(std::string args = "", bool listed = true) { child_->log_op(op_, std::move(args), listed); }
        bool gone() const { return !child_->fn_.present_ || child_->removed_; }

    private:
        const char* op_;
        DcChild* child_ = nullptr;
        std::unique_lock<std::mutex> lock_;
    };

    static VOID reference(PVOID context)
    {
        Call call(context, "InterfaceReference");
        if (call)
            ++call.child().references_;
    }

    static VOID dereference(PVOID context)
    {
        auto* c = static_cast<DcChild*>(context);
        if (!c || c->magic_ != DcChild::kMagic) {
            host::verifier_report("bus-bad-context", "InterfaceDereference with a context the bus never handed out");
            return;
        }
        auto lk = c->fn_.lock();
        if (c->references_ == 0) {
            host::verifier_report("bus-dereference", "InterfaceDereference without a reference left");
            return;
        }
        --c->references_;
        c->log_op("InterfaceDereference");
    }

    static NTSTATUS control_request(PVOID context, UCHAR direction, UCHAR request, USHORT value, USHORT length,
                                    PVOID buffer, PULONG bytes_done, ULONG, ULONG)
    {
        host::verify_irql_at_most(PASSIVE_LEVEL, "control_request");
        host::verify_no_spin_lock_held("control_request");
        Call call(context, "control_request");
        if (!call)
            return STATUS_INVALID_PARAMETER;
        call.log(flag_args({direction, request, value, length}));
        const bool in = direction == DC_DIRECTION_IN;
        DC_CONTROL_RECORD setup{UCHAR(in ? CDC_REQUEST_INTERFACE_TO_HOST : CDC_REQUEST_HOST_TO_INTERFACE), request,
                                value, call.fn().config_.comm_interface, length, 0, 0};
        return call.fn().control_transfer(call.child(), setup, static_cast<uint8_t*>(buffer), length, bytes_done,
                                          false, 0, call.lock());
    }

    static NTSTATUS generic_control(PVOID context, PDC_CONTROL_RECORD control, PVOID buffer, ULONG length,
                                    PULONG bytes_done, LONGLONG timeout)
    {
        host::verify_irql_at_most(PASSIVE_LEVEL, "generic_control");
        host::verify_no_spin_lock_held("generic_control");
        Call call(context, "generic_control");
        if (!call)
            return STATUS_INVALID_PARAMETER;
        if (!control) {
            call.log();
            return STATUS_INVALID_PARAMETER;
        }
        call.log(flag_args({control->bmRequestType, control->bRequest, control->wValue, control->wLength}));
        return call.fn().control_transfer(call.child(), *control, static_cast<uint8_t*>(buffer), length,
                                          bytes_done, true, timeout, call.lock());
    }

    static NTSTATUS transport_enable(PVOID context)
    {
        Call call(context, "dc_transport_enable");
        if (auto status = call.refused(Op::transport_enable))
            return *status;
        if (call.gone())
            return STATUS_NO_SUCH_DEVICE;
        DcChild& c = call.child();
        c.transport_ = true;
        call.fn().for_behaviour([&](Behaviour& b) { b.transport(call.fn().device_, true); });
        call.fn().deliver_notifications();
        return STATUS_SUCCESS;
    }

    static NTSTATUS transport_disable(PVOID context)
    {
        Call call(context, "dc_transport_disable");
        if (auto status = call.refused(Op::transport_disable))
            return *status;
        DcChild& c = call.child();
        call.fn().close_pipes(c);
        c.transport_ = false;
        call.fn().for_behaviour([&](Behaviour& b) { b.transport(call.fn().device_, false); });
        return STATUS_SUCCESS;
    }

    template <bool DataIn>
    static BOOLEAN data_post(PVOID context, PVOID buffer, ULONG length, PDC_TRANSFER_COMPLETE routine,
                             PVOID routine_context, ULONG, ULONG)
    {
        Call call(context, DataIn ? "data_in_post" : "data_out_post");
        if (!call)
            return FALSE;
        call.log("", false);
        CdcFunction& fn = call.fn();
        return fn.post(call.child(), DataIn ? fn.in_ : fn.out_, buffer, length, routine, routine_context);
    }

    static BOOLEAN set_notify_cb(PVOID context, WDFDEVICE device, PDC_NOTIFY_CALLBACK callback)
    {
        Call call(context, "cdc_set_notify_cb");
        if (!call)
            return FALSE;
        if (auto f = call.enter(Op::set_notify_cb, callback ? "(set)" : "(clear)"); f && f->kind == Fault::Kind::refuse)
            return FALSE;
        DcChild& c = call.child();
        if (callback && call.gone())
            return FALSE;
        if (callback && c.notify_)
            host::verifier_report("bus-notify-callback-twice",
                                  "cdc_set_notify_cb while a notification callback is registered");
        c.notify_device_ = callback ? device : nullptr;
        c.notify_ = callback;
        call.fn().deliver_notifications();
        return TRUE;
    }

    static VOID data_abort(PVOID context, BOOLEAN data_in)
    {
        Call call(context, "data_abort");
        if (!call)
            return;
        call.log(flag_args({data_in}));
        call.fn().abort(data_in ? call.fn().in_ : call.fn().out_);
    }

    static NTSTATUS get_functional_descriptor(PVOID context, ULONG subtype, PVOID buffer, PULONG length)
    {
        Call call(context, "get_functional_descriptor");
        if (auto status = call.refused(Op::get_functional_descriptor, flag_args({subtype})))
            return *status;
        if (!length || (!buffer && *length))
            return STATUS_INVALID_PARAMETER;
        const FunctionConfig& cfg = call.fn().config_;
        Bytes descriptor;
        if (auto raw = cfg.raw_functional_descriptors.find(uint8_t(subtype));
            subtype <= 0xFF && raw != cfg.raw_functional_descriptors.end())
            descriptor = raw->second;
        else if (subtype == CDC_FD_CALL_MANAGEMENT && cfg.call_management)
            descriptor = {CDC_CALL_MGMT_DESC_LENGTH, CDC_CS_INTERFACE, CDC_FD_CALL_MANAGEMENT, *cfg.call_management,
                          uint8_t(cfg.comm_interface + 1)};
        else if (subtype == CDC_FD_ABSTRACT_CONTROL_MANAGEMENT && cfg.acm)
            descriptor = {CDC_ACM_DESC_LENGTH, CDC_CS_INTERFACE, CDC_FD_ABSTRACT_CONTROL_MANAGEMENT, *cfg.acm};
        else
            return STATUS_NOT_FOUND;
        const ULONG n = std::min<ULONG>(*length, ULONG(descriptor.size()));
        std::copy_n(descriptor.begin(), n, static_cast<uint8_t*>(buffer));
        *length = n;
        return STATUS_SUCCESS;
    }

    static NTSTATUS get_max_packet_size(PVOID context, ULONG, ULONG, PULONG max_packet_size, ULONG)
    {
        Call call(context, "get_max_packet_size");
        if (auto status = call.refused(Op::get_max_packet_size))
            return *status;
        if (!max_packet_size)
            return STATUS_INVALID_PARAMETER;
        *max_packet_size = call.fn().max_packet_size();
        return STATUS_SUCCESS;
    }

    static NTSTATUS data_io_init(PVOID context, ULONG data_in, ULONG data_out)
    {
        Call call(context, "cdc_data_io_init");
        if (auto status = call.refused(Op::data_io_init, flag_args({data_in, data_out})))
            return *status;
        if (call.gone())
            return STATUS_NO_SUCH_DEVICE;
        call.child().data_in_open_ = data_in != 0;
        call.child().data_out_open_ = data_out != 0;
        return STATUS_SUCCESS;
    }

    static NTSTATUS data_io_uninit(PVOID context)
    {
        Call call(context, "cdc_data_io_uninit");
        if (auto status = call.refused(Op::data_io_uninit))
            return *status;
        call.fn().close_pipes(call.child());
        call.child().data_in_open_ = call.child().data_out_open_ = false;
        return STATUS_SUCCESS;
    }

    static VOID register_callbacks(PVOID context, ULONG hold, PDC_IO_START_CALLBACK start, PDC_IO_STOP_CALLBACK stop,
                                   PDC_IS_IN_USE_CALLBACK in_use, PDC_IO_SUSPEND_CALLBACK suspend,
                                   PDC_IO_RESUME_CALLBACK resume, PVOID callback_context)
    {
        Call call(context, "register_callbacks");
        if (!call)
            return;
        call.log(flag_args({hold}));
        DcChild& c = call.child();
        if (c.callbacks_)
            host::verifier_report("bus-callbacks-twice", "register_callbacks while callbacks are registered");
        c.callbacks_ = DcChild::Callbacks{hold, start, stop, in_use, suspend, resume, callback_context};
    }

    static VOID unregister_callbacks(PVOID context)
    {
        Call call(context, "unregister_callbacks");
        if (!call)
            return;
        call.log();
        call.child().callbacks_.reset();
    }

    static NTSTATUS get_idle_timeout(PVOID context, PULONG seconds)
    {
        Call call(context, "get_idle_timeout");
        if (auto status = call.refused(Op::get_idle_timeout))
            return *status;
        if (!seconds)
            return STATUS_INVALID_PARAMETER;
        *seconds = call.fn().config_.idle_timeout;
        return STATUS_SUCCESS;
    }

    static BOOLEAN is_ctrl_dev_enabled(PVOID context)
    {
        Call call(context, "is_ctrl_dev_enabled");
        if (!call)
            return FALSE;
        call.log();
        return call.fn().config_.serial_control_device;
    }

    static ULONG get_ui_number(PVOID context)
    {
        Call call(context, "get_ui_number");
        if (!call)
            return 0;
        call.log();
        const ULONG ui = call.fn().config_.ui_number;
        return call.child().kind_ == ChildKind::port ? ui : ui + 1;
    }

    static BOOLEAN is_suspended(PVOID context)
    {
        Call call(context, "is_suspended");
        if (!call)
            return FALSE;
        call.log("", false);
        return call.fn().suspended_;
    }

    static VOID device_wakeup(PVOID context, BOOLEAN flag)
    {
        host::verify_irql_at_most(PASSIVE_LEVEL, "device_wakeup");
        host::verify_no_spin_lock_held("device_wakeup");
        CdcFunction* fn = nullptr;
        {
            Call call(context, "device_wakeup");
            if (!call)
                return;
            call.log(flag_args({flag}));
            fn = &call.fn();
        }
        fn->wakeup();
    }

    static VOID last_handle_closed(PVOID context)
    {
        Call call(context, "last_handle_closed");
        if (call)
            call.log();
    }

    static NTSTATUS clear_data(PVOID context)
    {
        Call call(context, "dc_clear_data");
        if (auto status = call.refused(Op::clear_data))
            return *status;
        if (call.gone())
            return STATUS_NO_SUCH_DEVICE;
        call.fn().in_packets_.clear();   // the device drops what it has not sent yet
        call.fn().zlp_due_ = false;
        return STATUS_SUCCESS;
    }

    static VOID handles_open_at_d0_exit(PVOID context)
    {
        Call call(context, "handles_open_at_d0_exit");
        if (call)
            call.log();
    }

    static void fill(DC_ENUMERATOR_INTERFACE& r, DcChild* child)
    {
        std::memset(&r, 0, sizeof r);
        r.Size = sizeof r;
        r.Version = DC_ENUMERATOR_INTERFACE_VERSION;
        r.Context = child;
        r.InterfaceReference = reference;
        r.InterfaceDereference = dereference;
        r.control_request = control_request;
        r.generic_control = generic_control;
        r.dc_transport_enable = transport_enable;
        r.dc_transport_disable = transport_disable;
        r.data_in_post = data_post<true>;
        r.data_out_post = data_post<false>;
        r.cdc_set_notify_cb = set_notify_cb;
        r.data_abort = data_abort;
        r.get_functional_descriptor = get_functional_descriptor;
        r.get_max_packet_size = get_max_packet_size;
        r.cdc_data_io_init = data_io_init;
        r.cdc_data_io_uninit = data_io_uninit;
        r.register_callbacks = register_callbacks;
        r.unregister_callbacks = unregister_callbacks;
        r.get_idle_timeout = get_idle_timeout;
        r.is_ctrl_dev_enabled = is_ctrl_dev_enabled;
        r.get_ui_number = get_ui_number;
        r.is_suspended = is_suspended;
        r.device_wakeup = device_wakeup;
        r.last_handle_closed = last_handle_closed;
        r.dc_clear_data = clear_data;
        r.handles_open_at_d0_exit = handles_open_at_d0_exit;
    }
};

// IRP_MN_QUERY_INTERFACE: the record for the DC Enumerator GUID, version 1,
// into a buffer at least as large as the record; referenced for the caller.
NTSTATUS DcChild::query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE out,
                                  PVOID specific_data)
{
    if (!(type == GUID_DC_ENUMERATOR_INTERFACE))
        return STATUS_NOT_SUPPORTED;
    auto lk = fn_.lock();
    log_op("query_interface");
    if (auto f = fn_.faults_.take(Op::query_interface))
        return f->status;
    if (version != DC_ENUMERATOR_INTERFACE_VERSION)
        return STATUS_NOT_SUPPORTED;
    if (size < sizeof(DC_ENUMERATOR_INTERFACE) || !out)
        return STATUS_INVALID_PARAMETER;
    if (removed_ || !fn_.present_)
        return STATUS_NO_SUCH_DEVICE;
    specific_data_ = specific_data ? static_cast<const char*>(specific_data) : "";
    InterfaceThunks::fill(*reinterpret_cast<DC_ENUMERATOR_INTERFACE*>(out), this);
    ++handouts_;
    ++references_;
    return STATUS_SUCCESS;
}

}  // namespace bus
