// Races over many schedules (RACE_SEEDS): a pending wait against data, a
// notification, a mask change, a cancel and a close; a purge against a read
// completing with data, a write's transfer ending and a bus suspend. Every
// request completes exactly once (the verifier reports a second completion)
// with one of its allowed outcomes, and no byte that was not purged is lost
// or duplicated.
#include "events_fixture.h"
#include "seeds.h"

#include "host/rtl/trace.h"

#include <algorithm>
#include <map>
#include <set>

#ifndef RACE_SEEDS
#define RACE_SEEDS 200
#endif

namespace eventstest {
namespace {

// A delay of 0 to `max_us` microseconds that the seed picks.
host::Time jitter(uint64_t seed, uint64_t salt, uint64_t max_us)
{
    return host::Time((seed * 2654435761u + salt * 40503u) % (max_us + 1)) * (host::kMillisecond / 1000);
}

class EventRaceTest : public EventTest {
protected:
    template <typename Scenario>
    void over_seeds(Scenario scenario, const std::set<std::string>& allowed, const std::set<std::string>& must_see)
    {
        std::map<std::string, int> seen;
        const seeds::Range range = seeds::run(RACE_SEEDS, [&](uint64_t seed) {
            const std::string result = (this->*scenario)(seed);
            EXPECT_TRUE(allowed.count(result)) << "seed " << seed << " gave " << result;
            if (getenv("RACE_HISTOGRAM"))
                std::printf("seed %lu: %s\n", (unsigned long)seed, result.c_str());
            seen[result]++;
            expect_verifier_silent(seed);
        });
        if (HasFailure() || !seeds::covers_default(range, RACE_SEEDS))
            return;
        for (const auto& o : must_see)
            EXPECT_GT(seen[o], 0) << o << " never happened in " << range.count() << " seeds";
    }

    // Runs `body` on a thread of its own after the seed's jitter.
    host::Thread* actor(const char* name, host::Time delay, std::function<void()> body)
    {
        return host::spawn(name, [delay, body = std::move(body)] {
            sleep_for(delay);
            body();
        });
    }

    // The application closes the port while `actor` runs; the wait ends
    // by the close at the latest. Gives its outcome and events.
    std::string close_against(host::Thread* actor, Wait& w, uint64_t seed)
    {
        sleep_ms(1);
        close();
        host::join(actor);
        EXPECT_TRUE(w.done()) << "seed " << seed;
        return w.result_with_events();
    }

