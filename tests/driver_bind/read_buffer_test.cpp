// The receive ring on the bus's data: geometry, posting, receive events, a
// full ring, copy-out, and the transfers that stop or restart the stream.
#include "bind_fixture.h"
#include "bus_power.h"
#include "read_request.h"

#include <atomic>

namespace bindtest {
namespace {

constexpr size_t kPacket = 64;

std::string filled(size_t n, char c) { return std::string(n, c); }

class ReadBufferTest : public BindTest {
protected:
    void start(bus::FunctionConfig config = {})
    {
        ASSERT_NE(started(std::move(config)), nullptr);
        open_stream();
    }
    // The device fills the next `n` descriptors, one full packet each.
    void fill_descriptors(size_t n, char c = 'a')
    {
        for (size_t i = 0; i < n; i++)
            device_sends(filled(kPacket, char(c + i)));
    }
};

TEST_F(ReadBufferTest, DefaultRingIsEightDescriptorsOf64Bytes)
{
    start();
    EXPECT_EQ(fdx_->read_buffers, 8u);
    EXPECT_EQ(fdx_->packets_per_xfer, 1u);
    EXPECT_EQ(fdx_->read_max_ps, 64u);
    EXPECT_EQ(fdx_->read_buffer_size, 512u);
    for (ULONG i = 0; i < 8; i++) {
        EXPECT_EQ(desc(i).buffer, fdx_->read_buffer + 64 * i);
        EXPECT_EQ(desc(i).length, 64u);
        EXPECT_TRUE(desc(i).empty);
    }
    EXPECT_TRUE(desc(0).posted);
    EXPECT_EQ(fdx_->data_in_pending, 1u);
    EXPECT_TRUE(fn_->data_in_outstanding());
    auto transfers = fn_->transfers();
    EXPECT_TRUE(transfers.empty());
}

TEST_F(ReadBufferTest, GeometryFollowsTheRegistryAndTheEndpoint)
{
    bus::FunctionConfig config;
    config.speed = bus::Speed::high;
    config.hardware_key = { { u"DataInBuffers", ULONG(3) }, { u"DataInPacketsPerXfer", ULONG(2) } };
    start(config);
    EXPECT_EQ(fdx_->read_buffer_size, 3u * 2 * 512);
    EXPECT_EQ(desc(2).buffer, fdx_->read_buffer + 2 * 1024);
    EXPECT_EQ(desc(2).length, 1024u);
}

// The package's defaults fill whole frames at both speeds (128 packets are
// 6.7 frames of 19 at full speed, 9.8 microframes of 13 at high speed), and
// a value already in the hardware key stays.
TEST_F(ReadBufferTest, TheProductPackageSetsTheReceiveGeometry)
{
    for (bus::Speed speed : { bus::Speed::full, bus::Speed::high }) {
        bus::FunctionConfig config;
        config.speed = speed;
        make(config);
        host_->install_package(ACMSERIAL_INF);
        ASSERT_NE(plug(), nullptr);
        EXPECT_EQ(fdx_->packets_per_xfer, 128u);
        EXPECT_EQ(fdx_->read_buffers, 4u);
        EXPECT_EQ(fdx_->read_buffer_size, 4u * 128 * fn_->max_packet_size());
    }
    bus::FunctionConfig config;
    config.hardware_key = { { u"DataInPacketsPerXfer", ULONG(2) } };
    make(config);
    host_->install_package(ACMSERIAL_INF);
    ASSERT_NE(plug(), nullptr);
    EXPECT_EQ(fdx_->packets_per_xfer, 2u);
    EXPECT_EQ(fdx_->read_buffers, 4u);
}

TEST_F(ReadBufferTest, ZeroBuffersFailThePreparationAndLeaveNoBinding)
{
    bus::FunctionConfig config;
    config.hardware_key = { { u"DataInBuffers", ULONG(0) } };
    make(config);
    EXPECT_EQ(plug(), nullptr);
    EXPECT_EQ(fn_->port().references(), 0);
}

TEST_F(ReadBufferTest, ARingLargerThan32BitsIsNotValid)
{
    bus::FunctionConfig config;
    config.hardware_key = { { u"DataInBuffers", ULONG(0x01000000) }, { u"DataInPacketsPerXfer", ULONG(0x100) } };
    make(config);
    EXPECT_EQ(plug(), nullptr);   // 2^24 x 64 x 2^8 bytes would wrap to 0 in 32 bits
}

TEST_F(ReadBufferTest, NothingIsPostedWithoutAnOpenHandle)
{
    ASSERT_NE(started(), nullptr);
    acm_read_data_in(fdx_);
    EXPECT_EQ(fn_->port().calls("data_in_post"), 0);
}

TEST_F(ReadBufferTest, DeliveredBytesAreAccountedAndTheNextDescriptorPosted)
{
    start();
    device_sends("hello");
    EXPECT_EQ(fdx_->read_buffer_bytes, 5u);
    EXPECT_EQ(fdx_->perf_stats.ReceivedCount, 5u);
    EXPECT_FALSE(desc(0).empty);
    EXPECT_EQ(desc(0).bytes_transferred, 5u);
    EXPECT_EQ(fdx_->desc_end, 1u);
    EXPECT_TRUE(desc(1).posted);
    EXPECT_EQ(fdx_->history_mask, 0u);   // no events of interest
}

TEST_F(ReadBufferTest, Rx80FullAtTheFifthOfEightDescriptorsNotTheFourth)
{
    start();
    fdx_->wait_mask = SERIAL_EV_RX80FULL;
    fill_descriptors(4);
    EXPECT_EQ(fdx_->history_mask & SERIAL_EV_RX80FULL, 0u);
    fill_descriptors(1);
    EXPECT_EQ(fdx_->history_mask & SERIAL_EV_RX80FULL, ULONG(SERIAL_EV_RX80FULL));
}

TEST_F(ReadBufferTest, RxCharForAnyDelivery)
{
    start();
    fdx_->wait_mask = SERIAL_EV_RXCHAR;
    device_sends("z");
    EXPECT_EQ(fdx_->history_mask, ULONG(SERIAL_EV_RXCHAR));
}

TEST_F(ReadBufferTest, RxFlagForMatchingBytes)
{
    start();
    fdx_->wait_mask = SERIAL_EV_RXFLAG;
    fdx_->special_chars.EventChar = '\n';
    device_sends("one\ntwo\nthree\n");
    EXPECT_EQ(fdx_->history_mask, ULONG(SERIAL_EV_RXFLAG));
}

TEST_F(ReadBufferTest, EventCharacterZeroNeverRaisesRxFlag)
{
    start();
    fdx_->wait_mask = SERIAL_EV_RXFLAG;
    fdx_->special_chars.EventChar = 0;
    fn_->send(std::vector<uint8_t>{ 0, 1, 0, 2 });
    fn_->settle();
    EXPECT_EQ(fdx_->read_buffer_bytes, 4u);
    EXPECT_EQ(fdx_->history_mask, 0u);
}

TEST_F(ReadBufferTest, FullRingStopsPostingAndACopyOutRestartsIt)
{
    start();
    fill_descriptors(8);
    EXPECT_EQ(fdx_->read_buffer_bytes, 512u);
    EXPECT_EQ(fdx_->desc_end, fdx_->desc_begin);
    EXPECT_FALSE(fn_->data_in_outstanding());
    device_sends("waiting");
    EXPECT_EQ(fdx_->read_buffer_bytes, 512u);   // the device holds it

    ReadRequest read(fdx_, 64);
    EXPECT_EQ(read.copy_out(), filled(64, 'a'));
    EXPECT_FALSE(fn_->data_in_outstanding());   // copy-out alone does not post
    acm_read_data_in(fdx_);                     // the read path's call after completing
    fn_->settle();
    EXPECT_EQ(fdx_->read_buffer_bytes, 512u - 64 + 7);
    EXPECT_EQ(std::string((char*)desc(0).buffer, 7), "waiting");
}

TEST_F(ReadBufferTest, CopyOutCrossesDescriptorsInRingOrder)
{
    start();
    device_sends("0123456789");   // short packets end their transfers
    device_sends("abcdefghijklmnopqrst");
    device_sends("XYZ");

    EXPECT_EQ(copied_out(fdx_, 15), "0123456789abcde");
    EXPECT_EQ(fdx_->desc_begin, 1u);
    EXPECT_EQ(desc(1).first_char, 5u);
    EXPECT_TRUE(desc(0).empty);
    EXPECT_EQ(fdx_->read_buffer_bytes, 18u);

    ReadRequest rest(fdx_, 100);
    EXPECT_EQ(rest.copy_out(), "fghijklmnopqrstXYZ");
    EXPECT_EQ(rest.context()->information, 18u);
    EXPECT_EQ(fdx_->desc_begin, 3u);
    EXPECT_EQ(fdx_->read_buffer_bytes, 0u);

    EXPECT_EQ(copied_out(fdx_, 10), "");
}

TEST_F(ReadBufferTest, CopyOutThatEndsOnADescriptorBoundaryStopsThere)
{
    start();
    device_sends("abc");
    device_sends("def");
    EXPECT_EQ(copied_out(fdx_, 3), "abc");
    EXPECT_EQ(fdx_->desc_begin, 1u);
    EXPECT_EQ(desc(1).first_char, 0u);
}

// A device ends a burst that filled its last packet with a zero-length
// packet; when that packet ends a transfer of its own, nothing the ring
// holds is lost and the stream goes on.
TEST_F(ReadBufferTest, ZeroLengthTransferKeepsTheRingAndPostsAgain)
{
    start();
    device_sends("kept");
    fn_->send_packet(std::vector<uint8_t>{});
    fn_->settle();

    EXPECT_EQ(fdx_->read_buffer_bytes, 4u);
    EXPECT_TRUE(fn_->data_in_outstanding());
    EXPECT_EQ(fdx_->read_in_workitem_queued, 0);
    device_sends("fresh");
    EXPECT_EQ(copied_out(fdx_, 10), "keptfresh");
}

// A transfer that fails loses its own bytes only: what the ring holds
// stays, and the stream restarts.
TEST_F(ReadBufferTest, OtherFailuresKeepTheRingAndRestart)
{
    start();
    device_sends("kept");
    fn_->inject(bus::Op::data_in_post, bus::Fault::complete(STATUS_DEVICE_DATA_ERROR, 0));
    device_sends("x");   // its transfer ends, the next one fails
    WdfWorkItemFlush(fdx_->read_in_workitem);
    fn_->settle();
    EXPECT_TRUE(fn_->data_in_outstanding());
    device_sends("fresh");
    EXPECT_EQ(copied_out(fdx_, 10), "keptxfresh");
}

TEST_F(ReadBufferTest, WithoutAReadInWorkItemTheStreamWaitsForTheNextCaller)
{
    start();
    WDFWORKITEM workitem = fdx_->read_in_workitem;
    fdx_->read_in_workitem = nullptr;   // as when its creation failed
    fn_->inject(bus::Op::data_in_post, bus::Fault::complete(STATUS_DEVICE_DATA_ERROR, 0));
    device_sends("x");   // its transfer ends, the next post fails
    fn_->settle();
    EXPECT_EQ(fdx_->read_in_workitem_queued, 0);
    EXPECT_FALSE(fn_->data_in_outstanding());

    acm_read_data_in(fdx_);
    EXPECT_TRUE(fn_->data_in_outstanding());
    fdx_->read_in_workitem = workitem;
}

class StreamStopTest : public ReadBufferTest, public ::testing::WithParamInterface<NTSTATUS> {};

TEST_P(StreamStopTest, FailedTransferStopsTheStreamWithoutAPurge)
{
    ASSERT_NE(started(), nullptr);
    fn_->inject(bus::Op::data_in_post, bus::Fault::complete(GetParam(), 0));
    open_stream();
    EXPECT_FALSE(fn_->data_in_outstanding());
    EXPECT_EQ(fn_->port().calls("data_in_post"), 1);
    EXPECT_EQ(fn_->port().calls("data_abort"), 0);
    EXPECT_EQ(fdx_->read_in_workitem_queued, 0);
    EXPECT_EQ(fdx_->data_in_pending, 0u);
    EXPECT_FALSE(desc(0).posted);
}

INSTANTIATE_TEST_SUITE_P(Statuses, StreamStopTest,
                         ::testing::Values(STATUS_CANCELLED, STATUS_NO_SUCH_DEVICE, STATUS_POWER_STATE_INVALID));

TEST_F(ReadBufferTest, RefusedPostIsUndone)
{
    ASSERT_NE(started(), nullptr);
    fn_->inject(bus::Op::data_in_post, bus::Fault::refuse());
    open_stream();
    EXPECT_EQ(fdx_->data_in_pending, 0u);
    EXPECT_FALSE(desc(0).posted);
    acm_read_data_in(fdx_);   // the next caller posts again
    EXPECT_TRUE(fn_->data_in_outstanding());
}

TEST_F(ReadBufferTest, SuspendedTransferIsNotRepostedUntilResume)
{
    start();
    fn_->suspend();
    fn_->settle();
    EXPECT_EQ(fdx_->suspended, 1);
    EXPECT_FALSE(fn_->data_in_outstanding());

    fn_->resume();
    fn_->settle();
    EXPECT_TRUE(fn_->data_in_outstanding());
}

// A pended read with a time-out, as the read path leaves it, timed by a
// timer of the test's own in place of the device's read timer.
class PendedReadTest : public ReadBufferTest {
protected:
    static inline std::atomic<int> fired{ 0 };
    static inline std::atomic<int> woken{ 0 };
    static VOID count_expiry(WDFTIMER) { fired++; }
    static VOID count_wake(WDFDPC) { woken++; }

