// The bulk pipes: packetisation, the completion context, abort, the timing
// model in virtual time, fault injection and the checks on the driver's use.
#include "dc_client.h"

#include "bus/behaviours.h"

#include "host/io/wdm_model.h"
#include "host/kernel/verifier.h"

#include <gmock/gmock.h>

#include <cstring>

namespace bus_test {
namespace {

using ::testing::ElementsAre;

std::vector<ULONG> byte_counts(const std::vector<Completion>& done)
{
    std::vector<ULONG> counts;
    for (const Completion& c : done)
        counts.push_back(c.bytes);
    return counts;
}

// --- packetisation -------------------------------------------------------------

TEST_F(BusTest, AShortPacketEndsATransfer)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.send(pattern(100));   // one full packet and a short one
    ASSERT_TRUE(c.post_in(128));
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(c.ins()[0].bytes, 100u);
    EXPECT_EQ(c.in_data(), pattern(100));
}

// The device follows the last full packet of a burst with a zero-length
// packet: one per burst (packets still queued behind a full one need none),
// and into a fresh transfer when the burst filled the one it was in.
TEST_F(BusTest, ABurstEndingOnAPacketBoundaryEndsWithAZeroLengthPacket)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.send(pattern(192));
    fn.send(pattern(64));   // queued behind: the same burst, which fills two transfers
    ASSERT_TRUE(c.post_in(128, true));
    ASSERT_TRUE(c.wait_ins(3));
    fn.settle();
    EXPECT_THAT(byte_counts(c.ins()), ElementsAre(128, 128, 0));
    fn.send(pattern(64));
    ASSERT_TRUE(c.wait_ins(4));
    c.stop_streaming();
    EXPECT_THAT(byte_counts(c.ins()), ElementsAre(128, 128, 0, 64));
    bus::Bytes sent = pattern(192);
    const bus::Bytes packet = pattern(64);
    for (int i = 0; i < 2; ++i)
        sent.insert(sent.end(), packet.begin(), packet.end());
    EXPECT_EQ(c.in_data(), sent);
}

TEST_F(BusTest, WithoutZeroLengthPacketsABurstOnABoundaryWaitsInTheTransfer)
{
    bus::FunctionConfig config;
    config.zero_length_packets = false;
    bus::CdcFunction& fn = make_function(config);
    DcClient& c = started_port(fn);
    fn.send(pattern(192));
    ASSERT_TRUE(c.post_in(128, true));
    ASSERT_TRUE(c.wait_ins(1));
    fn.settle();
    EXPECT_THAT(byte_counts(c.ins()), ElementsAre(128));
    EXPECT_EQ(fn.pending_in_bytes(), 0u);   // the third packet sits in the reposted transfer
    fn.send_packet({});                      // until the firmware sends the packet itself
    ASSERT_TRUE(c.wait_ins(2));
    c.stop_streaming();
    EXPECT_THAT(byte_counts(c.ins()), ElementsAre(128, 64));
    EXPECT_EQ(c.in_data(), pattern(192));
}

TEST_F(BusTest, DataWaitsInTheDeviceForAPostedBuffer)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.send(pattern(10));
    fn.settle();
    EXPECT_EQ(fn.pending_in_bytes(), 10u);
    EXPECT_TRUE(c.ins().empty());
    ASSERT_TRUE(c.post_in(64));
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_EQ(c.ins()[0].bytes, 10u);
    EXPECT_EQ(fn.pending_in_bytes(), 0u);
}

TEST_F(BusTest, APacketLargerThanTheRoomLeftIsBabble)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.send(pattern(64));
    ASSERT_TRUE(c.post_in(40));
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(c.ins()[0].bytes, 40u);
}

TEST_F(BusTest, CompletionsRunInTheCompletionContextNeverInsideThePost)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_out(pattern(300)));
    fn.send(pattern(3));
    ASSERT_TRUE(c.post_in(64, true));
    fn.send(pattern(5));
    ASSERT_TRUE(c.wait_ins(2));
    ASSERT_TRUE(c.wait_outs(1));
    c.stop_streaming();
    for (const Completion& done : c.ins()) {
        EXPECT_EQ(done.irql, DISPATCH_LEVEL);
        EXPECT_FALSE(done.inside_post);
    }
    EXPECT_EQ(c.outs()[0].irql, DISPATCH_LEVEL);
    EXPECT_FALSE(c.outs()[0].inside_post);
}

