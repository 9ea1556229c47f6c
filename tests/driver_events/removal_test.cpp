// Surprise removal while a wait and a purge are pending: both complete,
// nothing is left behind for the verifier to report.
#include "events_fixture.h"

#include "host/io/pnp.h"

namespace eventstest {
namespace {

class RemovalTest : public EventTest {
protected:
    // A purge that waits for a data-out transfer the function neither
    // finishes nor aborts.
    std::unique_ptr<Io> pending_purge(ULONG flags)
    {
        fn_->inject(bus::Op::data_out_post, bus::Fault::stall());
        fn_->inject(bus::Op::data_abort, bus::Fault::ignore().always());
        stuck_write_ = write("stuck");
        sleep_ms(1);
        auto purge = std::make_unique<Io>();
        purge->buffer.assign(reinterpret_cast<const char*>(&flags), sizeof flags);
        // The purge runs in its caller's thread until it is done.
        purger_ = host::spawn("purger", [this, io = purge.get()] {
            DeviceIoControl(handle(), IOCTL_SERIAL_PURGE, io->buffer.data(), sizeof(ULONG), nullptr, 0, nullptr,
                            &io->overlapped);
        });
        sleep_ms(5);
        return purge;
    }
    void surprise_remove()
    {
        fn_->set_removal_handler([this] { host_->surprise_remove(node_); });
        fn_->surprise_remove();
    }
    std::unique_ptr<Io> stuck_write_;
    host::Thread* purger_ = nullptr;
};

TEST_F(RemovalTest, AWaitAndAPurgePendingBothCompleteAtSurpriseRemoval)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_DSR));
    auto w = wait_event();
    auto purge = pending_purge(PURGE_TXCLEAR | PURGE_RXCLEAR);
    ASSERT_FALSE(purge->done()) << "the purge waits for the transfer";
    ASSERT_FALSE(w->done());

    surprise_remove();
    host::join(purger_);
    // The purge ends itself when the removal ends the transfer.
    EXPECT_EQ(wait(*purge).result(), outcome(STATUS_SUCCESS, 0));
    EXPECT_EQ(finish(*w).result(), kCancelled0);
    wait(*stuck_write_);
    close();
    host_->settle();
    EXPECT_EQ(node_->state, host::io::NodeState::removed);
    expect_verifier_silent();
}

// The application closes the port while the removal runs and the purge
// still waits: the purge routine ends before the device goes.
TEST_F(RemovalTest, ClosingDuringRemovalWithAPurgeRunningLeavesNothingBehind)
{
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        opened(seed);
        ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR));
        auto w = wait_event();
        auto purge = pending_purge(PURGE_TXABORT | PURGE_TXCLEAR);
        fn_->set_removal_handler([this] { host_->surprise_remove(node_); });
        host::Thread* remover = host::spawn("remover", [this] { fn_->surprise_remove(); });
        sleep_for(host::Time(seed % 7) * host::kMillisecond);
        close();
        host::join(remover);
        host::join(purger_);
        host_->settle();
        EXPECT_TRUE(w->done());
        EXPECT_TRUE(purge->done());
        EXPECT_TRUE(stuck_write_->done());
        EXPECT_EQ(node_->state, host::io::NodeState::removed);
        expect_verifier_silent(seed);
        if (HasFailure())
            return;
    }
}

}  // namespace
}  // namespace eventstest
