// Free mode on the untimed bus against a Linux pty pair, each measured by the
// same benchmark in the same run: loopback throughput with 4 KiB and 64 KiB
// writes, and the round trip of one byte (median, 99th percentile, context
// switches per echo).
#include "bench/rig.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace bench {
namespace {

constexpr size_t kMiB = size_t(1) << 20;

size_t loopback_volume() { return g_quick ? 64 * 1024 : 16 * kMiB; }
int echo_count() { return g_quick ? 3 : 5000; }

long context_switches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// A raw pty pair: bytes written to the master come out of the slave unchanged.
struct PtyPair {
    int master = -1, slave = -1;
    PtyPair()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("bench: openpty failed");
        termios raw{};
        tcgetattr(slave, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave, TCSANOW, &raw);
        tcsetattr(master, TCSANOW, &raw);
    }
    ~PtyPair()
    {
        close(master);
        close(slave);
    }
};

void write_fd(int fd, const char* data, size_t n)
{
    for (size_t done = 0; done < n;) {
        const ssize_t k = write(fd, data + done, n - done);
        if (k <= 0)
            throw std::runtime_error("bench: pty write failed");
        done += size_t(k);
    }
}

void read_fd(int fd, char* data, size_t n)
{
    for (size_t done = 0; done < n;) {
        const ssize_t k = read(fd, data + done, n - done);
        if (k <= 0)
            throw std::runtime_error("bench: pty read failed");
        done += size_t(k);
    }
}

void report_rate(benchmark::State& state, size_t total, double wall_s)
{
    state.counters["MBps"] = double(total) * double(state.iterations()) / wall_s / 1e6;
}

void port_loopback(benchmark::State& state)
{
    const size_t request = size_t(state.range(0));
    const size_t total = loopback_volume();
    double wall_s = 0;
    for (auto _ : state) {
        Rig rig(in_mode(host::Mode::free));
        const double wall = wall_seconds([&] { loopback(rig.port(), request, total); });
        wall_s += wall;
        state.SetIterationTime(wall);
    }
    report_rate(state, total, wall_s);
}

void pty_loopback(benchmark::State& state)
{
    const size_t request = size_t(state.range(0));
    const size_t total = loopback_volume();
    double wall_s = 0;
    for (auto _ : state) {
        PtyPair pty;
        const std::string chunk = porttest::pattern(request);
        std::string buffer(request, '\0');
        const double wall = wall_seconds([&] {
            std::thread writer([&] {
                for (size_t sent = 0; sent < total; sent += request)
                    write_fd(pty.master, chunk.data(), request);
            });
            for (size_t got = 0; got < total; got += request)
                read_fd(pty.slave, buffer.data(), request);
            writer.join();
        });
        wall_s += wall;
        state.SetIterationTime(wall);
    }
    report_rate(state, total, wall_s);
}

// Median and 99th percentile of the round trips, in microseconds.
void report_echoes(benchmark::State& state, std::vector<double>& us, long switches)
{
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    state.counters["switches_per_echo"] = double(switches) / double(us.size());
}

void port_echo(benchmark::State& state)
{
    std::vector<double> us;
    long switches = 0;
    for (auto _ : state) {
        Rig rig(in_mode(host::Mode::free));
        porttest::PortClient& port = rig.port();
        const long before = context_switches();
        for (int i = 0; i < echo_count(); ++i)
            us.push_back(1e6 * wall_seconds([&] {
                auto w = port.write("e");
                auto r = port.read(1);
                port.wait(*w);
                port.wait(*r);
            }));
        switches += context_switches() - before;
    }
    report_echoes(state, us, switches);
}

void pty_echo(benchmark::State& state)
{
    std::vector<double> us;
    long switches = 0;
    for (auto _ : state) {
        PtyPair pty;
        char byte = 'e';
        const long before = context_switches();
        for (int i = 0; i < echo_count(); ++i)
            us.push_back(1e6 * wall_seconds([&] {
                write_fd(pty.master, &byte, 1);
                read_fd(pty.slave, &byte, 1);
            }));
        switches += context_switches() - before;
    }
    report_echoes(state, us, switches);
}

}  // namespace

void register_free_benchmarks()
{
    using Fn = void (*)(benchmark::State&);
    const std::pair<const char*, Fn> loopbacks[] = {{"free/loopback/port", port_loopback},
                                                    {"free/loopback/pty", pty_loopback}};
    for (auto [name, fn] : loopbacks)
        benchmark::RegisterBenchmark(name, fn)
            ->Arg(4096)
            ->Arg(64 * 1024)
            ->UseManualTime()
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("free/echo/port", port_echo)->Iterations(1)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("free/echo/pty", pty_echo)->Iterations(1)->Unit(benchmark::kMillisecond);
}

}  // namespace bench
