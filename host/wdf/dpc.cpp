// Framework DPC objects on the host's processor threads.
#include "host/wdf/dpc.h"

#include "host/kernel/verifier.h"

#include <algorithm>
#include <vector>

namespace host::wdf {

namespace {

// Retired records; guarded by the scheduler lock.
std::vector<std::unique_ptr<Retirable>> g_retired;

struct FxDpc : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::dpc;
    FxDpc() : FxObject(kKind) {}

    std::unique_ptr<DpcRecord> record = std::make_unique<DpcRecord>();

    void dispose() override
    {
        auto lk = sched_lock();
        record->deleted = true;
        dpc_dequeue(lk, &record->dpc);
        if (current_irql() == PASSIVE_LEVEL && record->callback_thread != current_thread())
            dpc_flush(lk, &record->dpc);
        retire_locked(std::move(record));
    }
};

}  // namespace

void retire_locked(std::unique_ptr<Retirable> record)
{
    std::erase_if(g_retired, [](const auto& r) { return !r->busy(); });
    if (record && record->busy())
        g_retired.push_back(std::move(record));
}

bool may_wait(const char* api)
{
    verify_irql_at_most(PASSIVE_LEVEL, api);
    verify_no_spin_lock_held(api);
    return current_irql() == PASSIVE_LEVEL;
}

FxObject* required_parent(PWDF_OBJECT_ATTRIBUTES attributes, const char* api)
{
    if (attributes == nullptr || attributes->ParentObject == nullptr)
        return nullptr;
    return resolve(attributes->ParentObject, ObjectKind::any, api);
}

}  // namespace host::wdf

using namespace host;
using namespace host::wdf;

WDFAPI NTSTATUS WdfDpcCreate(PWDF_DPC_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFDPC* Dpc)
{
    *Dpc = nullptr;
    FxDpc* dpc = nullptr;
    NTSTATUS status = create_callback_object(Config, &WDF_DPC_CONFIG::EvtDpcFunc, Attributes, "WdfDpcCreate", &dpc);
    if (!NT_SUCCESS(status))
        return status;
    dpc->record->bind("EvtDpcFunc", dpc->handle_as<WDFDPC>(), Config->EvtDpcFunc);
    *Dpc = dpc->handle_as<WDFDPC>();
    return STATUS_SUCCESS;
}

WDFAPI BOOLEAN WdfDpcEnqueue(WDFDPC Dpc)
{
    FxDpc* dpc = resolve<FxDpc>(Dpc, "WdfDpcEnqueue");
    if (dpc == nullptr)
        return FALSE;
    auto lk = sched_lock();
    bool queued = dpc_queue(lk, &dpc->record->dpc);
    lk.unlock();
    yield_point("WdfDpcEnqueue");
    return queued ? TRUE : FALSE;
}

WDFAPI BOOLEAN WdfDpcCancel(WDFDPC Dpc, BOOLEAN Wait)
{
    bool wait = Wait && may_wait("WdfDpcCancel(Wait TRUE)");
    FxDpc* dpc = resolve<FxDpc>(Dpc, "WdfDpcCancel");
    if (dpc == nullptr)
        return FALSE;
    auto lk = sched_lock();
    bool removed = dpc_dequeue(lk, &dpc->record->dpc);
    if (wait)
        dpc_flush(lk, &dpc->record->dpc);
    return removed ? TRUE : FALSE;
}

WDFAPI WDFOBJECT WdfDpcGetParentObject(WDFDPC Dpc)
{
    FxDpc* dpc = resolve<FxDpc>(Dpc, "WdfDpcGetParentObject");
    return dpc && dpc->parent ? dpc->parent->handle() : nullptr;
}