    void SetUp() override
    {
        start();
        fired = 0;
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, count_expiry);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = fdx_->common.device;
        ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer_), STATUS_SUCCESS);
        device_timer_ = fdx_->read_timer;
        fdx_->read_timer = timer_;

        woken = 0;
        WDF_DPC_CONFIG dpc_config;
        WDF_DPC_CONFIG_INIT(&dpc_config, count_wake);
        ASSERT_EQ(WdfDpcCreate(&dpc_config, &attributes, &dpc_), STATUS_SUCCESS);
        device_dpc_ = fdx_->read_complete_dpc;
        fdx_->read_complete_dpc = dpc_;
    }
    void TearDown() override
    {
        WdfTimerStop(timer_, TRUE);
        fdx_->current_read_request = nullptr;
        fdx_->read_timer = device_timer_;
        fdx_->read_complete_dpc = device_dpc_;
    }
    void pend(ReadRequest& read, LONGLONG due_time)
    {
        PACM_REQUEST_CONTEXT context = read.context();
        context->ref_bits = REF_ISR | REF_TIMER;
        context->timer = timer_;
        context->due_time = due_time;
        fdx_->current_read_request = read.handle();
        WdfTimerStart(timer_, due_time);
    }
    static void wait_ms(LONGLONG ms)
    {
        LARGE_INTEGER interval;
        interval.QuadPart = -ms * 10'000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }

    WDFTIMER timer_ = nullptr;
    WDFTIMER device_timer_ = nullptr;
    WDFDPC dpc_ = nullptr;
    WDFDPC device_dpc_ = nullptr;
};

