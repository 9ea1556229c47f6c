// WaitCommEvent: a pending wait ends with the first event of interest from
// the receive path, the transmit path or the function's SERIAL_STATE;
// events that came before the wait are delivered at once from the history;
// a mask change, a cancel or a close ends a pending wait.
#include "events_fixture.h"

namespace eventstest {
namespace {

class WaitTest : public EventTest {};

TEST_F(WaitTest, RxcharEndsTheWaitWhenTheFirstByteArrives)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_DSR));
    auto w = wait_event();
    sleep_ms(50);
    EXPECT_FALSE(w->done());

    fn_->send("x");
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_RXCHAR));
    EXPECT_EQ(read_back(1), "x");
    expect_verifier_silent();
}

TEST_F(WaitTest, TxemptyEndsTheWaitWhenTheWritesTransferEnds)
{
    opened();
    fn_->set_timing(bus::Timing::full_speed());
    ASSERT_TRUE(SetCommMask(handle(), EV_TXEMPTY));
    auto w = wait_event();
    auto wr = write(pattern(4096));
    sleep_ms(1);
    EXPECT_FALSE(w->done()) << "the transfer is still on the bus";

    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_TXEMPTY));
    EXPECT_EQ(wait(*wr).result(), outcome(STATUS_SUCCESS, 4096));
    expect_verifier_silent();
}

// What the function reports through SERIAL_STATE, as the event it raises.
struct LineCase {
    const char* name;
    DWORD mask;
    std::function<void(bus::CdcFunction&)> report;
    DWORD events;
};

TEST_F(WaitTest, TheFunctionsLineStateEndsTheWaitWithItsEvent)
{
    const LineCase cases[] = {
        { "DSR", EV_DSR, [](bus::CdcFunction& f) { f.serial_state(CDC_SERIAL_STATE_TX_CARRIER); }, EV_DSR },
        { "RLSD", EV_RLSD, [](bus::CdcFunction& f) { f.serial_state(CDC_SERIAL_STATE_RX_CARRIER); }, EV_RLSD },
        { "both carriers", EV_DSR | EV_RLSD, [](bus::CdcFunction& f) { f.serial_state(0x0003); }, EV_DSR | EV_RLSD },
        { "RING", EV_RING, [](bus::CdcFunction& f) { f.line_event(CDC_SERIAL_STATE_RING_SIGNAL); }, EV_RING },
        { "BREAK", EV_BREAK, [](bus::CdcFunction& f) { f.line_event(CDC_SERIAL_STATE_BREAK); }, EV_BREAK },
        { "framing", EV_ERR, [](bus::CdcFunction& f) { f.line_event(CDC_SERIAL_STATE_FRAMING); }, EV_ERR },
        { "overrun", EV_ERR, [](bus::CdcFunction& f) { f.line_event(CDC_SERIAL_STATE_OVERRUN); }, EV_ERR },
        { "parity", EV_ERR, [](bus::CdcFunction& f) { f.line_event(CDC_SERIAL_STATE_PARITY); }, EV_ERR },
        { "only what the mask asks", EV_RING, [](bus::CdcFunction& f) { f.serial_state(0x0003 | 0x0008); }, EV_RING },
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        opened();
        ASSERT_TRUE(SetCommMask(handle(), c.mask));
        auto w = wait_event();
        c.report(*fn_);
        EXPECT_EQ(finish(*w).result(), kWaitDone);
        EXPECT_EQ(w->events, c.events);
        expect_verifier_silent();
    }
}

TEST_F(WaitTest, ACarrierThatDoesNotChangeRaisesNothing)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_DSR | EV_RLSD | EV_RING));
    fn_->serial_state(0x0003);
    settle();
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(events, DWORD(EV_DSR | EV_RLSD));

    auto w = wait_event();
    fn_->serial_state(0x0003);
    settle();
    EXPECT_FALSE(w->done());
    fn_->line_event(CDC_SERIAL_STATE_RING_SIGNAL);
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_RING)) << "the carriers were already up";
}

