// Requests that must end whatever the interleaving, over many seeds: at
// close, after a stop by the bus, across D2, on a cancel during a write's
// hand-over and at removal.
// Every scenario also ends cleanly (expect_clean_end): no verifier report,
// among them the bus's report of a write buffer freed while its transfer was
// posted, no hung request, and a port that opens again and carries data.
#include "data_fixture.h"

#ifndef RACE_SEEDS
#define RACE_SEEDS 50
#endif

namespace datatest {
namespace {

using host::io::DevicePower;
constexpr host::Time kMicrosecond = host::kMillisecond / 1000;

const std::string kDeletePending0 = outcome(STATUS_DELETE_PENDING, 0);
const std::string kUnsuccessful0 = outcome(STATUS_UNSUCCESSFUL, 0);

class EngineRaceTest : public DataTest {
protected:
    // A bounded wait for a request whose handle may be closed already.
    Io& wait_done(Io& io)
    {
        const host::Time deadline = host::now() + kRequestLimitMs * host::kMillisecond;
        while (!io.done() && host::now() < deadline)
            sleep_ms(1);
        io.keep_if_hung();
        return io;
    }
    void power(DevicePower state) { EXPECT_EQ(host_->set_power(node_, state), STATUS_SUCCESS); }

    // The port opened with a total read time-out of `constant_ms`: one read
    // pended, one queued behind it.
    std::pair<std::unique_ptr<Io>, std::unique_ptr<Io>> two_reads(uint64_t seed, ULONG constant_ms)
    {
        start(seed);
        open();
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, constant_ms));
        auto first = read(8);
        return { std::move(first), read(8) };
    }

    // A read without a time-out that a power-down would hold: the second of
    // two, so that it came from read_queue, pended once the first got data.
    std::unique_ptr<Io> read_pended_from_read_queue()
    {
        EXPECT_TRUE(set_timeouts(0, 0, 0));
        auto first = read(8);
        auto second = read(8);
        sleep_ms(1);
        fn_->send("a");
        EXPECT_EQ(wait(*first).data(), "a");
        return second;
    }

    // The device goes to D2 with `io` pending and the application closes
    // the port; the close must end it. Then back to D0.
    std::string close_in_d2(Io& io, uint64_t seed)
    {
        power(DevicePower::D2);
        sleep_for(host::Time(seed % 3) * kMicrosecond);
        close();
        wait_done(io);
        power(DevicePower::D0);
        return io.result();
    }

    // Issues the request on another thread while the application closes the
    // port after a number of scheduling points that the seed picks; "no
    // handle" when the close came first.
    std::string racing_close(bool is_write, uint64_t seed)
    {
        auto io = std::make_unique<Io>();
        io->buffer = is_write ? "racing" : std::string(8, '\0');
        HANDLE port = handle();
        BOOL issued = FALSE;
        DWORD error = 0;
        host::Thread* issuer = host::spawn("issuer", [&] {
            issued = is_write ? WriteFile(port, io->buffer.data(), 6, nullptr, &io->overlapped)
                              : ReadFile(port, io->buffer.data(), 8, nullptr, &io->overlapped);
            error = GetLastError();
        });
        for (uint64_t i = 0; i < seed % 97; ++i)
            host::yield_point("closer");
        close();
        host::join(issuer);
        if (!issued && error == ERROR_INVALID_HANDLE)
            return "no handle";
        return wait_done(*io).result();
    }

public:
    // The peer stalls the write and ignores the close's aborts of it; the
    // transport disable ends the transfer, and the completion DPC it queues
    // while the close goes on must still finish the write.
    std::string close_ends_stalled_write(uint64_t seed)
    {
        start(seed);
        open();
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        fn_->inject(bus::Op::data_abort, bus::Fault::ignore().after(1).repeat(2));   // not the data-in one
        auto io = write("stalled");
        sleep_ms(1);
        close();
        return wait_done(*io).result();
    }

    // Every other seed with the bus at full-speed timing, so that the
    // write's transfer and its completion can still be on their way when
    // the close aborts the data-out direction.
    std::string write_racing_close(uint64_t seed)
    {
        start(seed);
        if (seed % 2)
            fn_->set_timing(bus::Timing::full_speed());
        open();
        return racing_close(true, seed);
    }

