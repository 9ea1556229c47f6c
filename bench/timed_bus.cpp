// The timed bus model (controlled mode, virtual time): throughput of writes
// to a function that only receives, reads from a function that only sends,
// and a loopback, as a ratio of the bulk limit of the bus; and the wall time
// the simulator spends per simulated MiB.
#include "bench/rig.h"

namespace bench {
namespace {

constexpr size_t kMiB = size_t(1) << 20;

// Enough data that the start-up frames do not weigh; never less than one request.
size_t volume(bus::Speed speed, size_t request)
{
    if (g_quick)
        return std::min(request, size_t(4096));
    return std::max(request, speed == bus::Speed::full ? 256 * size_t(1024) : 4 * kMiB);
}

void timed_transfer(benchmark::State& state, bus::Speed speed, Peer peer)
{
    const size_t request = size_t(state.range(0));
    const size_t total = volume(speed, request);
    double virtual_s = 0, wall_s = 0;
    for (auto _ : state) {
        Rig rig({.mode = host::Mode::controlled, .speed = speed, .timed = true, .peer = peer});
        porttest::PortClient& port = rig.port();
        const host::Time start = host::now();
        const double wall = wall_seconds([&] {
            switch (peer) {
            case Peer::sink:
                write_all(port, request, total);
                break;
            case Peer::source:
                rig.function().send(porttest::pattern(total));
                read_all(port, request, total);
                break;
            case Peer::loopback:
                loopback(port, request, total);
                break;
            }
        });
        virtual_s += double(host::now() - start) / host::kSecond;
        wall_s += wall;
        state.SetIterationTime(wall);
    }
    const double iterations = double(state.iterations());
    state.counters["bus_ratio"] = double(total) * iterations / virtual_s / bus_limit(speed);
    state.counters["virtual_Bps"] = double(total) * iterations / virtual_s;
    state.counters["wall_s_per_MiB"] = wall_s / (double(total) * iterations / kMiB);
}

void register_timed()
{
    const std::pair<const char*, Peer> peers[] = {
        {"write_to_sink", Peer::sink}, {"read_from_source", Peer::source}, {"loopback", Peer::loopback}};
    for (bus::Speed speed : {bus::Speed::full, bus::Speed::high})
        for (auto [name, peer] : peers) {
            const std::string label = std::string("timed/") + speed_name(speed) + "/" + name;
            benchmark::RegisterBenchmark(label.c_str(), [speed, peer](benchmark::State& s) {
                timed_transfer(s, speed, peer);
            })
                ->Arg(64)
                ->Arg(4096)
                ->Arg(64 * 1024)
                ->Arg(1024 * 1024)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
}

}  // namespace

void register_timed_benchmarks() { register_timed(); }

}  // namespace bench
