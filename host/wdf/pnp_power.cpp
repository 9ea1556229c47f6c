// PnP and power for a framework function device that owns its power policy.
// The handler turns the PnP manager's events into the driver's callbacks in
// the order the framework documents ("PnP and Power Management Scenarios"):
//
//   start:         EvtDevicePrepareHardware (EvtDeviceReleaseHardware if it fails),
//                  EvtDeviceD0Entry(WdfPowerDeviceD3Final),
//                  EvtDeviceD0EntryPostInterruptsEnabled, queues started,
//                  EvtDeviceSelfManagedIoInit, device interfaces enabled
//   to Dx:         EvtDeviceSelfManagedIoSuspend, queues stopped (EvtIoStop with
//                  WdfRequestStopActionSuspend), EvtDeviceD0ExitPreInterruptsDisabled,
//                  EvtDeviceD0Exit(Dx)
//   back to D0:    EvtDeviceD0Entry(Dx), EvtDeviceD0EntryPostInterruptsEnabled,
//                  queues restarted (EvtIoResume), EvtDeviceSelfManagedIoRestart
//   removal:       [EvtDeviceSurpriseRemoval (first of all, "Surprise-Removal
//                  Sequence"),] EvtDeviceSelfManagedIoSuspend,
//                  queues purged (EvtIoStop with WdfRequestStopActionPurge),
//                  EvtDeviceD0ExitPreInterruptsDisabled, EvtDeviceD0Exit(WdfPowerDeviceD3Final),
//                  EvtDeviceReleaseHardware, then at IRP_MN_REMOVE_DEVICE
//                  EvtDeviceSelfManagedIoFlush, EvtDeviceSelfManagedIoCleanup and
//                  the deletion of the device with its children (cleanup callbacks).
//                  A device already in Dx skips the steps it took when it left D0.
//
// Everything here runs on the PnP thread at PASSIVE_LEVEL, so the driver's
// PnP and power callbacks are serialised. Framework-initiated transitions
// (idle time-out, a power reference taken in idle Dx: WdfDeviceStopIdle or a
// request entering a power-managed queue) are posted to that thread too.
// Power-policy state read by other threads (power state, references, the
// idle timer) is guarded by the scheduler lock.
#include "host/wdf/internal.h"
#include "host/wdf/queue_hooks.h"

#include "host/io/iomgr.h"
#include "host/io/pnp.h"
#include "host/kernel/verifier.h"

namespace host::wdf {

namespace {

constexpr ULONG kDefaultIdleTimeoutMs = 5000;

// The clock fires timers with the scheduler lock held; the scheduler's
// queueing calls take a lock only as proof of that.
std::unique_lock<std::mutex>& held_by_clock()
{
    static std::unique_lock<std::mutex> proof;
    return proof;
}

WDF_POWER_DEVICE_STATE to_wdf(io::DevicePower state)
{
    switch (state) {
    case io::DevicePower::D0: return WdfPowerDeviceD0;
    case io::DevicePower::D1: return WdfPowerDeviceD1;
    case io::DevicePower::D2: return WdfPowerDeviceD2;
    case io::DevicePower::D3: return WdfPowerDeviceD3;
    }
    return WdfPowerDeviceInvalid;
}

io::DevicePower to_io(WDF_POWER_DEVICE_STATE state)
{
    switch (state) {
    case WdfPowerDeviceD0: return io::DevicePower::D0;
    case WdfPowerDeviceD1: return io::DevicePower::D1;
    case WdfPowerDeviceD2: return io::DevicePower::D2;
    default: return io::DevicePower::D3;
    }
}

// The low-power state a policy setting asks for. PowerDeviceMaximum leaves
// the choice to the framework, which takes the deepest state from which the
// device can still wake the system or itself: for a USB function (DeviceWake
// D2) that is D2 when waking matters and D3 otherwise.
WDF_POWER_DEVICE_STATE policy_dx(DEVICE_POWER_STATE state, bool arm_for_wake)
{
    switch (state) {
    case PowerDeviceD1: return WdfPowerDeviceD1;
    case PowerDeviceD2: return WdfPowerDeviceD2;
    case PowerDeviceMaximum: return arm_for_wake ? WdfPowerDeviceD2 : WdfPowerDeviceD3;
    default: return WdfPowerDeviceD3;
    }
}

class FdoHandler final : public io::DeviceHandler {
public:
    explicit FdoHandler(FxDevice* device) : device_(device)
    {
        idle_work_.name = "wdf-idle";
        _DEVICE_OBJECT* fdo = device->wdm;
        idle_work_.routine = [fdo] { post(fdo, "idle power-down", &FdoHandler::idle_power_down); };
    }

