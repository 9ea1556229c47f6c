// PurgeComm: the abort flags end every pending read or write with
// STATUS_CANCELLED, the clear flags throw away the data on the way (the
// posted data-out transfer, what the receive ring holds), and the stream
// goes on with what arrives afterwards, none of it lost.
#include "events_fixture.h"

namespace eventstest {
namespace {

class PurgeTest : public EventTest {
protected:
    // Writes whose first transfer the function never takes: the first is
    // posted, the others wait behind it.
    std::vector<std::unique_ptr<Io>> stuck_writes(int n)
    {
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        std::vector<std::unique_ptr<Io>> writes;
        for (int i = 0; i < n; i++)
            writes.push_back(write(pattern(100, i)));
        sleep_ms(1);
        return writes;
    }
    std::vector<std::unique_ptr<Io>> pending_reads(int n)
    {
        EXPECT_TRUE(set_timeouts(0, 0, 0));
        std::vector<std::unique_ptr<Io>> reads;
        for (int i = 0; i < n; i++)
            reads.push_back(read(16));
        sleep_ms(1);
        return reads;
    }
    // Bytes in the ring, as the application sees them.
    DWORD in_queue()
    {
        COMSTAT stat{};
        comm_errors(&stat);
        return stat.cbInQue;
    }
    // What arrives after a purge reaches the application, and only that.
    void expect_stream_goes_on(const std::string& text)
    {
        fn_->send(text);
        EXPECT_EQ(read_back(text.size() + 1, 50), text);
        expect_verifier_silent();
    }
    void expect_all(const std::vector<std::unique_ptr<Io>>& ios, const std::string& result)
    {
        for (const auto& io : ios)
            EXPECT_EQ(wait(*io).result(), result);
    }
};

TEST_F(PurgeTest, RxclearDropsTheRingAndTheStreamGoesOnWithNewDataOnly)
{
    opened();
    fn_->send("old bytes");
    settle();
    ASSERT_EQ(in_queue(), 9u);
    ASSERT_TRUE(PurgeComm(handle(), PURGE_RXCLEAR));
    EXPECT_EQ(in_queue(), 0u);

    const std::string fresh = pattern(5000);
    fn_->send(fresh);
    EXPECT_EQ(first_difference(read_back(fresh.size() + 1, 50), fresh), "");
    expect_verifier_silent();
}

TEST_F(PurgeTest, RxclearLeavesAPendingReadPendingForTheNextData)
{
    opened();
    auto reads = pending_reads(1);
    ASSERT_TRUE(PurgeComm(handle(), PURGE_RXCLEAR));
    sleep_ms(10);
    EXPECT_FALSE(reads[0]->done());
    fn_->send("new");
    EXPECT_EQ(wait(*reads[0]).data(), "new");
}

TEST_F(PurgeTest, RxabortCancelsThePendingAndQueuedReadsAndEmptiesTheRing)
{
    opened();
    auto reads = pending_reads(3);
    ASSERT_TRUE(PurgeComm(handle(), PURGE_RXABORT));
    expect_all(reads, kCancelled0);

    fn_->send("dropped");
    settle();
    ASSERT_TRUE(PurgeComm(handle(), PURGE_RXABORT));
    EXPECT_EQ(in_queue(), 0u);
    expect_stream_goes_on("next");
}

TEST_F(PurgeTest, TxabortCancelsThePostedAndQueuedWrites)
{
    opened();
    auto writes = stuck_writes(3);
    ASSERT_TRUE(PurgeComm(handle(), PURGE_TXABORT));
    expect_all(writes, kCancelled0);
    COMSTAT stat{};
    comm_errors(&stat);
    EXPECT_EQ(stat.cbOutQue, 0u);

    auto w = write("after");
    EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, 5));
    EXPECT_EQ(read_back(5, 50), "after");
    expect_verifier_silent();
}

TEST_F(PurgeTest, TxclearEndsThePostedTransferAndTheQueuedWritesGoOut)
{
    opened();
    auto writes = stuck_writes(3);
    ASSERT_TRUE(PurgeComm(handle(), PURGE_TXCLEAR));
    EXPECT_EQ(wait(*writes[0]).result(), kCancelled0) << "its transfer was aborted, nothing sent";
    EXPECT_EQ(wait(*writes[1]).result(), outcome(STATUS_SUCCESS, 100));
    EXPECT_EQ(wait(*writes[2]).result(), outcome(STATUS_SUCCESS, 100));
    EXPECT_EQ(device_received(), pattern(100, 1) + pattern(100, 2));
    expect_verifier_silent();
}

