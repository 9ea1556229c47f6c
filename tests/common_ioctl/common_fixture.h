// The generic control and encapsulated-command controls as an application
// uses them: the driver module bound to a simulated function, the port
// opened through the user-mode API, records and buffers in the process'
// user address space below 4 GiB (VirtualAlloc), and what the function
// received and the verifier saw.
#pragma once

#include "port_fixture.h"

#include "host/io/iomgr.h"
#include "host/rtl/trace.h"

#include <dc_ioctl.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace commontest {

using porttest::Io;
using porttest::outcome;
using porttest::pattern;

constexpr uint8_t kVendorOut = 0x40, kVendorIn = 0xC0, kStandardIn = 0x80;

// A user address as the record carries it.
inline ULONG addr(const void* p) { return ULONG(uintptr_t(p)); }

// One control's records and buffers, each on pages of its own, with a
// no-access page after each so that a driver that overruns one faults.
struct Areas {
    dc_ioctl_data* in = nullptr;
    dc_ioctl_data* out = nullptr;
    char* data_in = nullptr;
    char* data_out = nullptr;
};

class CommonTest : public porttest::PortTest {
protected:
    CommonTest() : PortTest({ .module = ACMSERIAL_MODULE }) {}

    // The module bound to a loopback function, its port opened.
    void start(uint64_t seed = 1, bus::FunctionConfig config = {})
    {
        PortTest::start(seed, std::move(config));
        open();
    }

    void SetUp() override
    {
        if (std::getenv("ACM_TRACE"))
            host::trace_set_live(stdout);
    }
    void TearDown() override
    {
        teardown();
        expect_verifier_silent();
    }

    // Bytes at the end of a fresh read-write area, followed by a no-access page.
    char* user_area(size_t bytes, DWORD protect = PAGE_READWRITE)
    {
        size_t pages = (bytes + 4095) / 4096;
        auto* base = static_cast<char*>(VirtualAlloc(nullptr, (pages + 1) * 4096, MEM_COMMIT, PAGE_READWRITE));
        EXPECT_NE(base, nullptr);
        if (!base)
            return nullptr;
        DWORD old;
        VirtualProtect(base + pages * 4096, 4096, PAGE_NOACCESS, &old);
        if (protect != PAGE_READWRITE && pages)
            VirtualProtect(base, pages * 4096, protect, &old);
        return base + pages * 4096 - bytes;
    }

    // A record pair (the same record unless `separate`) with data areas.
    Areas areas(const std::string& in_data, size_t out_size, bool separate = false)
    {
        Areas a;
        a.in = reinterpret_cast<dc_ioctl_data*>(user_area(sizeof(dc_ioctl_data)));
        a.out = separate ? reinterpret_cast<dc_ioctl_data*>(user_area(sizeof(dc_ioctl_data))) : a.in;
        a.data_in = in_data.empty() ? nullptr : user_area(in_data.size());
        a.data_out = out_size ? user_area(out_size) : nullptr;
        if (a.data_in)
            std::memcpy(a.data_in, in_data.data(), in_data.size());
        if (a.data_out)
            std::memset(a.data_out, 0xEE, out_size);
        *a.in = dc_ioctl_data{ 0xFFFFFFFF, ULONG(in_data.size()), addr(a.data_in), 0, 0 };
        a.out->dc_status = 0xFFFFFFFF;
        a.out->data_out_len = ULONG(out_size);
        a.out->data_out = addr(a.data_out);
        return a;
    }

    using PortClient::issue;
    std::unique_ptr<Io> issue(DWORD code, const Areas& a)
    {
        return PortClient::issue(code, a.in, sizeof(dc_ioctl_data), a.out, sizeof(dc_ioctl_data));
    }
    // The control, waited for: "status/information" of the request.
    std::string call(DWORD code, const Areas& a, HANDLE on = nullptr)
    {
        auto io = PortClient::issue(code, a.in, sizeof(dc_ioctl_data), a.out, sizeof(dc_ioctl_data), on);
        wait_on(on ? on : handle(), *io);
        return io->result();
    }
    void wait_on(HANDLE h, Io& io)
    {
        DWORD bytes;
        GetOverlappedResult(h, &io.overlapped, &bytes, TRUE);
    }

    // The result the application sees when the driver took the record.
    static std::string taken() { return outcome(STATUS_SUCCESS, sizeof(dc_ioctl_data)); }

    // A generic control record in user memory.
    dc_control_record* control_record(uint8_t type, uint8_t request, uint16_t length, const void* data = nullptr,
                                      ULONG data_length = 0, uint16_t value = 0)
    {
        auto* c = reinterpret_cast<dc_control_record*>(user_area(sizeof(dc_control_record)));
        *c = dc_control_record{ type, request, value, 0, length, addr(data), data_length };
        return c;
    }
    // Records for a generic control whose data stage uses data_out.
    Areas generic(dc_control_record* control, size_t out_size)
    {
        Areas a = areas("", out_size);
        a.in->data_in = addr(control);
        a.in->data_in_len = sizeof(dc_control_record);
        return a;
    }

    std::vector<bus::ControlTransfer> generic_log() const
    {
        std::vector<bus::ControlTransfer> log;
        for (const auto& t : fn_->control_log())
            if (t.generic)
                log.push_back(t);
        return log;
    }
    // The serial control device of a function that has one, opened.
    HANDLE open_control_device()
    {
        static const GUID kControlInterface = { 0xcd56b1bd, 0xc817, 0x4e15,
                                                { 0x88, 0xde, 0xbc, 0x4a, 0xf1, 0x20, 0x2d, 0xcd } };
        for (const auto& record : host::io::interfaces()) {
            if (std::memcmp(&record.guid, &kControlInterface, sizeof(GUID)) != 0 || !record.enabled)
                continue;
            std::u16string path = u"\\\\?\\GLOBALROOT" + record.link;
            return CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        }
        return INVALID_HANDLE_VALUE;
    }
};

}  // namespace commontest
