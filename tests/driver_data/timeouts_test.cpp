// The serial read time-outs: how the three read values select a due time,
// and what a read does under each kind of setting; the time-out controls.
#include "data_fixture.h"

#include "acm_read.h"

#include <cstring>

namespace datatest {
namespace {

constexpr ULONG M = MAXULONG;

struct Row {
    ULONG interval, multiplier, constant;
    ULONG length;
    LONGLONG due_time;   // read_timeout, 100-ns units
    BOOLEAN return_at_once;
};

TEST(ReadTimeoutTable, EveryRowGivesItsDueTime)
{
    const Row rows[] = {
        { 0, 0, 0, 10, 0, FALSE },
        { 0, 10, 100, 10, -2'000'000, FALSE },
        { 5, M, M, 2, -((2LL * M + M) * 10'000), FALSE },   // plain numbers, 64 bits
        { M, 0, 0, 10, 0, TRUE },
        { M, 0, M, 10, 0, FALSE },
        { M, 0, 300, 10, -3'000'000, FALSE },
        { M, M, 0, 10, 0, FALSE },
        { M, M, 500, 1000, -5'000'000, FALSE },
        { M, 7, M, 10, 0, FALSE },
        { M, 7, 30, 10, -1'000'000, FALSE },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.interval << "/" << row.multiplier << "/" << row.constant);
        ACM_FDO_DATA fdx{};
        fdx.timeouts = { row.interval, row.multiplier, row.constant, 0, 0 };
        fdx.spin_lock_owner = KeGetCurrentThread();   // the table alone: this thread stands for spin_lock's holder
        BOOLEAN at_once = 2;
        acm_read_timeout_update(&fdx, row.length, &at_once);
        EXPECT_EQ(fdx.read_timeout, row.due_time);
        EXPECT_EQ(at_once, row.return_at_once);
    }
}

class TimeoutTest : public DataTest {
protected:
    void SetUp() override
    {
        start();
        open();
    }
    // The read's outcome and how long it took, in ms of host time.
    std::pair<std::string, host::Time> timed_read(DWORD length, LONGLONG send_after_ms = -1, std::string bytes = "")
    {
        const host::Time begin = host::now();
        auto io = read(length);
        if (send_after_ms >= 0) {
            sleep_ms(send_after_ms);
            fn_->send(bytes);
        }
        wait(*io);
        last_data_ = io->data();
        return { io->result(), elapsed_ms(begin) };
    }
    void data_in_ring(std::string_view bytes)
    {
        fn_->send(bytes);
        fn_->settle();
        ASSERT_EQ(fdx_->read_buffer_bytes, bytes.size());
    }
    std::string last_data_;
};

TEST_F(TimeoutTest, ReturnAtOnceWithWhatIsThere)
{
    ASSERT_TRUE(set_timeouts(M, 0, 0));
    EXPECT_EQ(timed_read(10), std::make_pair(outcome(STATUS_SUCCESS, 0), host::Time(0)));
    data_in_ring("abc");
    EXPECT_EQ(timed_read(10), std::make_pair(outcome(STATUS_SUCCESS, 3), host::Time(0)));
    EXPECT_EQ(last_data_, "abc");
}

TEST_F(TimeoutTest, NoTimeOutsWaitForTheFirstDataAndReturnFewerBytes)
{
    ASSERT_TRUE(set_timeouts(0, 0, 0));
    EXPECT_EQ(timed_read(10, 3000, "abcd"), std::make_pair(outcome(STATUS_SUCCESS, 4), host::Time(3000)));
    EXPECT_EQ(last_data_, "abcd");
}

TEST_F(TimeoutTest, TotalTimeOutOfATenByteReadIsTwoHundredMilliseconds)
{
    ASSERT_TRUE(set_timeouts(0, 10, 100));
    EXPECT_EQ(timed_read(10), std::make_pair(outcome(STATUS_TIMEOUT, 0), host::Time(200)));
    EXPECT_EQ(fdx_->read_timeout, -2'000'000);
    // Data before the time-out ends the read at once.
    EXPECT_EQ(timed_read(10, 150, "xy"), std::make_pair(outcome(STATUS_SUCCESS, 2), host::Time(150)));
}

TEST_F(TimeoutTest, ConstantOnlyWaitsUpToIt)
{
    ASSERT_TRUE(set_timeouts(M, M, 500));
    for (DWORD length : { 1u, 1000u }) {
        SCOPED_TRACE(length);
        EXPECT_EQ(timed_read(length), std::make_pair(outcome(STATUS_TIMEOUT, 0), host::Time(500)));
    }
    EXPECT_EQ(timed_read(1000, 300, "late"), std::make_pair(outcome(STATUS_SUCCESS, 4), host::Time(300)));
    data_in_ring("ready");
    EXPECT_EQ(timed_read(1000), std::make_pair(outcome(STATUS_SUCCESS, 5), host::Time(0)));
}

TEST_F(TimeoutTest, QueuedReadsTheRingSatisfiesCompleteTogetherWithThePendedOne)
{
    ASSERT_TRUE(set_timeouts(0, 0, 0));
    auto first = read(3);
    auto second = read(3);
    auto third = read(3);
    sleep_ms(10);
    EXPECT_FALSE(first->done() || second->done() || third->done());
    fn_->send("abcdefghi");
    EXPECT_EQ(wait(*first).data(), "abc");
    EXPECT_EQ(wait(*second).data(), "def");
    EXPECT_EQ(wait(*third).data(), "ghi");
}

TEST_F(TimeoutTest, CancelledPendedReadCompletesWithNoBytes)
{
    ASSERT_TRUE(set_timeouts(M, M, 500));
    auto io = read(8);
    sleep_ms(100);
    cancel(*io);
    EXPECT_EQ(wait(*io).result(), outcome(STATUS_CANCELLED, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    // The timer went with it: the next read waits its own full time.
    EXPECT_EQ(timed_read(8), std::make_pair(outcome(STATUS_TIMEOUT, 0), host::Time(500)));
}

TEST_F(TimeoutTest, SetAndGetTimeouts)
{
    const SERIAL_TIMEOUTS set{ M, 0, 250, 3, 4 };
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, nullptr, 0));
    SERIAL_TIMEOUTS got{};
    DWORD returned = 0;
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &got, sizeof got, &returned));
    EXPECT_EQ(returned, sizeof got);
    EXPECT_EQ(std::memcmp(&got, &set, sizeof got), 0);

    // All three read values MAXULONG is refused and changes nothing; two are fine.
    const SERIAL_TIMEOUTS invalid{ M, M, M, 0, 0 };
    EXPECT_FALSE(ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &invalid, sizeof invalid, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &got, sizeof got));
    EXPECT_EQ(got.ReadTotalTimeoutConstant, 250u);
    EXPECT_TRUE(set_timeouts(M, M, 0));
    ASSERT_TRUE(ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &got, sizeof got));
    EXPECT_EQ(got.ReadIntervalTimeout, M);
    EXPECT_EQ(got.ReadTotalTimeoutMultiplier, M);
    EXPECT_EQ(got.ReadTotalTimeoutConstant, 0u);
}

TEST_F(TimeoutTest, ControlsThatCannotBeServed)
{
    SERIAL_TIMEOUTS t{};
    EXPECT_FALSE(ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t - 1, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t - 1));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));

    EXPECT_FALSE(ioctl(IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));

    LONG handles = fdx_->common.ref_count;
    fdx_->common.ref_count = 0;   // no open handle counted
    EXPECT_FALSE(ioctl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_GEN_FAILURE));
    fdx_->common.ref_count = handles;
}

}  // namespace
}  // namespace datatest
