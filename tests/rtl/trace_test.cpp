// The debugger trace: line assembly, host-time stamps, host lines, and the
// readers tests and tools use.
#include <gtest/gtest.h>

#include "os_threads.h"

#include <ntddk.h>

#include "host/kernel/sched.h"
#include "host/rtl/trace.h"

namespace {

class Trace : public ::testing::Test {
protected:
    void SetUp() override { host::trace_clear(); }
    void TearDown() override { host::trace_set_live(nullptr); }
};

TEST_F(Trace, AssemblesLinesFromFragments)
{
    host::trace_write("acm: ");
    host::trace_write("first\nsecond\nthi");
    EXPECT_EQ(host::trace_lines().size(), 2u);
    host::trace_write("rd\n\n");
    EXPECT_EQ(host::trace_lines(),
              (std::vector<std::string>{"[    0.000000] acm: first", "[    0.000000] second",
                                        "[    0.000000] third", "[    0.000000] "}));
}

TEST_F(Trace, HostLinesAreMarkedAndLeaveAPendingLineAlone)
{
    host::trace_write("driver half");
    host::trace_host("plug: COM5\nstart");
    host::trace_write(" line\n");
    EXPECT_EQ(host::trace_text(),
              "[    0.000000] host: plug: COM5\n"
              "[    0.000000] host: start\n"
              "[    0.000000] driver half line");
}

TEST_F(Trace, TailCountAndClear)
{
    for (int i = 0; i < 5; ++i)
        host::trace_write("line " + std::to_string(i) + (i % 2 ? " odd\n" : "\n"));
    EXPECT_EQ(host::trace_tail(2), (std::vector<std::string>{"[    0.000000] line 3 odd", "[    0.000000] line 4"}));
    EXPECT_EQ(host::trace_tail(10).size(), 5u);
    EXPECT_EQ(host::trace_count("odd"), 2u);
    EXPECT_EQ(host::trace_count("0.000"), 0u);   // the stamp is not searched
    host::trace_clear();
    EXPECT_TRUE(host::trace_lines().empty());
}

TEST_F(Trace, PrintsLiveAsLinesComplete)
{
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    host::trace_set_live(out);
    host::trace_write("one\ntw");
    host::trace_host("event");
    host::trace_set_live(nullptr);
    host::trace_write("o\n");   // no longer printed
    rewind(out);
    char buffer[256] = {};
    const size_t n = fread(buffer, 1, sizeof buffer - 1, out);
    fclose(out);
    EXPECT_EQ(std::string(buffer, n), "[    0.000000] one\n[    0.000000] host: event\n");
}

TEST_F(Trace, StampsAreHostTimeWhenTheLineStarts)
{
    host::sched_start({host::Mode::controlled, 1});
    LARGE_INTEGER delay;
    delay.QuadPart = -12'345'670;   // 1.234567 s, relative
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    DbgPrint("begun at 1.234567, ");
    delay.QuadPart = -100'000'000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    DbgPrint("ended later\n");
    DbgPrint("at %d s\n", 11);
    host::sched_stop();
    EXPECT_EQ(host::trace_lines(), (std::vector<std::string>{"[    1.234567] begun at 1.234567, ended later",
                                                             "[   11.234567] at 11 s"}));
}

// Whole lines written from several threads arrive whole.
TEST(TraceThreads, ConcurrentWritersKeepLinesIntact)
{
    host::trace_clear();
    constexpr int kThreads = 4, kLines = 500;
    porttest::on_os_threads(kThreads, [](int t) {
        for (int i = 0; i < kLines; ++i)
            DbgPrint("thread %d line %d end\n", t, i);
    });
    const auto lines = host::trace_lines();
    EXPECT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto& line : lines)
        ASSERT_EQ(line.compare(line.size() - 4, 4, " end"), 0) << line;
    EXPECT_EQ(host::trace_count("thread 2 "), static_cast<size_t>(kLines));
}

}  // namespace