TEST_F(BusTest, ADataOutTransferIsTakenWhole)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_out(pattern(1000)));
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_EQ(c.outs()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(c.outs()[0].bytes, 1000u);
    EXPECT_EQ(fn.received(), pattern(1000));
    auto t = fn.transfers();
    ASSERT_EQ(t.size(), 1u);
    EXPECT_FALSE(t[0].in);
    EXPECT_EQ(t[0].length, 1000u);
}

// A loopback whose host does not read: the echo of the first transfer fills
// the device's queue, so the next transfer is refused packet by packet until
// the host takes data in; then it goes.
TEST_F(BusTest, AFullDeviceQueueHoldsBackTheNextDataOutTransfer)
{
    bus::CdcFunction& fn = make_function();
    fn.set_behaviour(std::make_shared<bus::Loopback>());
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_out(pattern(bus::CdcFunction::kDeviceBuffer)));
    ASSERT_TRUE(c.wait_outs(1));
    ASSERT_TRUE(c.post_out(pattern(1000, 7)));
    EXPECT_FALSE(c.wait_outs(2, 10 * host::kSecond));
    EXPECT_EQ(fn.pending_in_bytes(), bus::CdcFunction::kDeviceBuffer);
    EXPECT_EQ(fn.received(), pattern(bus::CdcFunction::kDeviceBuffer));

    ASSERT_TRUE(c.post_in(64));   // one packet taken: the queue is below its limit
    ASSERT_TRUE(c.wait_outs(2));
    EXPECT_EQ(c.outs()[1].bytes, 1000u);
    EXPECT_EQ(fn.pending_in_bytes(), bus::CdcFunction::kDeviceBuffer - 64 + 1000);
}

// A sink that is written for long: the log keeps the latest bytes only.
TEST_F(BusTest, TheDataOutLogKeepsItsLatestBytes)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    constexpr size_t kChunk = bus::CdcFunction::kLogLimit / 2;
    Bytes last;
    for (uint8_t i = 0; i < 5; i++) {
        last = pattern(kChunk, i);
        ASSERT_TRUE(c.post_out(last));
        ASSERT_TRUE(c.wait_outs(i + 1));
    }
    const Bytes log = fn.received();
    EXPECT_LE(log.size(), 2 * bus::CdcFunction::kLogLimit);
    EXPECT_GE(log.size(), bus::CdcFunction::kLogLimit);
    EXPECT_TRUE(std::equal(last.begin(), last.end(), log.end() - std::ptrdiff_t(kChunk)));
}

// --- abort -----------------------------------------------------------------------

TEST_F(BusTest, AbortCancelsTheOutstandingTransferOfOneDirection)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.inject(bus::Op::data_out_post, bus::Fault::stall());
    ASSERT_TRUE(c.post_in(64));
    ASSERT_TRUE(c.post_out(pattern(8)));
    fn.settle();
    EXPECT_TRUE(fn.data_out_outstanding());

    c.ifc.data_abort(c.ctx(), FALSE);
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_EQ(c.outs()[0].status, STATUS_CANCELLED);
    EXPECT_EQ(c.outs()[0].bytes, 0u);
    EXPECT_TRUE(fn.data_in_outstanding());   // the other direction is untouched
    EXPECT_TRUE(fn.received().empty());

    c.ifc.data_abort(c.ctx(), TRUE);
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_CANCELLED);
}

TEST_F(BusTest, AnAbortThatDoesNotTakeEffectLeavesTheTransferOutstanding)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.inject(bus::Op::data_out_post, bus::Fault::stall());
    fn.inject(bus::Op::data_abort, bus::Fault::ignore());
    ASSERT_TRUE(c.post_out(pattern(8)));
    c.ifc.data_abort(c.ctx(), FALSE);
    fn.settle();
    EXPECT_TRUE(fn.data_out_outstanding());
    EXPECT_TRUE(c.outs().empty());

    fn.release_stalls();   // the endpoint answers again: the transfer ends normally
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_EQ(c.outs()[0].status, STATUS_SUCCESS);
    EXPECT_EQ(fn.received(), pattern(8));
}