// Every combination of the four flags, each on a port with a posted write,
// a queued write, a pending read and bytes in the ring.
TEST_F(PurgeTest, EachCombinationOfFlagsDoesWhatEachFlagDoes)
{
    for (DWORD flags = 1; flags <= 0xF; flags++) {
        SCOPED_TRACE(flags);
        opened();
        fn_->set_behaviour(std::make_shared<bus::ScriptedPeer>());   // a peer that does not echo
        auto writes = stuck_writes(2);
        fn_->send("ring");
        settle();
        ASSERT_TRUE(PurgeComm(handle(), flags));

        const bool tx_abort = flags & PURGE_TXABORT, tx_clear = flags & PURGE_TXCLEAR;
        const bool rx_purged = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
        if (tx_abort) {
            expect_all(writes, kCancelled0);
        } else if (tx_clear) {
            EXPECT_EQ(wait(*writes[0]).result(), kCancelled0);
            EXPECT_EQ(wait(*writes[1]).result(), outcome(STATUS_SUCCESS, 100));
        } else {
            sleep_ms(5);
            EXPECT_FALSE(writes[0]->done()) << "the transfer is untouched";
            fn_->release_stalls();
            expect_all(writes, outcome(STATUS_SUCCESS, 100));
        }
        EXPECT_EQ(in_queue(), rx_purged ? 0u : 4u);
        fn_->send("+new");
        EXPECT_EQ(read_back(9, 20), (rx_purged ? "" : "ring") + std::string("+new"));
        expect_verifier_silent();
    }
}

TEST_F(PurgeTest, APurgeWhileTheBusSuspendedTheFunctionSucceedsAtOnce)
{
    opened();
    fn_->send("held");
    settle();
    fn_->suspend();
    const host::Time issued = host::now();
    ASSERT_TRUE(PurgeComm(handle(), 0xF));
    EXPECT_LE(host::now() - issued, 5 * host::kMillisecond);
    fn_->resume();
    expect_stream_goes_on("awake");
}

// Purges from several threads run one at a time, each to its end.
TEST_F(PurgeTest, PurgesArrivingTogetherAllComplete)
{
    opened();
    std::vector<std::unique_ptr<Io>> purges;
    for (ULONG flags : { 0xFUL, 0x3UL, 0xCUL, 0x8UL }) {
        auto io = std::make_unique<Io>();
        io->buffer.assign(reinterpret_cast<const char*>(&flags), sizeof flags);
        DeviceIoControl(handle(), IOCTL_SERIAL_PURGE, io->buffer.data(), sizeof flags, nullptr, 0, nullptr,
                        &io->overlapped);
        purges.push_back(std::move(io));
    }
    expect_all(purges, outcome(STATUS_SUCCESS, 0));
    expect_stream_goes_on("still reading");
}

// A purge that arrives while another one waits for its transfer to end
// waits behind it rather than run beside it.
TEST_F(PurgeTest, APurgeWaitsForTheOneBeforeIt)
{
    opened();
    auto writes = stuck_writes(1);
    fn_->inject(bus::Op::data_abort, bus::Fault::ignore().always());
    std::vector<std::unique_ptr<Io>> purges;
    std::vector<host::Thread*> purgers;
    for (int i = 0; i < 2; i++) {
        purges.push_back(std::make_unique<Io>());
        // A purge runs in its caller's thread.
        purgers.push_back(host::spawn("purger", [this, i, io = purges.back().get()] {
            sleep_ms(10 * i);
            ULONG flags = PURGE_TXCLEAR;
            DeviceIoControl(handle(), IOCTL_SERIAL_PURGE, &flags, sizeof flags, nullptr, 0, nullptr, &io->overlapped);
        }));
    }
    sleep_ms(50);
    EXPECT_FALSE(purges[0]->done()) << "the first purge waits for the transfer";
    EXPECT_FALSE(purges[1]->done()) << "the second purge waits for the first";
    fn_->release_stalls();
    for (host::Thread* t : purgers)
        host::join(t);
    expect_all(purges, outcome(STATUS_SUCCESS, 0));
    wait(*writes[0]);
    expect_verifier_silent();
}

}  // namespace
}  // namespace eventstest