    // --- I/O -------------------------------------------------------------
    void dispatch(io::Irp* irp) override
    {
        switch (irp->major) {
        case IRP_MJ_CREATE: file_create(device_, irp); break;
        case IRP_MJ_CLEANUP: file_cleanup(device_, irp); break;
        case IRP_MJ_CLOSE: file_close(device_, irp); break;
        default: queues_dispatch(device_, irp); break;
        }
    }

    // --- PnP -------------------------------------------------------------
    NTSTATUS pnp_start() override
    {
        NTSTATUS status = lower() != nullptr ? lower()->pnp_start() : STATUS_SUCCESS;
        if (!NT_SUCCESS(status)) return status;
        // Once prepare hardware was called, release hardware follows even
        // when the preparation failed.
        hardware_prepared_ = true;
        status = invoke("EvtDevicePrepareHardware", pnp().EvtDevicePrepareHardware, resources(), resources());
        if (!NT_SUCCESS(status)) {
            release_hardware();
            return status;
        }
        status = enter_d0(WdfPowerDeviceD3Final);
        if (!NT_SUCCESS(status)) {
            release_hardware();
            return status;
        }
        status = invoke("EvtDeviceSelfManagedIoInit", pnp().EvtDeviceSelfManagedIoInit);
        self_managed_io_ = true;
        if (!NT_SUCCESS(status)) return status;
        set_interfaces(true);
        set_pnp_state(PnpState::started);
        rearm_idle();
        return STATUS_SUCCESS;
    }

    NTSTATUS pnp_query_remove() override
    {
        NTSTATUS status = invoke("EvtDeviceQueryRemove", pnp().EvtDeviceQueryRemove);
        if (NT_SUCCESS(status) && lower() != nullptr) status = lower()->pnp_query_remove();
        return status;
    }

    void pnp_surprise_remove() override
    {
        set_pnp_state(PnpState::surprise_removed);
        notify("EvtDeviceSurpriseRemoval", pnp().EvtDeviceSurpriseRemoval);
        tear_down();
        if (lower() != nullptr) lower()->pnp_surprise_remove();
    }

    void pnp_remove() override
    {
        if (device_->pnp_state != PnpState::surprise_removed) {
            set_pnp_state(PnpState::removed);   // no power references from here on
            tear_down();
        }
        if (self_managed_io_) {
            notify("EvtDeviceSelfManagedIoFlush", pnp().EvtDeviceSelfManagedIoFlush);
            notify("EvtDeviceSelfManagedIoCleanup", pnp().EvtDeviceSelfManagedIoCleanup);
            self_managed_io_ = false;
        }
        io::DeviceHandler* below = lower();
        FxDevice* device = device_;   // `this` goes with the device
        delete_object(device);
        if (below != nullptr) below->pnp_remove();
    }

    // --- power -----------------------------------------------------------
    NTSTATUS power_device(io::DevicePower state) override
    {
        impose_dx(state != io::DevicePower::D0);
        if (state == io::DevicePower::D0) return power_up();
        return power_down(to_wdf(state));
    }

    NTSTATUS power_system(io::SystemPower state) override
    {
        if (state == io::SystemPower::S0) {
            NTSTATUS status = lower() != nullptr ? lower()->power_system(state) : STATUS_SUCCESS;
            impose_dx(false);
            if (NT_SUCCESS(status) && resume_on_wake_) status = power_up();
            resume_on_wake_ = false;
            return status;
        }
        impose_dx(true);
        resume_on_wake_ = device_->in_d0();
        WDF_POWER_DEVICE_STATE target = WdfPowerDeviceD3;
        if (wake_.Size != 0 && wake_.Enabled != WdfFalse) target = policy_dx(wake_.DxState, true);
        NTSTATUS status = power_down(target);
        if (NT_SUCCESS(status) && lower() != nullptr) status = lower()->power_system(state);
        return status;
    }

