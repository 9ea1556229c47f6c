// The driver module loaded as the system loads it: an application's reads
// and writes interleave on the loopback without loss, and a pending read
// ends cleanly on close.
#include "port_fixture.h"

namespace porttest {
namespace {

class PortLoopbackTest : public PortTest {
protected:
    PortLoopbackTest() : PortTest({ .module = ACMSERIAL_MODULE }) {}
};

TEST_F(PortLoopbackTest, ReadsAndWritesInterleaveWithoutLoss)
{
    start();
    open();
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
    open();
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
