// Framework work items on the host's system worker threads.
#include "host/wdf/dpc.h"

#include "host/kernel/verifier.h"

namespace host::wdf {

namespace {

struct WorkRecord : Retirable {
    host::WorkItem item;
    Thread* callback_thread = nullptr;
    bool deleted = false;
    bool busy() const override { return item.queued || item.running > 0; }
};

struct FxWorkItem : FxObject {
    static constexpr ObjectKind kKind = ObjectKind::workitem;
    FxWorkItem() : FxObject(kKind) {}

    std::unique_ptr<WorkRecord> record = std::make_unique<WorkRecord>();

    void bind(PFN_WDF_WORKITEM callback)
    {
        WorkRecord* r = record.get();
        WDFWORKITEM handle = handle_as<WDFWORKITEM>();
        r->item.name = "EvtWorkItemFunc";
        r->item.routine = [r, handle, callback] {
            {
                auto lk = sched_lock();
                if (r->deleted)
                    return;
                r->callback_thread = current_thread();
            }
            call_driver("EvtWorkItemFunc", [&] { callback(handle); });
            auto lk = sched_lock();
            r->callback_thread = nullptr;
        };
    }

    void dispose() override
    {
        auto lk = sched_lock();
        record->deleted = true;
        if (current_irql() == PASSIVE_LEVEL && record->callback_thread != current_thread())
            work_flush(lk, &record->item);
        retire_locked(std::move(record));
    }
};

}  // namespace

}  // namespace host::wdf

using namespace host;
using namespace host::wdf;

WDFAPI NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  WDFWORKITEM* WorkItem)
{
    *WorkItem = nullptr;
    FxWorkItem* work = nullptr;
    NTSTATUS status = create_callback_object(Config, &WDF_WORKITEM_CONFIG::EvtWorkItemFunc, Attributes, "WdfWorkItemCreate", &work);
    if (!NT_SUCCESS(status))
        return status;
    work->bind(Config->EvtWorkItemFunc);
    *WorkItem = work->handle_as<WDFWORKITEM>();
    return STATUS_SUCCESS;
}

WDFAPI VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    verify_irql_at_most(DISPATCH_LEVEL, "WdfWorkItemEnqueue");
    FxWorkItem* work = resolve<FxWorkItem>(WorkItem, "WdfWorkItemEnqueue");
    if (work == nullptr)
        return;
    auto lk = sched_lock();
    work_queue(lk, &work->record->item);
    lk.unlock();
    yield_point("WdfWorkItemEnqueue");
}

WDFAPI VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    bool wait = may_wait("WdfWorkItemFlush");
    FxWorkItem* work = resolve<FxWorkItem>(WorkItem, "WdfWorkItemFlush");
    if (work == nullptr || !wait)
        return;
    auto lk = sched_lock();
    if (work->record->callback_thread == current_thread()) {
        lk.unlock();
        verifier_report("deadlock", "WdfWorkItemFlush from the work item's own callback waits for itself");
        return;
    }
    work_flush(lk, &work->record->item);
}

WDFAPI WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    FxWorkItem* work = resolve<FxWorkItem>(WorkItem, "WdfWorkItemGetParentObject");
    return work && work->parent ? work->parent->handle() : nullptr;
}