    std::string read_racing_close(uint64_t seed)
    {
        start(seed);
        open();
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, 1000));
        return racing_close(false, seed);
    }

    // The bus stops the function's I/O with one read pended and one queued,
    // then the application closes the port.
    std::string bus_stop_then_close(uint64_t seed)
    {
        auto [first, second] = two_reads(seed, 1000);
        sleep_for(host::Time(seed % 4) * kMicrosecond);
        fn_->port().io_stop();
        close();
        return wait_done(*first).result() + " " + wait_done(*second).result();
    }

    // The first write's transfer ends while the device is in D2 (every
    // third seed: while the system sleeps); the second waits in write_queue
    // and must go once the device is back.
    std::string write_ends_in_d2(uint64_t seed)
    {
        start(seed);
        fn_->set_timing(bus::Timing::full_speed());
        open();
        const std::string first_bytes = pattern(32 * 1024), second_bytes = pattern(100, 3);
        auto first = write(first_bytes);
        auto second = write(second_bytes);
        sleep_for(host::Time(2 + seed % 5) * host::kMillisecond);
        if (seed % 3 == 0) {
            EXPECT_EQ(host_->sleep(host::io::SystemPower::S3), STATUS_SUCCESS);
            sleep_ms(100);
            EXPECT_EQ(host_->wake(), STATUS_SUCCESS);
        } else {
            power(DevicePower::D2);
            sleep_ms(100);
            power(DevicePower::D0);
        }
        wait(*first);
        wait(*second);
        fn_->settle();
        EXPECT_EQ(first_difference(device_received(), first_bytes + second_bytes), "") << "seed " << seed;
        return first->result() + " " + second->result();
    }

    // A read from the default queue times out in D2 while the next waits in
    // read_queue; that one gets its own time-out once the device is back.
    std::string read_times_out_in_d2(uint64_t seed)
    {
        auto [first, second] = two_reads(seed, 500);
        sleep_for(400 * host::kMillisecond + host::Time(seed % 7) * kMicrosecond);
        power(DevicePower::D2);
        sleep_ms(200);
        power(DevicePower::D0);
        return wait(*first).result() + " " + wait(*second).result();
    }

    // The application cancels again and again while its write is handed to
    // a peer that stalls: whichever cancel lands in the hand-over, the
    // write ends cancelled.
    std::string write_cancelled_during_hand_over(uint64_t seed)
    {
        start(seed);
        open();
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        auto io = std::make_unique<Io>();
        io->buffer = pattern(64);
        host::Thread* canceller = host::spawn("canceller", [&] {
            for (uint64_t i = 0; i < seed % 97; ++i)
                host::yield_point("canceller");
            for (int i = 0; i < 8 && !io->done(); ++i) {
                CancelIoEx(handle(), &io->overlapped);
                host::yield_point("canceller");
            }
        });
        WriteFile(handle(), io->buffer.data(), DWORD(io->buffer.size()), nullptr, &io->overlapped);
        host::join(canceller);
        sleep_ms(1);
        cancel(*io);   // one that surely comes after the hand-over
        return wait(*io).result();
    }

    // A cancel whose abort the peer ignores leaves the transfer posted; then
    // the device is removed. The write ends when its transfer does, not
    // before: until then the bus holds its buffer.
    std::string removal_with_cancelled_write_posted(uint64_t seed)
    {
        start(seed);
        open();
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        fn_->inject(bus::Op::data_abort, bus::Fault::ignore());
        auto io = write("stuck");
        sleep_ms(1);
        cancel(*io);
        sleep_for(host::Time(seed % 3) * kMicrosecond);
        EXPECT_EQ(host_->remove(node_), STATUS_SUCCESS);
        wait_done(*io);
        replug();
        return io->result();
    }

    // The write's transfer is posted at a peer that stalls when the device
    // goes to D2, which holds the write; the application then closes the
    // port, whose abort ends the transfer with none of the bytes sent.
    std::string close_in_d2_ends_held_write(uint64_t seed)
    {
        start(seed);
        open();
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        auto io = write("held");
        sleep_ms(1);
        return close_in_d2(*io, seed);
    }

    // A read pended from read_queue, without a time-out, is held by the
    // power-down when the application closes the port.
    std::string close_in_d2_ends_held_read(uint64_t seed)
    {
        start(seed);
        open();
        auto held = read_pended_from_read_queue();
        return close_in_d2(*held, seed);
    }

    // A read pended from read_queue is held across D2; the bytes the device
    // sends during the hold complete it once the device is back.
    std::string read_held_across_d2(uint64_t seed)
    {
        start(seed);
        open();
        auto held = read_pended_from_read_queue();
        sleep_ms(1);
        power(DevicePower::D2);
        fn_->send("hold");
        sleep_for(host::Time(seed % 3) * host::kMillisecond);
        power(DevicePower::D0);
        wait(*held);
        EXPECT_EQ(held->data(), "hold") << "seed " << seed;
        return held->result();
    }

    // A write arrives as the device goes to D2, at a peer that stalls, so
    // that the power-down may find it still in its intake callback. The
    // power-down waits for no request, and the write goes out after D0.
    std::string write_racing_d2(uint64_t seed)
    {
        start(seed);
        open();
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        std::unique_ptr<Io> io;
        host::Thread* writer = host::spawn("writer", [&] {
            sleep_for(host::Time(seed % 4) * kMicrosecond);
            io = write("racing");
        });
        const host::Time before = host::now();
        power(DevicePower::D2);
        const host::Time power_down = host::now() - before;
        host::join(writer);
        power(DevicePower::D0);
        fn_->release_stalls();
        wait(*io);
        if (power_down >= host::kSecond)
            return "the power-down waited " + std::to_string(power_down / host::kMillisecond) + " ms";
        return io->result();
    }
};

