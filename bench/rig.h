// What every benchmark stands on: the driver module loaded as the system
// loads it, bound to one or more simulated CDC ACM functions, with an
// application holding each COM port open through the user-mode API.
#pragma once

#include "tests/support/port_client.h"

#include "bus/behaviours.h"
#include "bus/cdc_function.h"
#include "host/host.h"
#include "host/kernel/verifier.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {

// The bulk limits: 19 x 64 B per 1 ms frame, 13 x 512 B per 125 us microframe.
inline double bus_limit(bus::Speed speed) { return speed == bus::Speed::full ? 1'216'000.0 : 53'248'000.0; }
inline const char* speed_name(bus::Speed speed) { return speed == bus::Speed::full ? "full" : "high"; }

// Set by --quick: one iteration and the smallest volume, to prove each
// benchmark still runs (CI); no figure is judged.
extern bool g_quick;

enum class Peer { sink, source, loopback };

struct RigOptions {
    host::Mode mode = host::Mode::controlled;
    int ports = 1;
    bus::Speed speed = bus::Speed::full;
    bool timed = false;
    Peer peer = Peer::loopback;
    bool package = true;   // the product's INF sets the hardware-key defaults
    // Hardware-key values set before installation (they win over the INF's).
    std::vector<std::pair<std::u16string, ULONG>> registry;
};

inline RigOptions in_mode(host::Mode mode, int ports = 1)
{
    RigOptions options;
    options.mode = mode;
    options.ports = ports;
    return options;
}

class Rig {
public:
    explicit Rig(const RigOptions& options);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bus::CdcFunction& function(int i = 0) { return *functions_.at(i); }
    porttest::PortClient& port(int i = 0) { return *ports_.at(i); }
    int ports() const { return int(ports_.size()); }

private:
    std::vector<std::u16string> names_;   // wchar_t is 16-bit here: not std::wstring
    std::vector<std::unique_ptr<bus::CdcFunction>> functions_;
    std::unique_ptr<host::Host> host_;
    std::vector<std::unique_ptr<porttest::PortClient>> ports_;
};

// Blocking I/O as an application issues it: writes of `request` bytes, two
// in flight; reads of `request` bytes (at most 4 KiB in controlled mode),
// each completing with what has arrived. The writes repeat
// porttest::pattern(request); the reads check each byte against
// porttest::pattern repeated every `period` bytes.
void write_all(porttest::PortClient& port, size_t request, size_t total);
void read_all(porttest::PortClient& port, size_t request, size_t total, size_t period);
// Writes on a second host thread while this one reads everything back.
void loopback(porttest::PortClient& port, size_t request, size_t total);

// Wall-clock seconds of one call.
template <typename Fn>
double wall_seconds(Fn&& fn)
{
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Kernel pool allocations so far (every pool_alloc the host makes).
uint64_t pool_allocation_count();
// Heap allocations (malloc, operator new) of the whole process so far.
uint64_t heap_allocation_count();

// Counts of the host's work, read before and after a measured stretch.
struct HostCounters {
    uint64_t pool_allocations;
    uint64_t heap_allocations;
    long framework_allocations;
    uint64_t decisions;
    static HostCounters now();
    HostCounters operator-(const HostCounters& earlier) const;
};

}  // namespace bench
