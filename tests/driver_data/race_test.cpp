// Cancellation and completion racing for reads and writes, each scenario
// run over a range of seeds (RACE_SEEDS): whatever the interleaving, every
// request completes exactly once with one of its allowed outcomes, and no
// byte is lost or duplicated on its way through the loopback.
#include "data_fixture.h"

#ifndef RACE_SEEDS
#define RACE_SEEDS 50
#endif

namespace datatest {
namespace {

class RaceTest : public DataTest {
protected:
    // Whatever is left in the ring, taken at once.
    std::string drain()
    {
        EXPECT_TRUE(set_timeouts(MAXULONG, 0, 0));
        auto io = read(64);
        return wait(*io).data();
    }

public:
    // A pended read with a 100 ms time-out; as it expires, or just before,
    // the device sends five bytes, the application cancels, or both, as the
    // seed picks.
    std::string read_ends(uint64_t seed)
    {
        start(seed);
        open();
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, 100));
        auto io = read(8);
        sleep_for(100 * host::kMillisecond - host::Time(seed % 2));
        const bool data = seed % 3 != 1, cancelled = seed % 3 != 0;
        if (data)
            fn_->send("abcde");
        if (cancelled)
            cancel(*io);
        wait(*io);
        fn_->settle();
        // The bytes went into this read or wait for the next, never both.
        EXPECT_EQ(io->data() + drain(), data ? "abcde" : "") << "seed " << seed;
        return io->result();
    }

    // Two writes at full-speed bus timing, both cancelled after a time the
    // seed picks: the first while posted or after its transfer ended, the
    // second while queued, posted or done. Gives both outcomes.
    std::string writes_cancelled(uint64_t seed)
    {
        start(seed);
        fn_->set_timing(bus::Timing::full_speed());
        open();
        const std::string a = pattern(4096), b = pattern(100, 7);
        auto first = write(a);
        auto second = write(b);
        sleep_for(host::Time(seed % 13) * host::kMillisecond / 2);
        cancel(*first);
        cancel(*second);
        wait(*first);
        wait(*second);
        fn_->settle();

        // What the device took came back whole; a write that succeeded went whole.
        const std::string sent = device_received();
        EXPECT_EQ(first_difference(read_back(sent.size(), 20), sent), "") << "seed " << seed;
        std::string expected;
        if (first->status() == STATUS_SUCCESS)
            expected += a;
        if (second->status() == STATUS_SUCCESS)
            expected += b;
        if (first->status() == STATUS_SUCCESS || second->status() == STATUS_SUCCESS) {
            EXPECT_NE(sent.find(expected), std::string::npos) << "seed " << seed;
        }
        EXPECT_EQ(fdx_->out_queue_bytes, 0u) << "seed " << seed;
        EXPECT_EQ(fdx_->current_write_request, nullptr) << "seed " << seed;
        return first->result() + " " + second->result();
    }

    // The application cancels a write again and again while it is being
    // started: cancelled before the driver has it, before it is marked,
    // from inside the marking, while posted, or too late.
    std::string write_cancelled_while_starting(uint64_t seed)
    {
        start(seed, {}, host::Mode::controlled, 4);
        open();
        auto io = std::make_unique<Io>();
        io->buffer = pattern(64);
        host::Thread* canceller = host::spawn("canceller", [&] {
            while (!io->done()) {
                CancelIoEx(handle(), &io->overlapped);
                KeStallExecutionProcessor(1);
            }
        });
        WriteFile(handle(), io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->overlapped);
        wait(*io);
        host::join(canceller);
        fn_->settle();
        EXPECT_EQ(fdx_->out_queue_bytes, 0u) << "seed " << seed;
        if (io->status() == STATUS_SUCCESS) {
            EXPECT_EQ(device_received(), io->buffer) << "seed " << seed;
        }
        const char* path = host::trace_count("cancel was called during set") ? " during marking"
                           : host::trace_count("request was canceled during set") ? " before marking"
                           : host::trace_count("Purging posted data")             ? " while posted"
                                                                                   : "";
        return io->result() + path;
    }
};

TEST_F(RaceTest, PendedReadAgainstDataTimeOutAndCancel)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return read_ends(seed); }, { kSuccess5, kTimeout5, kTimeout0, kCancelled0 },
               { kSuccess5, kTimeout0, kCancelled0 });
}

TEST_F(RaceTest, PostedAndQueuedWritesAgainstCancelAndTheirTransfers)
{
    const std::string ok_a = outcome(STATUS_SUCCESS, 4096), ok_b = outcome(STATUS_SUCCESS, 100);
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return writes_cancelled(seed); },
               { kCancelled0 + " " + kCancelled0, ok_a + " " + kCancelled0, ok_a + " " + ok_b,
                 kCancelled0 + " " + ok_b },
               { kCancelled0 + " " + kCancelled0, ok_a + " " + kCancelled0, ok_a + " " + ok_b });
}

TEST_F(RaceTest, WriteCancelledWhileBeingHandedOver)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return write_cancelled_while_starting(seed); },
               { kCancelled0, kCancelled0 + " before marking", kCancelled0 + " during marking",
                 kCancelled0 + " while posted", outcome(STATUS_SUCCESS, 64),
                 outcome(STATUS_SUCCESS, 64) + " while posted" },
               { kCancelled0 + " before marking" });
}

}  // namespace
}  // namespace datatest