TEST_F(BusTest, ClosingThePipesCancelsWhatIsOutstanding)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_in(64));
    c.stop();
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_CANCELLED);
}

// --- timing model ----------------------------------------------------------------

// Streams `total` bytes through transfers of `transfer` bytes; returns the
// host time the last byte arrived.
host::Time stream_time(bus::CdcFunction& fn, DcClient& c, size_t total, ULONG transfer)
{
    const host::Time start = host::now();
    fn.send(pattern(total));
    EXPECT_TRUE(c.post_in(transfer, true));
    EXPECT_TRUE(c.wait_in_bytes(total, 10 * host::kSecond));
    c.stop_streaming();
    return host::now() - start;
}

TEST_F(BusTest, FullSpeedMovesNineteenPacketsPerFrame)
{
    bus::CdcFunction& fn = make_function();
    fn.set_timing(bus::Timing::full_speed());
    DcClient& c = started_port(fn);
    EXPECT_EQ(stream_time(fn, c, 10 * 19 * 64, 19 * 64), 10 * host::kMillisecond);   // 1,216,000 bytes/s
    EXPECT_EQ(c.in_data(), pattern(10 * 19 * 64));
}

TEST_F(BusTest, HighSpeedMovesThirteenPacketsPerMicroframe)
{
    bus::FunctionConfig config;
    config.speed = bus::Speed::high;
    bus::CdcFunction& fn = make_function(config);
    fn.set_timing(bus::Timing::high_speed());
    DcClient& c = started_port(fn);
    EXPECT_EQ(stream_time(fn, c, 8 * 13 * 512, 13 * 512), 8 * host::kMillisecond / 8);   // 53,248,000 bytes/s
}

TEST_F(BusTest, TurnaroundDelaysEveryCompletion)
{
    bus::CdcFunction& fn = make_function();
    fn.set_timing(bus::Timing::full_speed(200 * 10));   // 200 us
    DcClient& c = started_port(fn);
    // Each 19-packet transfer fills in one frame, completes 200 us later, and
    // the repost catches the following frame.
    EXPECT_EQ(stream_time(fn, c, 3 * 19 * 64, 19 * 64), 3 * host::kMillisecond + 200 * 10);
}

TEST_F(BusTest, BothDirectionsShareTheFrame)
{
    bus::CdcFunction& fn = make_function();
    fn.set_timing(bus::Timing::full_speed());
    DcClient& c = started_port(fn);
    fn.send(pattern(19 * 64));
    ASSERT_TRUE(c.post_in(19 * 64));
    ASSERT_TRUE(c.post_out(pattern(19 * 64)));
    const host::Time start = host::now();
    ASSERT_TRUE(c.wait_ins(1));
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_EQ(host::now() - start, 2 * host::kMillisecond);   // 38 packets, 19 per frame
}

TEST_F(BusTest, AControlTransferTakesThreeFrames)
{
    bus::CdcFunction& fn = make_function();
    fn.set_timing(bus::Timing::full_speed());
    DcClient& c = bind(fn.port());
    UCHAR coding[7];
    ULONG done = 0;
    const host::Time start = host::now();
    ASSERT_EQ(c.ifc.control_request(c.ctx(), 1, 0x21, 0, 7, coding, &done, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(host::now() - start, 3 * host::kMillisecond);
}

// --- faults ------------------------------------------------------------------------

TEST_F(BusTest, RefusedPostsAnswerFalseAndCompleteNothing)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.inject(bus::Op::data_in_post, bus::Fault::refuse().after(1));
    ASSERT_TRUE(c.post_in(64));
    c.ifc.data_abort(c.ctx(), TRUE);
    ASSERT_TRUE(c.wait_ins(1));
    EXPECT_FALSE(c.post_in(64));   // the second post is refused
    EXPECT_TRUE(c.post_in(64));    // and only that one
    fn.settle();
    EXPECT_EQ(c.ins().size(), 1u);
}

TEST_F(BusTest, AFaultCanCompleteWithAChosenStatusAndByteCount)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.inject(bus::Op::data_in_post, bus::Fault::complete(STATUS_DEVICE_DATA_ERROR, 5));
    fn.inject(bus::Op::data_out_post, bus::Fault::complete(STATUS_SUCCESS, 3));
    fn.send(bus::to_bytes("abcdefgh"));
    ASSERT_TRUE(c.post_in(64));
    ASSERT_TRUE(c.post_out(bus::to_bytes("xyz123")));
    ASSERT_TRUE(c.wait_ins(1));
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(c.ins()[0].data, bus::to_bytes("abcde"));
    EXPECT_EQ(fn.pending_in_bytes(), 3u);
    EXPECT_EQ(c.outs()[0].bytes, 3u);
    EXPECT_EQ(fn.received(), bus::to_bytes("xyz"));
}

