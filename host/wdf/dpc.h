// Host-side records of the framework's DPC, timer and work item objects,
// and the rule for the framework's calls that wait.
//
// The scheduler's processor and worker threads refer to a record while they
// run its routine, and a driver may delete the object from its own callback;
// so a deleted object's record is retired, not freed, until the scheduler
// is done with it.
#pragma once

#include "host/kernel/verifier.h"
#include "host/wdf/fx.h"

#include <memory>

namespace host::wdf {

struct Retirable {
    virtual ~Retirable() = default;
    virtual bool busy() const = 0;   // scheduler lock held
};

// Keeps `record` until it is no longer busy; scheduler lock held.
void retire_locked(std::unique_ptr<Retirable> record);

// The DPC behind a WDFDPC or a WDFTIMER: runs the driver's callback with the
// object's handle at DISPATCH_LEVEL.
struct DpcRecord : Retirable {
    host::Dpc dpc;
    Thread* callback_thread = nullptr;   // the thread in the callback, if any
    bool deleted = false;
    bool busy() const override { return dpc.queued || dpc.running > 0; }

    // Sets dpc.routine to call `callback(handle)` while the object lives.
    template <class Handle>
    void bind(const char* name, Handle handle, void (*callback)(Handle));
};

template <class Handle>
void DpcRecord::bind(const char* name, Handle handle, void (*callback)(Handle))
{
    dpc.name = name;
    dpc.routine = [this, name, handle, callback] {
        {
            auto lk = sched_lock();
            if (deleted)
                return;
            callback_thread = current_thread();
        }
        call_driver(name, [&] { callback(handle); });
        auto lk = sched_lock();
        callback_thread = nullptr;
    };
}

// A call that waits, so it must run at PASSIVE_LEVEL without a spin lock:
// reports "irql" and "spinlock-held"; true if waiting is allowed.
bool may_wait(const char* api);

// The parent a DPC, timer or work item must name in its attributes.
FxObject* required_parent(PWDF_OBJECT_ATTRIBUTES attributes, const char* api);

// Creates a DPC, timer or work item: the config must have its size and name
// its callback, and the attributes a parent.
template <typename Fx, typename Config, typename Callback>
NTSTATUS create_callback_object(const Config* config, Callback Config::*callback,
                                PWDF_OBJECT_ATTRIBUTES attributes, const char* api, Fx** object)
{
    host::verify_irql_at_most(DISPATCH_LEVEL, api);
    if (config == nullptr || config->Size != sizeof(Config) || config->*callback == nullptr)
        return STATUS_INVALID_PARAMETER;
    FxObject* parent = required_parent(attributes, api);
    if (parent == nullptr)
        return STATUS_INVALID_PARAMETER;
    return create_object(attributes, parent, api, object);
}

}  // namespace host::wdf