    // --- power policy (framework API) -------------------------------------
    NTSTATUS assign_idle(const WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS& settings)
    {
        if (!device_->power_policy_owner) return STATUS_INVALID_DEVICE_REQUEST;
        if (settings.Size != sizeof settings || settings.IdleCaps == IdleCapsInvalid) return STATUS_INVALID_PARAMETER;
        idle_ = settings;
        rearm_idle();
        return STATUS_SUCCESS;
    }

    NTSTATUS assign_wake(const WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS& settings)
    {
        if (!device_->power_policy_owner) return STATUS_INVALID_DEVICE_REQUEST;
        if (settings.Size != sizeof settings) return STATUS_INVALID_PARAMETER;
        wake_ = settings;
        return STATUS_SUCCESS;
    }

    // A power reference keeps the device in D0 (WdfDeviceStopIdle, requests
    // on power-managed queues). Taken while the device idles in Dx it brings
    // the device back; a Dx imposed from outside (a device power request,
    // system sleep) lasts until it is lifted.
    NTSTATUS reference(bool wait_for_d0, const char* api)
    {
        bool post_power_up = false;
        {
            auto lock = host::sched_lock();
            if (device_->pnp_state != PnpState::started) return STATUS_INVALID_DEVICE_STATE;
            ++references_;
            disarm_idle(lock);
            if (!working() && !imposed_dx_ && !power_up_posted_) post_power_up = power_up_posted_ = true;
        }
        if (post_power_up) post(device_->wdm, "power up for a power reference", &FdoHandler::referenced_power_up);
        if (!wait_for_d0) {
            auto lock = host::sched_lock();   // the PnP thread changes the power state meanwhile
            return working() ? STATUS_SUCCESS : STATUS_PENDING;
        }
        if (io::on_pnp_thread()) {
            // A callback of this device cannot wait for the thread it runs on.
            if (!working()) referenced_power_up();
        } else {
            host::verify_irql_at_most(PASSIVE_LEVEL, api);
            auto lock = host::sched_lock();
            host::wait_until(lock, [this] { return working() || device_->pnp_state != PnpState::started; },
                             host::kForever, api);
        }
        return working() ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
    }

    void dereference(std::unique_lock<std::mutex>& lock, const char* api)
    {
        if (references_ == 0) {
            lock.unlock();
            host::verifier_report("power-reference-underflow",
                                  std::string(api) + ": no power reference is held on the device");
            lock.lock();
            return;
        }
        if (--references_ == 0) arm_idle(lock);
    }

private:
    // Runs `step` on the PnP thread later, if the device still exists then.
    static void post(_DEVICE_OBJECT* fdo, const char* what, void (FdoHandler::*step)())
    {
        io::pnp_post(what, [fdo, step] {
            if (FxDevice* device = device_of(fdo)) (static_cast<FdoHandler*>(device->handler)->*step)();
        });
    }

    const WDF_PNPPOWER_EVENT_CALLBACKS& pnp() const { return device_->pnp; }
    WDFDEVICE handle() const { return device_->handle_as<WDFDEVICE>(); }
    io::DeviceHandler* lower() const
    {
        return device_->attached != nullptr ? device_->attached->handler : nullptr;
    }
    // A function device of a USB function has no hardware resources: the
    // lists handed to prepare/release hardware are empty.
    WDFCMRESLIST resources() const { return nullptr; }

    // Calls a callback that returns NTSTATUS (STATUS_SUCCESS when absent).
    template <class Fn, class... Args>
    NTSTATUS invoke(const char* name, Fn* callback, Args... args)
    {
        if (callback == nullptr) return STATUS_SUCCESS;
        host::verify_irql_at_most(PASSIVE_LEVEL, name);
        WDFDEVICE device = handle();
        return call_driver(name, [&] { return callback(device, args...); });
    }

    template <class Fn>
    void notify(const char* name, Fn* callback)
    {
        if (callback == nullptr) return;
        WDFDEVICE device = handle();
        call_driver(name, [&] { callback(device); });
    }

    void set_pnp_state(PnpState state)
    {
        auto lock = host::sched_lock();
        device_->pnp_state = state;
        host::notify_all();
    }

