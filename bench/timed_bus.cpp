// The timed bus model (controlled mode, virtual time): throughput of writes
// to a function that only receives, reads from a function that only sends,
// and a loopback, as a ratio of the bulk limit of the bus; and the wall time
// the simulator spends per simulated MiB.
#include "bench/rig.h"

namespace bench {
namespace {

constexpr size_t kMiB = size_t(1) << 20;

// Enough data that the start-up frames do not weigh, at most 4096 requests
// and never less than one; a whole number of the largest receive transfers,
// so that no tail waits in a transfer that is not full.
size_t volume(bus::Speed speed, size_t request)
{
    if (g_quick)
        return std::max(request, 256 * size_t(1024));
    const size_t most = speed == bus::Speed::full ? 256 * size_t(1024) : 4 * kMiB;
    return std::max(request, std::min(most, request * 4096));
}

void timed_transfer(benchmark::State& state, bus::Speed speed, Peer peer, RigOptions options = {})
{
    const size_t request = size_t(state.range(0));
    const size_t total = volume(speed, request);
    options.speed = speed;
    options.timed = true;
    options.peer = peer;
    double virtual_s = 0, wall_s = 0;
    for (auto _ : state) {
        Rig rig(options);
        porttest::PortClient& port = rig.port();
        const host::Time start = host::now();
        const double wall = wall_seconds([&] {
            switch (peer) {
            case Peer::sink:
                write_all(port, request, total);
                break;
            case Peer::source:
                rig.function().send(porttest::pattern(total));
                read_all(port, request, total, total);
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

// The two receive levers against the bus limit: packets per data-in transfer
// and ring buffers, with 64 KiB requests.
void register_levers()
{
    const std::pair<const char*, Peer> peers[] = {{"read_from_source", Peer::source}, {"loopback", Peer::loopback}};
    const std::pair<int, int> settings[] = {{1, 8},  {16, 8},  {32, 8},  {64, 8}, {128, 8},
                                            {256, 8}, {128, 2}, {128, 3}, {128, 4}};
    for (bus::Speed speed : {bus::Speed::full, bus::Speed::high})
        for (auto [name, peer] : peers)
            for (auto [packets, buffers] : settings) {
                const std::string label = std::string("levers/") + speed_name(speed) + "/" + name + "/ppx:" +
                                          std::to_string(packets) + "/buffers:" + std::to_string(buffers);
                RigOptions options;
                options.registry = {{u"DataInPacketsPerXfer", ULONG(packets)}, {u"DataInBuffers", ULONG(buffers)}};
                benchmark::RegisterBenchmark(label.c_str(), [speed, peer, options](benchmark::State& s) {
                    timed_transfer(s, speed, peer, options);
                })
                    ->Arg(64 * 1024)
                    ->UseManualTime()
                    ->Iterations(1)
                    ->Unit(benchmark::kMillisecond);
            }
}

}  // namespace

void register_timed_benchmarks()
{
    register_timed();
    register_levers();
}

}  // namespace bench
