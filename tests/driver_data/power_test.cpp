// Reads and writes across power transitions of the device and a suspend of
// the bus: a pended read keeps its time-out (restarted in full after D0
// entry), a write waits for D0, a suspend loses nothing and hangs nothing.
#include "bus_power.h"
#include "data_fixture.h"

namespace datatest {
namespace {

class PowerTest : public DataTest {
protected:
    void SetUp() override
    {
        start();
        open();
    }
    void power(host::io::DevicePower state) { ASSERT_EQ(host_->set_power(node_, state), STATUS_SUCCESS); }

};

// A read that waited in read_queue belongs to a power-managed queue: the
// power-down stops it and holds its timer, the return to D0 restarts the
// timer with the whole time-out.
TEST_F(PowerTest, QueuedReadKeepsItsTimeOutAcrossD2RestartedInFull)
{
    ASSERT_TRUE(set_timeouts(MAXULONG, MAXULONG, 500));
    auto first = read(8);
    auto queued = read(8);
    sleep_ms(10);
    fn_->send("x");
    EXPECT_EQ(wait(*first).data(), "x");   // the queued read is now pended, its timer running
    sleep_ms(400);
    power(host::io::DevicePower::D2);
    sleep_ms(300);
    EXPECT_FALSE(queued->done());
    const host::Time back = host::now();
    power(host::io::DevicePower::D0);
    wait(*queued);
    EXPECT_EQ(queued->result(), outcome(STATUS_TIMEOUT, 0));
    EXPECT_GE(elapsed_ms(back), 500);   // not the 100 ms it had left
    EXPECT_LE(elapsed_ms(back), 505);   // the power-up's own few

    // Still the port it was: a read gets data.
    auto next = read(8);
    fn_->send("after");
    EXPECT_EQ(wait(*next).data(), "after");
    expect_verifier_silent();
}

// A read started straight from the default queue, which is not power
// managed, is not stopped: its time-out runs on through D2.
TEST_F(PowerTest, ReadFromTheDefaultQueueTimesOutThroughD2)
{
    ASSERT_TRUE(set_timeouts(MAXULONG, MAXULONG, 500));
    const host::Time begin = host::now();
    auto io = read(8);
    sleep_ms(400);
    power(host::io::DevicePower::D2);
    wait(*io);
    EXPECT_EQ(io->result(), outcome(STATUS_TIMEOUT, 0));
    EXPECT_EQ(elapsed_ms(begin), 500);
    power(host::io::DevicePower::D0);
    expect_verifier_silent();
}

TEST_F(PowerTest, WriteIssuedInD2WaitsForD0)
{
    power(host::io::DevicePower::D2);
    auto io = write("while asleep");
    sleep_ms(100);
    EXPECT_FALSE(io->done());
    EXPECT_TRUE(data_out().empty());
    power(host::io::DevicePower::D0);
    EXPECT_EQ(wait(*io).result(), outcome(STATUS_SUCCESS, 12));
    EXPECT_EQ(device_received(), "while asleep");
    EXPECT_EQ(read_back(12), "while asleep");
    expect_verifier_silent();
}

// The power-down stops the write queue while the write's transfer is with
// the bus; the transfer still ends, and its completion finishes the write
// that the stopped queue holds.
TEST_F(PowerTest, WritePostedAcrossD2CompletesWhenItsTransferEnds)
{
    start(1, {}, host::Mode::controlled, 4);
    open();
    fn_->set_timing(bus::Timing::full_speed());
    const std::string sent = pattern(32 * 1024);   // some 27 ms on the bus
    auto io = write(sent);
    sleep_ms(5);
    ASSERT_FALSE(io->done());
    power(host::io::DevicePower::D2);
    sleep_ms(100);
    EXPECT_TRUE(io->done()) << "the stopped queue still holds the write";
    power(host::io::DevicePower::D0);
    EXPECT_EQ(wait(*io).result(), outcome(STATUS_SUCCESS, sent.size()));
    EXPECT_EQ(device_received(), sent);
    EXPECT_EQ(fdx_->current_write_request, nullptr);

    auto next = write("next");   // the slot is free
    EXPECT_EQ(wait(*next).result(), outcome(STATUS_SUCCESS, 4));
    expect_verifier_silent();
}

TEST_F(PowerTest, PendedReadWithATimeOutDoesNotHangAcrossABusSuspend)
{
    ASSERT_TRUE(set_timeouts(MAXULONG, MAXULONG, 300));
    auto io = read(8);
    sleep_ms(100);
    porttest::bus_suspends(*fn_);
    sleep_ms(1000);
    porttest::bus_resumes(*fn_);
    wait(*io);
    EXPECT_EQ(io->result(), outcome(STATUS_TIMEOUT, 0));
    expect_verifier_silent();
}

TEST_F(PowerTest, PendedReadGetsDataSentAfterABusResume)
{
    ASSERT_TRUE(set_timeouts(0, 0, 0));
    fn_->send("before");
    EXPECT_EQ(read_back(6), "before");
    ASSERT_TRUE(set_timeouts(0, 0, 0));
    auto io = read(8);
    porttest::bus_suspends(*fn_);
    porttest::bus_resumes(*fn_);
    fn_->send("resumed");
    EXPECT_EQ(wait(*io).data(), "resumed");
}

}  // namespace
}  // namespace datatest