// The modem raises RING for an incoming call and DCD while connected.
TEST_F(WaitTest, AModemsRingAndCarrierReachTheApplication)
{
    start();
    auto modem = std::make_shared<bus::AtModem>(0);
    fn_->set_behaviour(modem);
    open();
    ASSERT_TRUE(SetCommMask(handle(), EV_RING | EV_RLSD));
    auto w = wait_event();
    modem->ring();
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_RING));
    EXPECT_EQ(modem_status() & MS_RLSD_ON, 0u);

    w = wait_event();
    auto answer = write("ATA\r");
    EXPECT_EQ(wait(*answer).result(), outcome(STATUS_SUCCESS, 4));
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_RLSD));
    EXPECT_EQ(modem_status(), DWORD(MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON));
    expect_verifier_silent();
}

TEST_F(WaitTest, EventsBeforeTheWaitAreDeliveredAtOnceFromTheHistory)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR | EV_BREAK));
    fn_->send("abc");
    fn_->line_event(CDC_SERIAL_STATE_BREAK);
    settle();

    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(events, DWORD(EV_RXCHAR | EV_BREAK));
    auto w = wait_event();
    sleep_ms(20);
    EXPECT_FALSE(w->done()) << "the history was used up";
    fn_->send("d");
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_RXCHAR));
}

TEST_F(WaitTest, AnEventOutsideTheMaskIsNeverReportedEvenAfterTheMaskWidens)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RING));
    fn_->send("abc");
    fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER);
    settle();
    ASSERT_TRUE(SetCommMask(handle(), EV_RING | EV_RXCHAR | EV_DSR));
    auto w = wait_event();
    sleep_ms(20);
    EXPECT_FALSE(w->done());
    fn_->line_event(CDC_SERIAL_STATE_RING_SIGNAL);
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, DWORD(EV_RING));
}

TEST_F(WaitTest, SetCommMaskEndsAPendingWaitWithWhatSurvivesTheNewMask)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR));
    auto w = wait_event();
    ASSERT_TRUE(SetCommMask(handle(), EV_DSR));
    EXPECT_EQ(finish(*w).result(), kWaitDone);
    EXPECT_EQ(w->events, 0u);
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(handle(), &mask));
    EXPECT_EQ(mask, DWORD(EV_DSR));

    // History of the old mask that the new one keeps is delivered.
    ASSERT_TRUE(SetCommMask(handle(), EV_DSR | EV_RXCHAR));
    fn_->send("a");
    fn_->serial_state(CDC_SERIAL_STATE_TX_CARRIER);
    settle();
    ASSERT_TRUE(SetCommMask(handle(), EV_DSR));
    DWORD events = 0;
    ASSERT_TRUE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(events, DWORD(EV_DSR));
    expect_verifier_silent();
}

TEST_F(WaitTest, ASecondWaitFailsAndTheFirstStaysPending)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR));
    auto first = wait_event();
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(first->done());

    fn_->send("a");
    EXPECT_EQ(finish(*first).result(), kWaitDone);
    EXPECT_EQ(first->events, DWORD(EV_RXCHAR));
    expect_verifier_silent();
}

TEST_F(WaitTest, AWaitOnAnEmptyMaskFails)
{
    opened();
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(handle(), &events, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
}

TEST_F(WaitTest, CancelIoExEndsAPendingWait)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR));
    auto w = wait_event();
    ASSERT_TRUE(CancelIoEx(handle(), &w->overlapped));
    EXPECT_EQ(finish(*w).result(), kCancelled0);

    // The port waits again as before.
    auto again = wait_event();
    fn_->send("a");
    EXPECT_EQ(finish(*again).result(), kWaitDone);
    expect_verifier_silent();
}

TEST_F(WaitTest, CloseEndsAPendingWait)
{
    opened();
    ASSERT_TRUE(SetCommMask(handle(), EV_RXCHAR));
    auto w = wait_event();
    close();
    EXPECT_TRUE(w->done());
    EXPECT_EQ(w->result(), kCancelled0);
    expect_verifier_silent();
}

}  // namespace
}  // namespace eventstest