TEST_F(BusTest, ZeroByteCompletionsRepeatAsOftenAsAsked)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    fn.inject(bus::Op::data_in_post, bus::Fault::zero_bytes().repeat(2));
    fn.send(pattern(10));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(c.post_in(64));
        ASSERT_TRUE(c.wait_ins(i + 1));
    }
    EXPECT_THAT(byte_counts(c.ins()), ElementsAre(0, 0, 10));
}

TEST_F(BusTest, StatusOperationsFailOnDemand)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    fn.inject(bus::Op::control_request, bus::Fault::fail(STATUS_IO_TIMEOUT));
    fn.inject(bus::Op::get_functional_descriptor, bus::Fault::fail(STATUS_INSUFFICIENT_RESOURCES));
    fn.inject(bus::Op::get_max_packet_size, bus::Fault::fail(STATUS_DEVICE_NOT_CONNECTED));
    fn.inject(bus::Op::get_idle_timeout, bus::Fault::fail(STATUS_NOT_SUPPORTED));
    fn.inject(bus::Op::transport_enable, bus::Fault::fail(STATUS_DEVICE_BUSY));
    fn.inject(bus::Op::data_io_init, bus::Fault::fail(STATUS_NO_MEMORY));
    fn.inject(bus::Op::clear_data, bus::Fault::fail(STATUS_UNSUCCESSFUL));
    UCHAR buffer[8];
    ULONG n = 7;
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 1, 0x21, 0, 7, buffer, &n, 0, 0), STATUS_IO_TIMEOUT);
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 1, 0x21, 0, 7, buffer, &n, 0, 0), STATUS_SUCCESS);
    n = 4;
    EXPECT_EQ(c.ifc.get_functional_descriptor(c.ctx(), 2, buffer, &n), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(c.ifc.get_max_packet_size(c.ctx(), 0, 0, &n, 0), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(c.ifc.get_idle_timeout(c.ctx(), &n), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(c.ifc.dc_transport_enable(c.ctx()), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(fn.port().transport_enabled());
    EXPECT_EQ(c.ifc.cdc_data_io_init(c.ctx(), 1, 1), STATUS_NO_MEMORY);
    EXPECT_EQ(c.ifc.dc_clear_data(c.ctx()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fn.control_log()[0].status, STATUS_IO_TIMEOUT);
}

// A control request on its own thread that the function stalls; `status`
// stays STATUS_PENDING until the request returns.
host::Thread* stalled_control_request(bus::CdcFunction& fn, DcClient& c, NTSTATUS& status)
{
    fn.inject(bus::Op::control_request, bus::Fault::stall());
    status = STATUS_PENDING;
    return host::spawn("caller", [&c, &status] {
        ULONG n = 0;
        status = c.ifc.control_request(c.ctx(), 0, 0x22, 1, 0, nullptr, &n, 0, 0);
    });
}

TEST_F(BusTest, AStalledControlRequestBlocksUntilReleased)
{
    bus::CdcFunction& fn = make_function();
    NTSTATUS status;
    host::Thread* caller = stalled_control_request(fn, bind(fn.port()), status);
    auto lk = host::sched_lock();
    host::wait_until(lk, [] { return false; }, host::now() + host::kSecond, "test");
    EXPECT_EQ(status, STATUS_PENDING);
    lk.unlock();
    fn.release_stalls();
    host::join(caller);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(fn.control_lines(), 1);
}

TEST_F(BusTest, AStalledGenericControlGivesUpAfterItsTimeOut)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    fn.inject(bus::Op::generic_control, bus::Fault::stall());
    DC_CONTROL_RECORD get{0xA1, 0x21, 0, 0, 7, 0, 0};
    UCHAR data[7];
    ULONG done = 0;
    const host::Time start = host::now();
    EXPECT_EQ(c.ifc.generic_control(c.ctx(), &get, data, 7, &done, 500 * host::kMillisecond), STATUS_IO_TIMEOUT);
    EXPECT_EQ(host::now() - start, 500 * host::kMillisecond);
    EXPECT_EQ(done, 0u);
}

TEST_F(BusTest, SurpriseRemovalMidTransferEndsEverythingAndTellsPnp)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    bool reported = false;
    fn.set_removal_handler([&] {
        auto lk = host::sched_lock();
        reported = true;
        host::notify_all();
    });
    ASSERT_TRUE(c.post_in(64));
    fn.inject(bus::Op::data_out_post, bus::Fault::surprise_remove());
    ASSERT_TRUE(c.post_out(pattern(4)));   // accepted, then the function is gone
    ASSERT_TRUE(c.wait_ins(1));
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_EQ(c.ins()[0].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(c.outs()[0].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(c.wait([&](const DcClient::Records&) { return reported; }));
    EXPECT_FALSE(fn.present());
    EXPECT_FALSE(c.post_in(64));
    ULONG n = 0;
    EXPECT_EQ(c.ifc.control_request(c.ctx(), 0, 0x22, 0, 0, nullptr, &n, 0, 0), STATUS_NO_SUCH_DEVICE);
}

TEST_F(BusTest, SurpriseRemovalWakesAStalledControlRequest)
{
    bus::CdcFunction& fn = make_function();
    NTSTATUS status;
    host::Thread* caller = stalled_control_request(fn, bind(fn.port()), status);
    fn.surprise_remove();
    host::join(caller);
    EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
}

// --- checks on the driver's use of the interface ---------------------------------------

class ContractTest : public BusTest {
protected:
    ContractTest() { host::verifier_set_action(host::VerifierAction::record); }
    static std::vector<std::string> checks()
    {
        std::vector<std::string> names;
        for (const host::Violation& v : host::verifier_violations())
            names.push_back(v.check);
        return names;
    }
};

TEST_F(ContractTest, ASecondDataInTransferWhileOneIsOutstanding)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_in(64));
    EXPECT_TRUE(checks().empty());
    Bytes other(64);
    EXPECT_FALSE(c.ifc.data_in_post(c.ctx(), other.data(), 64, [](PVOID, NTSTATUS, ULONG) {}, nullptr, 0, 0));
    EXPECT_THAT(checks(), ElementsAre("bus-second-data-in"));
}

TEST_F(ContractTest, TransfersWhileTheTransportOrDataIoIsOff)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    EXPECT_FALSE(c.post_in(64));
    ASSERT_EQ(c.ifc.dc_transport_enable(c.ctx()), STATUS_SUCCESS);
    EXPECT_FALSE(c.post_out(pattern(4)));   // data I/O not initialised
    ASSERT_EQ(c.ifc.cdc_data_io_init(c.ctx(), 1, 1), STATUS_SUCCESS);
    EXPECT_TRUE(c.post_out(pattern(4)));
    EXPECT_THAT(checks(), ElementsAre("bus-transfer-while-disabled", "bus-transfer-while-disabled"));
}

TEST_F(ContractTest, DereferenceMustMatchTheHandOutExactlyOnce)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    c.release();
    c.ifc.InterfaceDereference(c.ctx());
    EXPECT_THAT(checks(), ElementsAre("bus-dereference"));
    EXPECT_EQ(c.ifc.get_ui_number(c.ctx()), 5u);
    EXPECT_THAT(checks(), ElementsAre("bus-dereference", "bus-use-after-dereference"));
}

