#include "fuzz/machine.h"

#include "acm_serial.h"
#include "host/io/iomgr.h"
#include "host/kernel/pool.h"
#include "host/kernel/verifier.h"
#include "host/rtl/registry.h"
#include "host/rtl/trace.h"

#include <win32.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

std::string Input::bytes(size_t n)
{
    n = std::min(n, left());
    std::string out(reinterpret_cast<const char*>(p_), n);
    p_ += n;
    return out;
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz: %s\n", what.c_str());
    for (const std::string& line : host::trace_tail(20))
        std::fprintf(stderr, "  %s\n", line.c_str());
    std::abort();
}

char* user_area(size_t bytes)
{
    const size_t pages = (bytes + 4095) / 4096;
    auto* base = static_cast<char*>(VirtualAlloc(nullptr, (pages + 1) * 4096, MEM_COMMIT, PAGE_READWRITE));
    if (!base)
        fail("no user memory for " + std::to_string(bytes) + " bytes");
    DWORD old;
    VirtualProtect(base + pages * 4096, 4096, PAGE_NOACCESS, &old);
    return base + pages * 4096 - bytes;
}

Machine::Machine(bus::FunctionConfig config, const wchar_t* port, const std::function<void()>& setup)
    : PortClient(port)
{
    host::verifier_reset();
    host::verifier_set_action(host::VerifierAction::record);
    host::trace_clear();
    fn_ = std::make_unique<bus::CdcFunction>(std::move(config));
    fn_->set_behaviour(std::make_shared<bus::AtModem>());
    host_ = std::make_unique<host::Host>(host::HostOptions{ .mode = host::Mode::controlled, .seed = 1 });
    if (setup)
        setup();
    if (host_->load_driver(u"acmserial", DriverEntry) != STATUS_SUCCESS)
        fail("the driver does not load");
}

Machine::~Machine()
{
    close();
    expect_clean("after close");
    host_.reset();   // removes the device and unloads the driver
    fn_.reset();
    expect_clean("after removal");
    if (const size_t left = host::pool_blocks_in_use())
        fail(std::to_string(left) + " pool blocks left allocated after the driver unloaded");
}

bool Machine::plug(const std::function<void(host::ChildDevice&)>& adjust)
{
    host::ChildDevice child = fn_->port().description();
    if (adjust)
        adjust(child);
    node_ = host_->plug(child);
    return node_ != nullptr;
}

void Machine::plug_and_open()
{
    if (!plug() || !open())
        fail("the port does not open");
}

void Machine::finish(porttest::Io& io)
{
    fn_->settle();
    porttest::sleep_for(host::kMillisecond);
    if (!io.done())
        cancel(io);
    wait(io);
}

void Machine::expect_clean(const char* when)
{
    for (const auto& v : host::verifier_violations())
        fail(std::string(when) + ": " + v.check + ": " + v.detail);
    if (hung_requests())
        fail(std::string(when) + ": a request never completed");
    if (host::io::user_locked_pages())
        fail(std::string(when) + ": user pages left locked");
}

}  // namespace fuzz
