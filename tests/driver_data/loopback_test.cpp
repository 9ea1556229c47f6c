// Writes and reads through a loopback plug: every byte comes back intact,
// each write is one data-out transfer of its whole length, writes go out
// one at a time and in order, and a transfer that fails still completes its
// write with the count the bus reported.
#include "data_fixture.h"

namespace datatest {
namespace {

class LoopbackTest : public DataTest {};

TEST_F(LoopbackTest, EveryByteComesBackAndEachWriteIsOneTransfer)
{
    for (size_t size : { size_t(1), size_t(64), size_t(4096), size_t(1) << 20 }) {
        SCOPED_TRACE(size);
        start();
        open();
        const std::string sent = pattern(size);
        auto w = write(sent);
        EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, size));
        EXPECT_EQ(first_difference(read_back(size), sent), "");

        auto out = data_out();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].length, size);
        EXPECT_EQ(out[0].bytes, size);
        EXPECT_EQ(fdx_->perf_stats.TransmittedCount, size);
        EXPECT_EQ(fdx_->out_queue_bytes, 0u);
        expect_verifier_silent();
    }
}

// With the product's receive geometry (128 packets per data-in transfer)
// an echo that fills its last packet comes back only because the device
// ends the burst with a zero-length packet, also when the burst fills the
// transfer and that packet lands in the next one. A device that sends none
// leaves the echo in the posted transfer until a short packet ends it.
class ProductGeometryTest : public LoopbackTest {
protected:
    void start_product(bool zero_length_packets)
    {
        bus::FunctionConfig config;
        config.zero_length_packets = zero_length_packets;
        config.hardware_key = { { u"DataInPacketsPerXfer", ULONG(128) }, { u"DataInBuffers", ULONG(4) } };
        start(1, config);
        open();
    }
    std::string echo(const std::string& sent)
    {
        auto w = write(sent);
        EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, sent.size()));
        return read_back(sent.size(), 100);
    }
};

TEST_F(ProductGeometryTest, EchoesOfWholePacketsComeBack)
{
    start_product(true);
    for (size_t size : { size_t(64), size_t(128 * 64), size_t(64), size_t(3 * 128 * 64 + 640) }) {
        const std::string sent = pattern(size, size);
        EXPECT_EQ(first_difference(echo(sent), sent), "") << size;
    }
    expect_verifier_silent();
}

TEST_F(ProductGeometryTest, WithoutZeroLengthPacketsAWholePacketEchoWaitsInTheTransfer)
{
    start_product(false);
    EXPECT_EQ(echo(pattern(64)), "");
    auto w = write("short");
    EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, 5));
    EXPECT_EQ(read_back(64 + 5, 100), pattern(64) + "short");
    expect_verifier_silent();
}

TEST_F(LoopbackTest, WritesGoOutOneAtATimeInArrivalOrder)
{
    start();
    fn_->set_timing(bus::Timing::full_speed());
    open();
    std::vector<std::unique_ptr<Io>> writes;
    for (int i = 0; i < 4; i++)
        writes.push_back(write(pattern(1000, i)));
    sleep_ms(1);
    EXPECT_EQ(fdx_->out_queue_bytes, 4000u);   // all four admitted, three waiting
    for (auto& w : writes)
        EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, 1000));

    auto out = data_out();
    ASSERT_EQ(out.size(), 4u);
    for (const auto& t : out)
        EXPECT_EQ(t.length, 1000u);
    EXPECT_EQ(device_received(), pattern(1000, 0) + pattern(1000, 1) + pattern(1000, 2) + pattern(1000, 3));
    EXPECT_EQ(fdx_->out_queue_bytes, 0u);
}

TEST_F(LoopbackTest, AFailedTransferStillCompletesItsWriteWithTheReportedCount)
{
    start();
    open();
    fn_->inject(bus::Op::data_out_post, bus::Fault::complete(STATUS_DEVICE_DATA_ERROR, 17));
    auto w = write(pattern(100));
    EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, 17));
    EXPECT_EQ(fdx_->perf_stats.TransmittedCount, 100u);   // handed over, whatever became of it

    auto next = write(pattern(10));   // the slot is free again
    EXPECT_EQ(wait(*next).result(), outcome(STATUS_SUCCESS, 10));
}

TEST_F(LoopbackTest, ARefusedTransferFailsItsWriteAndTheNextOneStarts)
{
    start();
    fn_->set_timing(bus::Timing::full_speed());
    open();
    auto first = write(pattern(2000));
    fn_->inject(bus::Op::data_out_post, bus::Fault::refuse());
    auto refused = write(pattern(10));
    auto last = write(pattern(20));
    EXPECT_EQ(wait(*first).result(), outcome(STATUS_SUCCESS, 2000));
    EXPECT_EQ(wait(*refused).result(), outcome(STATUS_INSUFFICIENT_RESOURCES, 0));
    EXPECT_EQ(wait(*last).result(), outcome(STATUS_SUCCESS, 20));
    EXPECT_EQ(fdx_->out_queue_bytes, 0u);
}

TEST_F(LoopbackTest, AWriteWithoutAnOpenHandleIsRefused)
{
    start();
    open();
    LONG handles = fdx_->common.ref_count;
    fdx_->common.ref_count = 0;   // as once the last cleanup has run
    auto w = write("x");
    EXPECT_EQ(wait(*w).result(), outcome(STATUS_UNSUCCESSFUL, 0));
    fdx_->common.ref_count = handles;
    EXPECT_EQ(fdx_->out_queue_bytes, 0u);   // never admitted, never counted
    EXPECT_TRUE(data_out().empty());
}

TEST_F(LoopbackTest, ReadsAreServedInArrivalOrder)
{
    start();
    open();
    ASSERT_TRUE(set_timeouts(0, 0, 0));
    auto first = read(3);
    auto second = read(3);
    sleep_ms(1);
    EXPECT_FALSE(first->done());
    fn_->send("abcdef");
    EXPECT_EQ(wait(*first).data(), "abc");
    EXPECT_EQ(wait(*second).data(), "def");
}

}  // namespace
}  // namespace datatest