    void set_power_state(WDF_POWER_DEVICE_STATE state)
    {
        auto lock = host::sched_lock();
        device_->power_state = state;
        if (device_->pdo != nullptr && device_->pdo->node != nullptr) device_->pdo->node->power = to_io(state);
        host::notify_all();
    }

    NTSTATUS enter_d0(WDF_POWER_DEVICE_STATE previous)
    {
        NTSTATUS status = invoke("EvtDeviceD0Entry", pnp().EvtDeviceD0Entry, previous);
        if (NT_SUCCESS(status))
            status = invoke("EvtDeviceD0EntryPostInterruptsEnabled", pnp().EvtDeviceD0EntryPostInterruptsEnabled,
                            previous);
        if (!NT_SUCCESS(status)) return status;
        set_power_state(WdfPowerDeviceD0);
        queues_power_up(device_);
        return STATUS_SUCCESS;
    }

    // How the queues stop when the device leaves D0.
    enum class QueueStop { suspend, remove };

    void stop_queues(QueueStop how)
    {
        if (how == QueueStop::suspend)
            queues_power_down(device_);
        else
            queues_remove(device_);
    }

    void leave_d0(WDF_POWER_DEVICE_STATE target, QueueStop how)
    {
        if (self_managed_io_) invoke("EvtDeviceSelfManagedIoSuspend", pnp().EvtDeviceSelfManagedIoSuspend);
        stop_queues(how);
        invoke("EvtDeviceD0ExitPreInterruptsDisabled", pnp().EvtDeviceD0ExitPreInterruptsDisabled, target);
        invoke("EvtDeviceD0Exit", pnp().EvtDeviceD0Exit, target);
        set_power_state(target);
    }

    NTSTATUS power_down(WDF_POWER_DEVICE_STATE target)
    {
        if (!device_->in_d0() || device_->pnp_state != PnpState::started) return STATUS_SUCCESS;
        {
            auto lock = host::sched_lock();
            disarm_idle(lock);
            leaving_d0_ = true;   // a reference taken from here on brings the device back
        }
        leave_d0(target, QueueStop::suspend);
        {
            auto lock = host::sched_lock();
            leaving_d0_ = false;
        }
        return lower() != nullptr ? lower()->power_device(to_io(target)) : STATUS_SUCCESS;
    }

    NTSTATUS power_up()
    {
        if (device_->in_d0() || device_->pnp_state != PnpState::started) return STATUS_SUCCESS;
        NTSTATUS status = lower() != nullptr ? lower()->power_device(io::DevicePower::D0) : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) status = enter_d0(device_->power_state);
        if (!NT_SUCCESS(status)) return status;
        if (self_managed_io_) invoke("EvtDeviceSelfManagedIoRestart", pnp().EvtDeviceSelfManagedIoRestart);
        rearm_idle();
        return STATUS_SUCCESS;
    }

    void referenced_power_up()
    {
        {
            auto lock = host::sched_lock();
            power_up_posted_ = false;
            if (references_ == 0 || imposed_dx_) return;
        }
        power_up();
    }

    void impose_dx(bool imposed)
    {
        auto lock = host::sched_lock();
        imposed_dx_ = imposed;
    }

    // Orderly or surprise removal, up to and including release of hardware.
    void tear_down()
    {
        {
            auto lock = host::sched_lock();
            disarm_idle(lock);
            host::work_flush(lock, &idle_work_);
        }
        if (device_->in_d0())
            leave_d0(WdfPowerDeviceD3Final, QueueStop::remove);
        else
            stop_queues(QueueStop::remove);
        set_power_state(WdfPowerDeviceD3Final);
        release_hardware();
        set_interfaces(false);
        remove_symbolic_links(device_);
    }

    void release_hardware()
    {
        if (!hardware_prepared_) return;
        hardware_prepared_ = false;
        invoke("EvtDeviceReleaseHardware", pnp().EvtDeviceReleaseHardware, resources());
    }

    void set_interfaces(bool enable) { set_device_interfaces(device_, enable); }

    // In D0 and staying there (under the scheduler lock, or racy by design).
    bool working() const { return device_->in_d0() && !leaving_d0_; }

    // --- idle ------------------------------------------------------------
    bool idle_enabled() const
    {
        return idle_.Size != 0 && idle_.Enabled != WdfFalse && device_->power_policy_owner;
    }

