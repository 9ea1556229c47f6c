#include "bench/rig.h"

#include "host/kernel/sched.h"

#include <cstring>
#include <deque>

namespace bench {

bool g_quick = false;

namespace {
// A read completes with what has arrived, which may be far less than it
// asked for; the controlled host's pool never reuses the system buffer a
// buffered read takes at its full length, so reads there ask for 4 KiB.
constexpr size_t kControlledReadLimit = 4096;
}  // namespace

namespace {

std::u16string number(int n) { return std::u16string(1, u'0' + n / 10) + std::u16string(1, u'0' + n % 10); }

// Port i of several: its own instance, device object and COM name.
bus::FunctionConfig config_for(int i, bus::Speed speed)
{
    bus::FunctionConfig config;
    config.speed = speed;
    if (i == 0)
        return config;
    config.port.instance_path = u"USB\\VID_1234&PID_0001&MI_00\\7&" + number(i) + u"&0";
    config.port.pdo_name = u"\\Device\\USBPDO-1" + number(i);
    config.port.friendly_name = u"ACM Serial Port (COM" + number(i + 5) + u")";
    config.port_name = u"COM" + number(i + 5);
    config.ui_number = ULONG(i + 5);
    return config;
}

std::u16string win32_name(const std::u16string& com) { return u"\\\\.\\" + com; }

}  // namespace

Rig::Rig(const RigOptions& options)
{
    host::verifier_reset();
    names_.reserve(options.ports);
    for (int i = 0; i < options.ports; ++i) {
        bus::FunctionConfig config = config_for(i, options.speed);
        for (const auto& [name, value] : options.registry)
            config.hardware_key.emplace_back(name, value);
        auto fn = std::make_unique<bus::CdcFunction>(std::move(config));
        if (options.peer == Peer::loopback)
            fn->set_behaviour(std::make_shared<bus::Loopback>());
        if (options.timed)
            fn->set_timing(bus::Timing::for_speed(options.speed));
        names_.push_back(win32_name(fn->config().port_name));
        functions_.push_back(std::move(fn));
    }
    host_ = std::make_unique<host::Host>(host::HostOptions{.mode = options.mode, .seed = 1});
    if (options.package)
        host_->install_package(ACMSERIAL_INF);
    if (host_->load_driver_module(u"acmserial", ACMSERIAL_MODULE) != STATUS_SUCCESS)
        throw std::runtime_error("bench: the driver did not load");
    for (int i = 0; i < options.ports; ++i) {
        if (!host_->plug(functions_[i]->port().description()))
            throw std::runtime_error("bench: a port did not start");
        ports_.push_back(std::make_unique<porttest::PortClient>(reinterpret_cast<const wchar_t*>(names_[i].c_str())));
        if (!ports_.back()->open())
            throw std::runtime_error("bench: a port did not open");
        // Reads wait for their whole length: no time-outs.
        ports_.back()->set_timeouts(0, 0, 0);
    }
}

Rig::~Rig()
{
    ports_.clear();
    host_.reset();   // the functions outlive the devices bound to them
    functions_.clear();
}

void write_all(porttest::PortClient& port, size_t request, size_t total)
{
    const std::string chunk = porttest::pattern(request);
    std::deque<std::unique_ptr<porttest::Io>> pending;   // two in flight
    for (size_t sent = 0; sent < total; sent += request) {
        if (pending.size() == 2) {
            port.wait(*pending.front());
            pending.pop_front();
        }
        pending.push_back(port.write(chunk));
    }
    for (auto& io : pending)
        port.wait(*io);
}

void read_all(porttest::PortClient& port, size_t request, size_t total, size_t period)
{
    if (host::sched_mode() == host::Mode::controlled)
        request = std::min(request, kControlledReadLimit);
    const std::string expected = porttest::pattern(period);
    for (size_t got = 0; got < total;) {
        auto io = port.read(DWORD(std::min(request, total - got)));
        port.wait(*io);
        if (io->status() != STATUS_SUCCESS || io->information() == 0)
            throw std::runtime_error("bench: a read failed: " + io->result());
        for (size_t at = 0; at < io->information();) {   // compared in runs of the repeated pattern
            const size_t offset = (got + at) % period;
            const size_t n = std::min(io->information() - at, period - offset);
            if (std::memcmp(io->buffer.data() + at, expected.data() + offset, n) != 0)
                throw std::runtime_error("bench: bytes after " + std::to_string(got + at) + " came back wrong");
            at += n;
        }
        got += io->information();
    }
}

void loopback(porttest::PortClient& port, size_t request, size_t total)
{
    host::Thread* writer = host::spawn("writer", [&] { write_all(port, request, total); });
    read_all(port, request, total, request);
    host::join(writer);
}

HostCounters HostCounters::now()
{
    return {pool_allocation_count(), heap_allocation_count(), host::verifier_allocation_count(),
            host::schedule_decisions()};
}

HostCounters HostCounters::operator-(const HostCounters& earlier) const
{
    return {pool_allocations - earlier.pool_allocations, heap_allocations - earlier.heap_allocations,
            framework_allocations - earlier.framework_allocations, decisions - earlier.decisions};
}

}  // namespace bench