TEST_F(EngineRaceTest, CloseFinishesAWriteWhoseStalledTransferTheTransportDisableEnds)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return close_ends_stalled_write(seed); }, {kCancelled0});
}

// A write refused at intake waits 100 ms for its STATUS_DELETE_PENDING; one
// admitted completes, cancelled by the close or done. It never completes
// STATUS_SUCCESS with none of its bytes written.
TEST_F(EngineRaceTest, WriteRacingCloseEnds)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return write_racing_close(seed); },
               {"no handle", outcome(STATUS_SUCCESS, 6), kCancelled0, kDeletePending0, kUnsuccessful0});
}

TEST_F(EngineRaceTest, ReadRacingCloseEnds)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return read_racing_close(seed); },
               {"no handle", kCancelled0, kDeletePending0});
}

// An aborted transfer sent nothing: its write is not reported done.
TEST_F(EngineRaceTest, CloseInD2CancelsTheHeldWrite)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return close_in_d2_ends_held_write(seed); }, {kCancelled0});
}

TEST_F(EngineRaceTest, CloseInD2CancelsTheHeldRead)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return close_in_d2_ends_held_read(seed); }, {kCancelled0});
}

TEST_F(EngineRaceTest, ReadsLeftAfterABusStopEndAtClose)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return bus_stop_then_close(seed); },
               {kCancelled0 + " " + kCancelled0});
}

TEST_F(EngineRaceTest, WriteWaitingBehindOneThatEndedInD2GoesAfterD0)
{
    const std::string ok = outcome(STATUS_SUCCESS, 32 * 1024) + " " + outcome(STATUS_SUCCESS, 100);
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return write_ends_in_d2(seed); }, {ok});
}

TEST_F(EngineRaceTest, ReadWaitingBehindOneThatTimedOutInD2GetsItsTimeOutAfterD0)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return read_times_out_in_d2(seed); },
               {kTimeout0 + " " + kTimeout0});
}

TEST_F(EngineRaceTest, WriteCancelledDuringItsHandOverToAStalledPeerEnds)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return write_cancelled_during_hand_over(seed); },
               {kCancelled0});
}

TEST_F(EngineRaceTest, RemovalLeavesACancelledWriteToItsPostedTransfer)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return removal_with_cancelled_write_posted(seed); },
               {kCancelled0});
}

TEST_F(EngineRaceTest, WriteInItsIntakeWhenTheQueueStopsNeitherHoldsThePowerDownNorIsLost)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return write_racing_d2(seed); },
               {outcome(STATUS_SUCCESS, 6)});
}

TEST_F(EngineRaceTest, ReadHeldAcrossD2GetsTheBytesThatCameDuringTheHold)
{
    over_seeds(RACE_SEEDS, [this](uint64_t seed) { return read_held_across_d2(seed); },
               {outcome(STATUS_SUCCESS, 4)});
}

}  // namespace
}  // namespace datatest
