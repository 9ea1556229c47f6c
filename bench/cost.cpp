// What a transfer costs the host, in load-independent counts (controlled
// mode, untimed bus, loopback): kernel pool allocations, framework object
// allocations, heap allocations of the host and scheduling decisions per 1-byte echo and per 4 KiB
// transfer; and how many scheduling decisions the controlled scheduler makes
// per second of wall time. scripts/bench.sh adds the instructions per echo
// from two runs of cost/echo under callgrind.
#include "bench/rig.h"

namespace bench {
namespace {

void report(benchmark::State& state, const HostCounters& used, double per, double wall_s)
{
    state.counters["pool_allocs"] = double(used.pool_allocations) / per;
    state.counters["fx_allocs"] = double(used.framework_allocations) / per;
    state.counters["heap_allocs"] = double(used.heap_allocations) / per;
    state.counters["decisions"] = double(used.decisions) / per;
    state.counters["decisions_per_s"] = double(used.decisions) / wall_s;
}

void echo_cost(benchmark::State& state, int echoes)
{
    for (auto _ : state) {
        Rig rig(in_mode(host::Mode::controlled));
        porttest::PortClient& port = rig.port();
        const HostCounters before = HostCounters::now();
        const double wall = wall_seconds([&] {
            for (int i = 0; i < echoes; ++i) {
                auto w = port.write("e");
                auto r = port.read(1);
                port.wait(*w);
                port.wait(*r);
            }
        });
        state.SetIterationTime(wall);
        report(state, HostCounters::now() - before, echoes, wall);
    }
}

void transfer_cost(benchmark::State& state, int transfers)
{
    const size_t request = size_t(state.range(0));
    for (auto _ : state) {
        Rig rig(in_mode(host::Mode::controlled));
        const HostCounters before = HostCounters::now();
        const double wall = wall_seconds([&] { loopback(rig.port(), request, request * transfers); });
        state.SetIterationTime(wall);
        report(state, HostCounters::now() - before, transfers, wall);
    }
}

}  // namespace

void register_cost_benchmarks(int count)
{
    const int echoes = count ? count : g_quick ? 3 : 1000;
    const int transfers = count ? count : g_quick ? 2 : 256;
    benchmark::RegisterBenchmark("cost/echo", [echoes](benchmark::State& s) { echo_cost(s, echoes); })
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("cost/transfer", [transfers](benchmark::State& s) { transfer_cost(s, transfers); })
        ->Arg(4096)
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
}

}  // namespace bench
