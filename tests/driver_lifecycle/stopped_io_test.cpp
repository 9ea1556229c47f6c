// While I/O is stopped requests fail with a delay, a purge succeeds at once,
// and the close waits for the delayed failures; removal with the port open
// ends the open once, whoever gets there first.
#include "lifecycle_fixture.h"

#include "host/io/iomgr.h"

namespace lifecycle {
namespace {

constexpr host::Time kDelay = 100 * host::kMillisecond;

class StoppedIoTest : public LifecycleTest {
protected:
    void SetUp() override
    {
        started();
        open();
        ASSERT_EQ(fn_->port().io_stop(), STATUS_SUCCESS);
        fn_->settle();
    }
};

TEST_F(StoppedIoTest, AReadFailsWithDeletePendingAfterTheDelayAndAPurgeSucceedsAtOnce)
{
    const host::Time issued = host::now();
    auto io = read();
    auto purged = purge();
    EXPECT_TRUE(purged->done());
    EXPECT_EQ(purged->status(), STATUS_SUCCESS);
    EXPECT_EQ(fdx_->delete_pending_count, 1);

    sleep_for(kDelay - host::kMillisecond);
    EXPECT_FALSE(io->done()) << "not before the delay";
    DWORD bytes = 1;
    GetOverlappedResult(file_, &io->overlapped, &bytes, TRUE);
    EXPECT_GE(host::now() - issued, kDelay);
    EXPECT_EQ(io->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(bytes, 0u);
    sleep_for(host::kMillisecond);   // the count drops once the completion has returned
    EXPECT_EQ(fdx_->delete_pending_count, 0);
    expect_verifier_silent();
}

TEST_F(StoppedIoTest, CloseWaitsForEveryDelayedFailure)
{
    const host::Time issued = host::now();
    std::vector<std::unique_ptr<Io>> reads;
    for (int i = 0; i < 3; ++i)
        reads.push_back(read());

    close();
    EXPECT_GE(host::now() - issued, kDelay);
    for (const auto& io : reads) {
        EXPECT_TRUE(io->done());
        EXPECT_EQ(io->status(), STATUS_DELETE_PENDING);
    }
    EXPECT_EQ(fdx_->delete_pending_count, 0);
    EXPECT_EQ(calls("last_handle_closed"), 1);
    expect_verifier_silent();
}

// --- removal with the port open ------------------------------------------------

TEST_F(LifecycleTest, RemovalWithTheHandleOpenEndsTheOpenOnceAndWithdrawsTheNames)
{
    started();
    open();
    ASSERT_TRUE(host::io::resolve_link(u"\\DosDevices\\COM5").has_value());

    ASSERT_EQ(host_->remove(node_), STATUS_SUCCESS);
    EXPECT_EQ(calls("last_handle_closed"), 1);
    EXPECT_FALSE(fn_->port().transport_enabled());
    EXPECT_FALSE(fn_->port().callbacks_registered());
    EXPECT_FALSE(host::io::resolve_link(u"\\DosDevices\\COM5").has_value());
    EXPECT_TRUE(host_->device_map().empty());

    close();   // the handle's own cleanup finds the open ended
    EXPECT_EQ(calls("last_handle_closed"), 1);
    expect_verifier_silent();
}

TEST_F(LifecycleTest, RemovalCancelsAPendingRead)
{
    auto io = pending_read();
    ASSERT_FALSE(io->done());

    ASSERT_EQ(host_->remove(node_), STATUS_SUCCESS);
    EXPECT_TRUE(io->done());
    EXPECT_EQ(io->status(), STATUS_CANCELLED);
    EXPECT_EQ(calls("last_handle_closed"), 1);
    close();
    expect_verifier_silent();
}

TEST_F(LifecycleTest, SurpriseRemovalWithAReadFailingCompletesEverything)
{
    started();
    open();
    fn_->set_removal_handler([this] { host_->surprise_remove(node_); });
    ASSERT_EQ(fn_->port().io_stop(), STATUS_SUCCESS);
    auto io = read();

    fn_->surprise_remove();
    host_->settle();
    close();
    host_->settle();   // the removal ends once the close has ended the open
    EXPECT_TRUE(io->done());
    EXPECT_EQ(io->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(calls("last_handle_closed"), 1);
    EXPECT_FALSE(host::io::resolve_link(u"\\DosDevices\\COM5").has_value());
    expect_verifier_silent();
}

}  // namespace
}  // namespace lifecycle
