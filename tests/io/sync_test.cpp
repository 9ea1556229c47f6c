// Events and waits in the host's virtual time.
#include "host/host.h"
#include "win32.h"

#include <gtest/gtest.h>

namespace {

class WaitTest : public ::testing::Test {
protected:
    host::Host host;
};

TEST_F(WaitTest, AutoResetEventsReleaseOneWaitManualEventsStaySignaled)
{
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_OBJECT_0));
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_TIMEOUT));
    CloseHandle(automatic);
    CloseHandle(manual);
}

TEST_F(WaitTest, TimeOutsAndSleepsTakeExactlyTheirVirtualTime)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    host::Time start = host::now();
    EXPECT_EQ(WaitForSingleObject(event, 250), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(host::now() - start, 250 * host::kMillisecond);
    Sleep(1000);
    EXPECT_EQ(host::now() - start, 1250 * host::kMillisecond);
    CloseHandle(event);
}

TEST_F(WaitTest, WaitAnyReportsTheFirstSignaledWaitAllNeedsEveryOne)
{
    HANDLE events[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr), CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    host::Thread* setter = host::spawn("setter", [&] {
        Sleep(10);
        SetEvent(events[1]);
        Sleep(10);
        SetEvent(events[0]);
    });
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, INFINITE), DWORD(WAIT_OBJECT_0 + 1));
    EXPECT_EQ(host::now(), 10 * host::kMillisecond);
    SetEvent(events[1]);
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, INFINITE), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(host::now(), 20 * host::kMillisecond);
    EXPECT_EQ(WaitForMultipleObjects(2, events, FALSE, 0), DWORD(WAIT_TIMEOUT)) << "both were auto-reset";
    host::join(setter);
    for (HANDLE h : events)
        CloseHandle(h);
}

TEST_F(WaitTest, BadHandlesAndCountsFailTheWait)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE handles[2] = {event, reinterpret_cast<HANDLE>(0x1234)};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(WaitForMultipleObjects(0, handles, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    CloseHandle(event);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(HandleTableTest, HandlesOfAnEarlierHostAreInvalid)
{
    HANDLE stale = nullptr;
    {
        host::Host host;
        stale = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        EXPECT_EQ(WaitForSingleObject(stale, 0), DWORD(WAIT_OBJECT_0));
    }
    host::Host next;
    EXPECT_FALSE(SetEvent(stale));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    HANDLE fresh = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(fresh, stale) << "handle values repeat from run to run";
}

}  // namespace
