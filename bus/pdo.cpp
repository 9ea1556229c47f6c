// A child's physical device object as the bus owns it: what the bus reports
// to the PnP manager and how the device object answers the requests that
// reach the bottom of the stack.
#include "bus/cdc_function.h"

#include "host/host.h"
#include "host/io/iomgr.h"
#include "host/rtl/registry.h"

namespace bus {

class DcChild::Pdo : public host::io::DeviceHandler {
public:
    explicit Pdo(DcChild& child) : child_(child) {}

    // Nothing but create, cleanup and close is served by the PDO itself.
    void dispatch(host::io::Irp* irp) override
    {
        const bool file_request =
            irp->major == IRP_MJ_CREATE || irp->major == IRP_MJ_CLEANUP || irp->major == IRP_MJ_CLOSE;
        host::io::complete_irp(irp, file_request ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, 0);
    }

    NTSTATUS pnp_start() override
    {
        set_removed(false);
        return STATUS_SUCCESS;
    }

    void pnp_surprise_remove() override { set_removed(true); }

    void pnp_remove() override
    {
        child_.verify_released();
        set_removed(true);
    }

    NTSTATUS query_interface(const GUID& type, USHORT size, USHORT version, PINTERFACE interface,
                             PVOID specific_data) override
    {
        return child_.query_interface(type, size, version, interface, specific_data);
    }

private:
    void set_removed(bool removed)
    {
        auto lk = host::sched_lock();
        child_.removed_ = removed;
    }

    DcChild& child_;
};

DcChild::DcChild(CdcFunction& function, ChildKind kind)
    : fn_(function), kind_(kind), pdo_(std::make_unique<Pdo>(*this))
{
}

DcChild::~DcChild() { magic_ = 0; }

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