TEST_F(ContractTest, AReferenceLeftAtRemoval)
{
    bus::CdcFunction& fn = make_function();
    bind(fn.port());
    fn.port().pdo_handler()->pnp_remove();
    EXPECT_THAT(checks(), ElementsAre("bus-dereference"));
    EXPECT_TRUE(fn.port().removed());
}

TEST_F(ContractTest, CallbacksRegisteredTwice)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = bind(fn.port());
    auto start = [](PVOID) -> NTSTATUS { return STATUS_SUCCESS; };
    c.ifc.register_callbacks(c.ctx(), 0, start, start, nullptr, start, start, nullptr);
    EXPECT_TRUE(checks().empty());
    c.ifc.register_callbacks(c.ctx(), 0, start, start, nullptr, start, start, nullptr);
    EXPECT_THAT(checks(), ElementsAre("bus-callbacks-twice"));
}

TEST_F(ContractTest, ANotificationCallbackSetTwiceWithoutClearing)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    auto callback = [](WDFDEVICE, PUCHAR, ULONG) -> BOOLEAN { return TRUE; };
    EXPECT_TRUE(c.ifc.cdc_set_notify_cb(c.ctx(), nullptr, callback));
    EXPECT_THAT(checks(), ElementsAre("bus-notify-callback-twice"));
    c.ifc.cdc_set_notify_cb(c.ctx(), nullptr, nullptr);
    EXPECT_TRUE(c.ifc.cdc_set_notify_cb(c.ctx(), nullptr, callback));
    EXPECT_EQ(checks().size(), 1u);
}

