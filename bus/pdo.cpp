// A child's physical device object as the bus owns it: what the bus reports
// to the PnP manager and how the device object answers the requests that
// reach the bottom of the stack.
#include "bus/cdc_function.h"

#include "host/host.h"
#include "host/io/iomgr.h"
#include "host/rtl/registry.h"

#include <atomic>
#include <mutex>

namespace bus {

// The device object stays with the PnP manager until its removal; a function
// destroyed before that leaves its PDOs behind, answering as a device that is
// gone, so that a later removal finds them.
class DcChild::Pdo : public host::io::DeviceHandler {
public:
    explicit Pdo(DcChild& child) : child_(&child) {}

    void detach() { child_ = nullptr; }
    void reported() { reported_ = true; }
    bool with_pnp() const { return reported_ && !removed_; }

    // Nothing but create, cleanup and close is served by the PDO itself.
    void dispatch(host::io::Irp* irp) override
    {
        const bool file_request =
            irp->major == IRP_MJ_CREATE || irp->major == IRP_MJ_CLEANUP || irp->major == IRP_MJ_CLOSE;
        host::io::complete_irp(irp, file_request ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    NTSTATUS pnp_start() override
    {
        removed_ = false;
        if (child_)
            child_->set_removed(false);
        return child_ ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
    }

    // The device is gone: the function with it, without telling PnP again.
    void pnp_surprise_remove() override
    {
        if (child_)
            child_->set_removed(true, true);
    }

    void pnp_remove() override
    {
        removed_ = true;
        if (!child_)
            return;
        child_->verify_released();
        child_->set_removed(true);
    }

    NTSTATUS query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                             PVOID specific_data) override
    {
        if (!child_)
            return type == GUID_DC_ENUMERATOR_INTERFACE ? STATUS_NO_SUCH_DEVICE : STATUS_NOT_SUPPORTED;
        return child_->query_interface(type, size, version, interface, specific_data);
    }

private:
    DcChild* child_;
    std::atomic<bool> reported_ = false;
    std::atomic<bool> removed_ = false;
};

namespace {
std::mutex g_orphans_lock;
std::vector<std::shared_ptr<host::io::DeviceHandler>> g_orphans;
}  // namespace

DcChild::DcChild(CdcFunction& function, ChildKind kind)
    : fn_(function), kind_(kind), pdo_(std::make_shared<Pdo>(*this))
{
}

DcChild::~DcChild()
{
    magic_ = 0;
    pdo_->detach();
    if (pdo_->with_pnp()) {
        std::lock_guard guard(g_orphans_lock);
        g_orphans.push_back(pdo_);
    }
}

void DcChild::set_removed(bool removed, bool function_gone)
{
    auto lk = fn_.lock();
    removed_ = removed;
    if (function_gone) {
        fn_.remove_locked();
        fn_.removal_due_ = false;
    }
}

host::io::DeviceHandler* DcChild::pdo_handler() { return pdo_.get(); }

std::vector<host::ChildDevice> CdcFunction::children() const
{
    std::vector<host::ChildDevice> list{port_->description()};
    if (control_)
        list.push_back(control_->description());
    return list;
}

host::ChildDevice DcChild::description() const
{
    const FunctionConfig& cfg = fn_.config();
    const ChildNames& names = kind_ == ChildKind::port ? cfg.port : cfg.control;
    host::ChildDevice d;
    d.instance_path = names.instance_path;
    d.class_name = names.class_name;
    d.friendly_name = names.friendly_name;
    d.pdo_name = names.pdo_name;
    d.hardware_id = names.hardware_id;
    d.pdo_handler = pdo_.get();
    pdo_->reported();
    if (kind_ != ChildKind::port)
        return d;
    d.hardware_key.emplace_back(u"PortName", host::reg::string_value(cfg.port_name));
    for (const auto& [name, value] : cfg.hardware_key) {
        if (const ULONG* dword = std::get_if<ULONG>(&value))
            d.hardware_key.emplace_back(name, host::reg::dword_value(*dword));
        else
            d.hardware_key.emplace_back(name, host::reg::string_value(std::get<std::u16string>(value)));
    }
    return d;
}

}  // namespace bus