    // The port serves waits after the race as before.
    void expect_waits_again(uint64_t seed)
    {
        ASSERT_TRUE(SetCommMask(handle(), EV_RING));
        auto w = wait_event();
        fn_->line_event(CDC_SERIAL_STATE_RING_SIGNAL);
        EXPECT_EQ(finish(*w).result(), kWaitDone) << "seed " << seed;
        EXPECT_EQ(w->events, DWORD(EV_RING)) << "seed " << seed;
    }

public:
    // A pending wait for received bytes and DSR, ended by whichever of data,
    // a SERIAL_STATE, a mask change and a cancel the schedule lets in first.
    std::string wait_ends(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_DSR));
        auto w = wait_event();
        std::vector<host::Thread*> actors{
            actor("data", jitter(seed, 1, 200), [this] { fn_->send("d"); }),
            actor("line", jitter(seed, 2, 200), [this] { fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER); }),
            actor("mask", jitter(seed, 3, 200), [this] { SetCommMask(handle(), EV_RXCHAR | EV_DSR); }),
            actor("cancel", jitter(seed, 4, 200), [&] { CancelIoEx(handle(), &w->overlapped); }),
        };
        for (host::Thread* t : actors)
            host::join(t);
        finish(*w);
        settle();
        std::string result = w->result_with_events();
        EXPECT_EQ(fdx_->current_wait_request, nullptr) << "seed " << seed;
        expect_waits_again(seed);
        return result;
    }

    // A wait ended by data and a mask change together, and the next wait
    // issued the moment it ends: the second delivery may queue the wait DPC
    // again while it runs, and that run must leave the next wait pending
    // rather than complete it with a buffer no event was written into.
    std::string back_to_back_waits(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_DSR));
        auto first = wait_event();
        auto stall = [](uint64_t n) {
            for (uint64_t i = 0; i < n; i++)
                KeStallExecutionProcessor(1);
        };
        std::vector<host::Thread*> actors{
            actor("data", host::kMillisecond, [this, seed, stall] { stall(seed % 16); fn_->send("d"); }),
            actor("mask", host::kMillisecond, [this, seed, stall] {
                stall(seed / 16 % 16);
                SetCommMask(handle(), EV_RXCHAR | EV_DSR);
            }),
        };
        finish(*first);
        auto next = wait_event();
        for (host::Thread* t : actors)
            host::join(t);
        settle();
        if (!next->done())
            CancelIoEx(handle(), &next->overlapped);
        finish(*next);
        return first->result_with_events() + " then " + next->result_with_events();
    }

    // A pending wait and an arriving event while the application closes the
    // port; both start at the same instant and the schedule interleaves them.
    std::string wait_closed(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(SetCommMask(handle(), EV_RXCHAR));
        auto w = wait_event();
        host::Thread* data = actor("data", host::kMillisecond, [this, seed] {
            for (int i = 0; i < int(seed % 40); i++)
                KeStallExecutionProcessor(1);
            fn_->send("d");
        });
        return close_against(data, *w, seed);
    }

    // The application cancels a wait again and again while the device's
    // byte ends it: a cancel that comes after the event was delivered leaves
    // the wait to its DPC, which completes it with the event.
    std::string wait_cancelled_while_delivered(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(SetCommMask(handle(), EV_RXCHAR));
        auto w = wait_event();
        // Both start at the same instant; the schedule interleaves them.
        host::Thread* canceller = actor("canceller", host::kMillisecond, [&] {
            for (int i = 0; i < int(seed % 40); i++)
                KeStallExecutionProcessor(1);
            CancelIoEx(handle(), &w->overlapped);
        });
        sleep_ms(1);
        fn_->send("d");
        host::join(canceller);
        finish(*w);
        std::string result = w->result_with_events();
        if (host::trace_count("acm_request_wait_grab_from_isr: error in mask"))
            result += " after delivery";
        // The byte's event went to the wait or waits in the history.
        auto next = wait_event();
        settle();
        EXPECT_EQ(next->done(), w->status() == STATUS_CANCELLED) << "seed " << seed;
        CancelIoEx(handle(), &next->overlapped);
        if (finish(*next).status() == STATUS_SUCCESS) {
            EXPECT_EQ(next->events, DWORD(EV_RXCHAR)) << "seed " << seed;
        }
        expect_waits_again(seed);
        return result;
    }

    // A pending wait for DSR while the application closes the port and the
    // function reports DSR around the time the close cancels the wait.
    std::string wait_closed_against_line_state(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(SetCommMask(handle(), EV_DSR));
        auto w = wait_event();
        host::Thread* line = actor("line", host::kMillisecond + jitter(seed, 1, 3000), [this] {
            fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER);
        });
        return close_against(line, *w, seed);
    }

    // A read waiting for data, the device sending while the application
    // purges the receive side: the bytes end in the read or are purged or
    // arrive after the purge, never twice and never lost after the purge.
    std::string purge_against_read(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(set_timeouts(0, 0, 0));
        auto r = read(16);
        sleep_ms(1);
        host::Thread* device = actor("device", jitter(seed, 1, 3000), [this] { fn_->send("abcde"); });
        sleep_for(jitter(seed, 2, 3000));
        EXPECT_TRUE(PurgeComm(handle(), PURGE_RXABORT | PURGE_RXCLEAR));
        host::join(device);
        wait(*r);
        settle();
        fn_->send("fghij");
        const std::string rest = read_back(16, 20);
        const std::string got = r->data() + rest;
        EXPECT_TRUE(got == "abcdefghij" || got == "fghij") << "seed " << seed << ": " << got;
        return r->result() + (rest == "abcdefghij" ? " after the purge" : "");
    }

    // A write whose transfer ends while the application aborts the transmit
    // side: the device has a prefix of the write, the write one outcome.
    std::string purge_against_write(uint64_t seed)
    {
        opened(seed);
        fn_->set_behaviour(std::make_shared<bus::ScriptedPeer>());
        fn_->set_timing(bus::Timing::full_speed());
        const std::string sent = pattern(2000);
        auto w = write(sent);
        sleep_for(jitter(seed, 1, 3000));
        EXPECT_TRUE(PurgeComm(handle(), PURGE_TXABORT | PURGE_TXCLEAR));
        wait(*w);
        const std::string got = device_received();
        EXPECT_EQ(sent.compare(0, got.size(), got), 0) << "seed " << seed << ": not a prefix";
        if (w->status() == STATUS_SUCCESS) {
            EXPECT_EQ(got, sent) << "seed " << seed;
        }
        auto after = write("after");
        EXPECT_EQ(wait(*after).result(), outcome(STATUS_SUCCESS, 5)) << "seed " << seed;
        EXPECT_EQ(device_received(), got + "after") << "seed " << seed;
        EXPECT_EQ(fdx_->out_queue_bytes, 0u) << "seed " << seed;
        return w->result();
    }

    // The bus suspends and resumes the function while the application
    // clears both directions; a pending read then gets what comes next.
    std::string purge_against_suspend(uint64_t seed)
    {
        opened(seed);
        EXPECT_TRUE(set_timeouts(0, 0, 0));
        auto r = read(16);
        host::Thread* bus = actor("bus", jitter(seed, 1, 2000), [this] {
            fn_->suspend();
            sleep_ms(2);
            fn_->resume();
        });
        sleep_for(jitter(seed, 2, 2000));
        EXPECT_TRUE(PurgeComm(handle(), PURGE_RXCLEAR | PURGE_TXCLEAR));
        host::join(bus);
        fn_->send("after");
        wait(*r);
        return r->result() + " " + r->data();
    }
};