TEST_F(PendedReadTest, DataWakesAPendedReadThroughItsDpc)
{
    ReadRequest read(fdx_, 10);
    pend(read, -500 * 10'000LL);
    device_sends("data");
    wait_ms(1);   // the DPC has run
    EXPECT_EQ(woken, 1);

    read.context()->ref_bits &= ~REF_ISR;   // its time-out or cancel came first
    device_sends("more");
    wait_ms(1);
    EXPECT_EQ(woken, 1);
    EXPECT_EQ(fdx_->read_buffer_bytes, 8u);
}

TEST_F(PendedReadTest, TimerStoppedBySuspendRunsItsFullTimeOutAfterResume)
{
    ReadRequest read(fdx_, 10);
    pend(read, -500 * 10'000LL);
    wait_ms(400);
    porttest::bus_suspends(*fn_);
    // The timer cannot fire, so it holds no reference: a cancel or data
    // could complete the read alone.
    EXPECT_EQ(read.context()->ref_bits, ULONG(REF_ISR));
    wait_ms(1000);
    EXPECT_EQ(fired, 0);

    porttest::bus_resumes(*fn_);
    EXPECT_EQ(read.context()->ref_bits, ULONG(REF_ISR | REF_TIMER));
    wait_ms(499);
    EXPECT_EQ(fired, 0);
    wait_ms(2);
    EXPECT_EQ(fired, 1);
}

TEST_F(PendedReadTest, ReadOfAStoppedQueueKeepsItsTimerReferenceForTheQueueResume)
{
    ReadRequest read(fdx_, 10);
    pend(read, -500 * 10'000LL);
    read.context()->resume = TRUE;
    porttest::bus_suspends(*fn_);
    EXPECT_EQ(read.context()->ref_bits, ULONG(REF_ISR | REF_TIMER));
    porttest::bus_resumes(*fn_);
    wait_ms(1000);
    EXPECT_EQ(fired, 0);   // restarted by the queue's resume, not by the stream
}

TEST_F(ReadBufferTest, PurgeAbortsTheTransferAndEmptiesTheRing)
{
    start();
    device_sends("abc");
    acm_data_in_purge(fdx_);
    fn_->settle();
    EXPECT_EQ(fdx_->read_buffer_bytes, 0u);
    EXPECT_EQ(fdx_->desc_begin, 0u);
    EXPECT_EQ(fdx_->desc_end, 0u);
    EXPECT_TRUE(desc(0).empty);
    EXPECT_EQ(fdx_->data_in_pending, 0u);
    EXPECT_FALSE(fn_->data_in_outstanding());   // the aborted stream stays stopped
    EXPECT_EQ(fn_->port().calls("data_abort"), 1);
}

}  // namespace
}  // namespace bindtest