    void rearm_idle()
    {
        auto lock = host::sched_lock();
        if (references_ == 0) arm_idle(lock);
    }

    void arm_idle(std::unique_lock<std::mutex>& lock)
    {
        disarm_idle(lock);
        if (!idle_enabled() || !device_->in_d0() || device_->pnp_state != PnpState::started) return;
        ULONG ms = idle_.IdleTimeout != 0 ? idle_.IdleTimeout : kDefaultIdleTimeoutMs;
        idle_timer_ = host::timer_arm(lock, host::now() + ms * host::kMillisecond,
                                      [this] { host::work_queue(held_by_clock(), &idle_work_); });
        idle_armed_ = true;
    }

    void disarm_idle(std::unique_lock<std::mutex>& lock)
    {
        if (idle_armed_) host::timer_disarm(lock, idle_timer_);
        idle_armed_ = false;
    }

    void idle_power_down()
    {
        {
            auto lock = host::sched_lock();
            idle_armed_ = false;
            if (references_ != 0 || !idle_enabled()) return;
        }
        power_down(policy_dx(idle_.DxState, idle_.IdleCaps != IdleCannotWakeFromS0));
    }

    FxDevice* device_;
    bool hardware_prepared_ = false;
    bool self_managed_io_ = false;
    bool resume_on_wake_ = false;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idle_{};
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wake_{};
    long references_ = 0;
    bool power_up_posted_ = false;
    bool imposed_dx_ = false;   // Dx by a device power request or system sleep
    bool leaving_d0_ = false;
    host::TimerHandle idle_timer_ = 0;
    bool idle_armed_ = false;
    host::WorkItem idle_work_;
};

FdoHandler* handler_of(FxDevice* device) { return static_cast<FdoHandler*>(device->handler); }

}  // namespace

io::DeviceHandler* make_device_handler(FxDevice* device) { return new FdoHandler(device); }

NTSTATUS power_reference(FxDevice* device, bool wait_for_d0, const char* api)
{
    return handler_of(device)->reference(wait_for_d0, api);
}

void power_dereference(FxDevice* device, const char* api)
{
    auto lock = host::sched_lock();
    handler_of(device)->dereference(lock, api);
}

void power_dereference_locked(FxDevice* device, std::unique_lock<std::mutex>& lock, const char* api)
{
    handler_of(device)->dereference(lock, api);
}

}  // namespace host::wdf

using namespace host::wdf;

namespace {

// A power policy record handed to the device's handler, at PASSIVE_LEVEL.
template <typename Settings, typename Assign>
NTSTATUS assign_settings(WDFDEVICE handle, Settings* settings, const char* api, Assign assign)
{
    host::verify_irql_at_most(PASSIVE_LEVEL, api);
    FxDevice* device = resolve<FxDevice>(handle, api);
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    if (settings == nullptr) return STATUS_INVALID_PARAMETER;
    return assign(handler_of(device), *settings);
}

}  // namespace

WDFAPI NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings)
{
    return assign_settings(Device, Settings, "WdfDeviceAssignS0IdleSettings",
                           [](auto* handler, const auto& s) { return handler->assign_idle(s); });
}

WDFAPI NTSTATUS WdfDeviceAssignSxWakeSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
{
    return assign_settings(Device, Settings, "WdfDeviceAssignSxWakeSettings",
                           [](auto* handler, const auto& s) { return handler->assign_wake(s); });
}

// WaitForD0 FALSE: STATUS_PENDING while the device is still on its way to D0.
WDFAPI NTSTATUS WdfDeviceStopIdle(WDFDEVICE Device, BOOLEAN WaitForD0)
{
    host::verify_irql_at_most(WaitForD0 ? PASSIVE_LEVEL : DISPATCH_LEVEL, "WdfDeviceStopIdle");
    FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceStopIdle");
    if (device == nullptr) return STATUS_INVALID_HANDLE;
    return power_reference(device, WaitForD0, "WdfDeviceStopIdle");
}

WDFAPI VOID WdfDeviceResumeIdle(WDFDEVICE Device)
{
    host::verify_irql_at_most(DISPATCH_LEVEL, "WdfDeviceResumeIdle");
    if (FxDevice* device = resolve<FxDevice>(Device, "WdfDeviceResumeIdle"))
        power_dereference(device, "WdfDeviceResumeIdle");
}
