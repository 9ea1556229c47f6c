// Scale: 1, 2, 8 and 32 ports open at once in free mode, each with its own
// application thread running a loopback; aggregate throughput and heap held
// per open port. And the memory a function holds when a writer outruns its
// reader (controlled mode: nobody reads for a second of host time).
#include "bench/rig.h"

#include <malloc.h>

namespace bench {
namespace {

constexpr size_t kMiB = size_t(1) << 20;

size_t heap_in_use() { return mallinfo2().uordblks; }

void many_ports(benchmark::State& state)
{
    const int ports = int(state.range(0));
    const size_t per_port = g_quick ? 8192 : 4 * kMiB / size_t(ports);
    double wall_s = 0, heap_per_port = 0;
    for (auto _ : state) {
        const size_t heap_before = heap_in_use();
        Rig rig(in_mode(host::Mode::free, ports));
        heap_per_port = double(heap_in_use() - heap_before) / ports;
        const double wall = wall_seconds([&] {
            std::vector<host::Thread*> apps;
            for (int i = 0; i < ports; ++i)
                apps.push_back(host::spawn("app", [&rig, i, per_port] { loopback(rig.port(i), 4096, per_port); }));
            for (host::Thread* t : apps)
                host::join(t);
        });
        wall_s += wall;
        state.SetIterationTime(wall);
    }
    state.counters["MBps"] = double(per_port) * ports * double(state.iterations()) / wall_s / 1e6;
    state.counters["heap_KiB_per_port"] = heap_per_port / 1024;
}

void outrunning_writer(benchmark::State& state)
{
    const size_t request = 64 * 1024, total = g_quick ? 256 * 1024 : 16 * kMiB;
    for (auto _ : state) {
        std::vector<std::unique_ptr<porttest::Io>> writes;   // outlive the port
        Rig rig(in_mode(host::Mode::controlled));
        for (size_t sent = 0; sent < total; sent += request)
            writes.push_back(rig.port().write(porttest::pattern(request)));
        const size_t heap_before = heap_in_use();   // the application's own buffers left out
        porttest::sleep_ms(1000);
        size_t completed = 0;
        for (auto& w : writes)
            completed += w->done() ? w->information() : 0;
        state.counters["written_MiB"] = double(completed) / kMiB;
        state.counters["held_by_device_MiB"] = double(rig.function().pending_in_bytes()) / kMiB;
        state.counters["heap_growth_MiB"] = double(heap_in_use() - heap_before) / kMiB;
    }
}

}  // namespace

void register_scale_benchmarks()
{
    benchmark::RegisterBenchmark("scale/ports", many_ports)
        ->Arg(1)
        ->Arg(2)
        ->Arg(8)
        ->Arg(32)
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("scale/outrunning_writer", outrunning_writer)->Iterations(1)->Unit(benchmark::kMillisecond);
}

}  // namespace bench
