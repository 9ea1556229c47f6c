// An application writes to the port and reads the loopback's answer: every
// byte comes back intact, each write reaches the device as one transfer of
// its whole length, and a pending read and write end cleanly on close.
#include "port_fixture.h"

namespace porttest {
namespace {

class PortLoopbackTest : public PortTest {};

TEST_F(PortLoopbackTest, EveryByteComesBackAndEachWriteIsOneTransfer)
{
    for (size_t size : { size_t(1), size_t(64), size_t(4096), size_t(1) << 20 }) {
        SCOPED_TRACE(size);
        start();
        const std::string sent = pattern(size);
        auto w = write(sent);
        EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, size));
        EXPECT_EQ(first_difference(read_back(size), sent), "");

        auto out = data_out();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].length, size);
        expect_verifier_silent();
    }
}

TEST_F(PortLoopbackTest, ReadsAndWritesInterleaveWithoutLoss)
{
    start();
    fn_->set_timing(bus::Timing::full_speed());
    ASSERT_TRUE(set_timeouts(0, 0, 0));
    std::string sent, got;
    auto pending = read(300);
    for (int i = 0; i < 20; i++) {
        sent += pattern(100 + i * 37, sent.size());
        auto w = write(sent.substr(sent.size() - (100 + i * 37)));
        while (!w->done()) {
            wait(*pending);
            got += pending->data();
            pending = read(300);
        }
        EXPECT_EQ(w->result(), outcome(STATUS_SUCCESS, 100 + i * 37));
    }
    cancel(*pending);
    wait(*pending);
    got += pending->data();
    got += read_back(sent.size() - got.size(), 50);
    EXPECT_EQ(first_difference(got, sent), "");
    EXPECT_EQ(data_out().size(), 20u);
    expect_verifier_silent();
}

TEST_F(PortLoopbackTest, CloseEndsAPendingReadWithOperationAborted)
{
    start();
    auto io = read(10);
    sleep_ms(50);
    EXPECT_FALSE(io->done());
    close();
    EXPECT_TRUE(io->done());
    EXPECT_EQ(io->result(), outcome(STATUS_CANCELLED, 0));
    expect_verifier_silent();
}

}  // namespace
}  // namespace porttest
