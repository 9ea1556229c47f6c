// Faults: a purge whose abort never takes effect and the late completion of
// the transfer it gave up on, a purge racing with a post, and allocation
// failures during the start.
#include "bind_fixture.h"
#include "read_request.h"

#include "host/kernel/verifier.h"

namespace bindtest {
namespace {

TEST_F(BindTest, PurgeGivesUpAfterTenThousandChecksAndTheLateTransferIsStillAccounted)
{
    ASSERT_NE(started(), nullptr);
    open_stream();
    device_sends("one");
    device_sends("two");
    ASSERT_EQ(copied_out(fdx_, 6), "onetwo");
    ASSERT_EQ(fdx_->desc_end, 2u);

    fn_->inject(bus::Op::data_abort, bus::Fault::ignore());
    const host::Time before = host::now();
    acm_data_in_purge(fdx_);
    const host::Time waited = host::now() - before;
    EXPECT_GE(waited, 9'999 * host::kMillisecond);
    EXPECT_LT(waited, 10'001 * host::kMillisecond);
    EXPECT_EQ(fdx_->data_in_purged, 0);
    EXPECT_EQ(fdx_->data_in_pending, 1u);

    // The transfer the bus still holds keeps its descriptor: nothing else is
    // posted, and its late bytes land where the ring expects them.
    EXPECT_EQ(fdx_->desc_end, 2u);
    EXPECT_TRUE(desc(2).posted);
    acm_read_data_in(fdx_);
    EXPECT_EQ(fn_->port().calls("data_in_post"), 3);

    device_sends("late");
    EXPECT_EQ(fdx_->data_in_pending, 1u);   // the next descriptor is posted
    EXPECT_TRUE(desc(3).posted);
    EXPECT_EQ(fdx_->read_buffer_bytes, 4u);
    EXPECT_EQ(copied_out(fdx_, 10), "late");
}

TEST_F(BindTest, PurgeAboveDispatchDoesNotWait)
{
    ASSERT_NE(started(), nullptr);
    open_stream();
    fn_->inject(bus::Op::data_abort, bus::Fault::ignore());
    const host::Time before = host::now();
    KIRQL old_irql;
    KeRaiseIrql(DISPATCH_LEVEL, &old_irql);
    acm_data_in_purge(fdx_);
    KeLowerIrql(old_irql);
    EXPECT_EQ(host::now(), before);
    EXPECT_EQ(fdx_->data_in_purged, 0);
    EXPECT_TRUE(desc(0).posted);
}

// A purge racing with the completion that posts the next transfer: however
// the two interleave, the purge never waits out its time-out for a transfer
// posted behind its abort, and the ring and the bus agree afterwards.
TEST_F(BindTest, PurgeRacingWithAPostNeverWaitsForIt)
{
    for (uint64_t seed = 1; seed <= 200; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        fdx_ = nullptr;
        make({}, seed);
        ASSERT_NE(plug(), nullptr);
        open_stream();

        fn_->send(std::string_view("x"));   // its completion posts the next descriptor
        const host::Time before = host::now();
        acm_data_in_purge(fdx_);
        fn_->settle();

        EXPECT_LT(host::now() - before, 100 * host::kMillisecond);
        const bool outstanding = fn_->data_in_outstanding();
        EXPECT_EQ(fdx_->data_in_pending, outstanding ? 1u : 0u);
        EXPECT_EQ(desc(fdx_->desc_end).posted, outstanding);
        close_stream();
    }
}

}  // namespace
}  // namespace bindtest

namespace bindtest {
namespace {

// Each framework allocation of the start failing in turn, and with it every
// later one: a start that fails keeps no reference on the interface, one
// that succeeds (a failed read of an optional value counts as 0, a missing
// read-in work item is survived) keeps exactly one.
TEST_F(BindTest, EveryAllocationFailureOfTheStartLeavesTheInterfaceBalanced)
{
    make();
    host::verifier_fail_allocations_after(-1);
    const long before = host::verifier_allocation_count();
    ASSERT_NE(plug(), nullptr);
    const long total = host::verifier_allocation_count() - before;
    ASSERT_GT(total, 0);

    size_t failed_starts = 0;
    for (long n = 0; n < total; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n + 1) + " of " + std::to_string(total) + " fails");
        fdx_ = nullptr;
        make();
        ASSERT_EQ(host_->load_driver(u"acmserial", DriverEntry), STATUS_SUCCESS);
        host::verifier_fail_allocations_after(n);
        host::io::DeviceNode* node = host_->plug(fn_->port().description());
        host::verifier_fail_allocations_after(-1);
        EXPECT_EQ(fn_->port().references(), node ? 1 : 0);
        failed_starts += node == nullptr;
    }
    EXPECT_GT(failed_starts, 0u);
}

}  // namespace
}  // namespace bindtest
