// Events, waits and Sleep, in the host's time.
#include "process.h"

#include "host/kernel/sched.h"

#include <vector>

using namespace win32;

namespace {

host::Time deadline_after(DWORD milliseconds)
{
    return milliseconds == INFINITE ? host::kForever : host::now() + host::Time(milliseconds) * host::kMillisecond;
}

HANDLE create_event(BOOL manual_reset, BOOL initial_state)
{
    auto lock = host::sched_lock();
    return insert_handle(std::make_shared<Event>(Event{manual_reset != FALSE, initial_state != FALSE}));
}

BOOL set_signaled(HANDLE handle, bool signaled)
{
    auto lock = host::sched_lock();
    auto event = find<Event>(handle);
    if (!event)
        return fail_with_error(ERROR_INVALID_HANDLE);
    event->signaled = signaled;
    host::notify_all();
    return TRUE;
}

}  // namespace

EXTERN_C HANDLE CreateEventW(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                             LPCWSTR /*lpName*/)
{
    return create_event(bManualReset, bInitialState);
}

EXTERN_C HANDLE CreateEventA(LPSECURITY_ATTRIBUTES /*lpEventAttributes*/, BOOL bManualReset, BOOL bInitialState,
                             LPCSTR /*lpName*/)
{
    return create_event(bManualReset, bInitialState);
}

EXTERN_C BOOL SetEvent(HANDLE hEvent) { return set_signaled(hEvent, true); }
EXTERN_C BOOL ResetEvent(HANDLE hEvent) { return set_signaled(hEvent, false); }

EXTERN_C DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

// Satisfying a wait resets auto-reset events, as on Windows.
EXTERN_C DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS) {
        fail_with_error(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto lock = host::sched_lock();
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; i < nCount; ++i) {
        auto event = find<Event>(lpHandles[i]);
        if (!event) {
            fail_with_error(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events.push_back(event);
    }
    auto first_signaled = [&]() -> DWORD {
        for (DWORD i = 0; i < nCount; ++i)
            if (events[i]->signaled)
                return i;
        return nCount;
    };
    auto all_signaled = [&] {
        for (auto& e : events)
            if (!e->signaled)
                return false;
        return true;
    };
    auto satisfied = [&] { return bWaitAll ? all_signaled() : first_signaled() < nCount; };
    if (!host::wait_until(lock, satisfied, deadline_after(dwMilliseconds), "WaitForMultipleObjects"))
        return WAIT_TIMEOUT;
    DWORD index = bWaitAll ? 0 : first_signaled();
    for (DWORD i = 0; i < nCount; ++i)
        if ((bWaitAll || i == index) && !events[i]->manual_reset)
            events[i]->signaled = false;
    return WAIT_OBJECT_0 + index;
}

EXTERN_C void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        host::yield_point("Sleep(0)");
        return;
    }
    auto lock = host::sched_lock();
    host::wait_until(lock, [] { return false; }, deadline_after(dwMilliseconds), "Sleep");
}