TEST_F(EventRaceTest, AWaitEndsOnceWhateverEndsItFirst)
{
    const std::string ok = kWaitDone + " events ";
    over_seeds(&EventRaceTest::wait_ends,
               { kCancelled0, ok + "0", ok + "1", ok + "16", ok + "17" },
               { kCancelled0, ok + "0", ok + "1", ok + "16" });
}

TEST_F(EventRaceTest, ACancelAfterTheEventLeavesTheWaitToItsEvent)
{
    const std::string event = kWaitDone + " events 1";
    over_seeds(&EventRaceTest::wait_cancelled_while_delivered,
               { kCancelled0, event, event + " after delivery", kCancelled0 + " after delivery" },
               { kCancelled0, event, event + " after delivery", kCancelled0 + " after delivery" });
}

TEST_F(EventRaceTest, TheNextWaitGetsOnlyItsOwnEvents)
{
    const std::string done = kWaitDone + " events ";
    over_seeds(&EventRaceTest::back_to_back_waits,
               { done + "0 then " + kCancelled0, done + "1 then " + kCancelled0, done + "0 then " + done + "1",
                 done + "1 then " + done + "0" },
               { done + "0 then " + done + "1", done + "1 then " + done + "0" });
}

TEST_F(EventRaceTest, CloseEndsAWaitOnceWhileAnEventArrives)
{
    over_seeds(&EventRaceTest::wait_closed, { kCancelled0, kWaitDone + " events 1" },
               { kCancelled0, kWaitDone + " events 1" });
}

TEST_F(EventRaceTest, CloseEndsAWaitOnceWhileTheFunctionReportsItsLineState)
{
    over_seeds(&EventRaceTest::wait_closed_against_line_state, { kCancelled0, kWaitDone + " events 16" },
               { kCancelled0 });
}

TEST_F(EventRaceTest, APurgeAgainstAReadWithDataLosesAndDuplicatesNothing)
{
    over_seeds(&EventRaceTest::purge_against_read,
               { outcome(STATUS_SUCCESS, 5), kCancelled0, kCancelled0 + " after the purge" },
               { outcome(STATUS_SUCCESS, 5), kCancelled0 + " after the purge" });
}

TEST_F(EventRaceTest, APurgeAgainstAWritesTransferEndingCompletesItOnce)
{
    over_seeds(&EventRaceTest::purge_against_write, { outcome(STATUS_SUCCESS, 2000), kCancelled0 },
               { outcome(STATUS_SUCCESS, 2000), kCancelled0 });
}

TEST_F(EventRaceTest, APurgeAgainstABusSuspendLeavesTheStreamRunning)
{
    over_seeds(&EventRaceTest::purge_against_suspend, { outcome(STATUS_SUCCESS, 5) + " after" }, {});
}

}  // namespace
}  // namespace eventstest