TEST_F(ContractTest, ADataOutBufferTouchedWhileItsTransferIsPosted)
{
    bus::CdcFunction& fn = make_function();
    fn.set_timing(bus::Timing::full_speed());
    DcClient& c = started_port(fn);
    ASSERT_TRUE(c.post_out(pattern(64)));
    c.out_buffer()[3] ^= 0xFF;   // before the next frame carries it
    ASSERT_TRUE(c.wait_outs(1));
    EXPECT_THAT(checks(), ElementsAre("bus-buffer-touched"));
    EXPECT_EQ(fn.received(), pattern(64));   // the device got what was posted
}

// The buffer is the bus's from the post until the completion routine runs:
// freeing it before is reported when it happens, and so is the device
// reading the freed pool afterwards.
TEST_F(ContractTest, ADataOutBufferFreedWhileItsTransferIsPosted)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    constexpr ULONG kTag = 0x74736554;   // 'tseT'
    auto* buffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, 64, kTag));
    std::memset(buffer, 'x', 64);
    fn.inject(bus::Op::data_out_post, bus::Fault::stall());
    ASSERT_TRUE(c.ifc.data_out_post(c.ctx(), buffer, 64, [](PVOID, NTSTATUS, ULONG) {}, nullptr, 0, 0));
    ExFreePoolWithTag(buffer, kTag);
    EXPECT_THAT(checks(), ElementsAre("pool-freed-while-in-use"));
    fn.release_stalls();
    fn.settle();
    EXPECT_THAT(checks(), ElementsAre("pool-freed-while-in-use", "bus-freed-buffer"));
    EXPECT_TRUE(fn.received().empty()) << "nothing of freed pool reaches the device";
}

TEST_F(ContractTest, OverlappingBuffersAndForeignContexts)
{
    bus::CdcFunction& fn = make_function();
    DcClient& c = started_port(fn);
    Bytes shared(128);
    auto done = [](PVOID, NTSTATUS, ULONG) {};
    fn.inject(bus::Op::data_in_post, bus::Fault::stall());
    ASSERT_TRUE(c.ifc.data_in_post(c.ctx(), shared.data(), 128, done, nullptr, 0, 0));
    ASSERT_TRUE(c.ifc.data_out_post(c.ctx(), shared.data() + 64, 16, done, nullptr, 0, 0));
    int not_a_child = 0;
    EXPECT_EQ(c.ifc.get_ui_number(&not_a_child), 0u);
    EXPECT_THAT(checks(), ElementsAre("bus-buffer-overlap", "bus-bad-context"));
    c.ifc.data_abort(c.ctx(), TRUE);
}

}  // namespace
}  // namespace bus_test
