// Waits, events, mask changes and purges on real threads (free mode), so
// that ThreadSanitizer sees the event side, the wait DPC, the notification
// callback and the purge running at once.
#include "events_fixture.h"

#include <atomic>

namespace eventstest {
namespace {

class EventStressTest : public EventTest {};

TEST_F(EventStressTest, WaitsEndWhileEventsMaskChangesAndPurgesRunOnRealThreads)
{
    start(1, {}, host::Mode::free);
    open();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_DSR));
    std::atomic<bool> stop{ false };
    host::Thread* device = host::spawn("device", [&] {
        for (uint16_t i = 0; !stop; i++) {
            fn_->send("x");
            fn_->serial_state(i & 1 ? CDC_SERIAL_STATE_TX_CARRIER : 0);
        }
    });
    host::Thread* changer = host::spawn("changer", [&] {
        while (!stop) {
            SetCommMask(handle(), EV_RXCHAR | EV_DSR);
            PurgeComm(handle(), PURGE_RXCLEAR);
        }
    });

    constexpr int kWaits = 300;
    int with_events = 0;
    for (int i = 0; i < kWaits; i++) {
        auto w = wait_event();
        finish(*w);
        ASSERT_EQ(w->status(), STATUS_SUCCESS) << "wait " << i;
        EXPECT_EQ(w->events & ~DWORD(EV_RXCHAR | EV_DSR), 0u);
        with_events += w->events != 0;
    }
    stop = true;
    host::join(device);
    host::join(changer);
    EXPECT_GT(with_events, 0);
    close();
    expect_verifier_silent();
}

}  // namespace
}  // namespace eventstest
