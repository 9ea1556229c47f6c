// Random records, lengths and addresses thrown at the generic control and
// encapsulated-command controls, and at the serial controls, through the
// user-mode API. Whatever comes in, every request completes, the verifier
// stays silent and nothing stays locked. ACM_FUZZ_ITERATIONS runs longer;
// ACM_FUZZ_SEED picks another sequence.
#include "common_fixture.h"

#include "bus/behaviours.h"

#include <map>
#include <random>

namespace commontest {
namespace {

// The serial controls the dispatcher serves, and neighbours it does not.
constexpr DWORD kSerialCodes[] = { IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS, 0x001B0004, 0x8000240F };
constexpr DWORD kCommonCodes[] = { IOCTL_DC_GENERIC_CONTROL, IOCTL_CDC_SEND_ENCAPSULATED_COMMAND,
                                   IOCTL_CDC_GET_ENCAPSULATED_RESPONSE,
                                   IOCTL_CDC_WAIT_FOR_ENCAPSULATED_RESPONSE };

uint64_t env_or(const char* name, uint64_t fallback)
{
    const char* text = std::getenv(name);
    return text ? std::strtoull(text, nullptr, 0) : fallback;
}

class CommonFuzzTest : public CommonTest {
protected:
    // Places worth pointing at: good, read-only, no-access, freed, and
    // addresses that are no user memory at all.
    void make_targets()
    {
        targets_.clear();
        for (size_t size : { 20, 64, 4096 }) {
            targets_.push_back(user_area(size));
            targets_.push_back(user_area(size, PAGE_READONLY));
        }
        char* freed = static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
        VirtualFree(freed, 0, MEM_RELEASE);
        targets_.push_back(freed);
        targets_.push_back(static_cast<char*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS)));
        for (uintptr_t bad : { uintptr_t(0), uintptr_t(0x1000), uintptr_t(0x40000000), uintptr_t(0x80001000),
                               uintptr_t(0xFFFFFFF0) })
            targets_.push_back(reinterpret_cast<char*>(bad));
        // Records and control records that hold sensible values half the time.
        for (int i = 0; i < 4; i++)
            targets_.push_back(user_area(64));
    }

    char* target() { return targets_[rng_() % targets_.size()] + (rng_() % 4 == 0 ? rng_() % 48 : 0); }

    ULONG length()
    {
        static constexpr ULONG kLengths[] = { 0, 1, 15, 16, 19, 20, 21, 64, 4096, 4097, 0xFFFF, 0x10000, 0xFFFFFFFF };
        return rng_() % 5 == 0 ? ULONG(rng_()) : kLengths[rng_() % std::size(kLengths)];
    }

    // Fills writable bytes at `p` with a record, a control record or noise.
    void scribble(char* p, size_t room)
    {
        if (host::io::probe_user_buffer(p, room, true) != STATUS_SUCCESS)
            return;
        for (size_t i = 0; i < room; i++)
            p[i] = char(rng_());
        if (room >= sizeof(dc_ioctl_data) && rng_() % 2) {
            const dc_ioctl_data record{ 0, length(), addr(target()), length(), addr(target()) };
            std::memcpy(p, &record, sizeof record);   // records may be unaligned
        }
    }

    // A call that would be good, with one thing spoilt now and then: these
    // get past the probes and reach the driver's own checks.
    void coherent(Areas& a)
    {
        const size_t in_size = rng_() % 3 == 0 ? 0 : 1 + rng_() % 64, out_size = rng_() % 3 == 0 ? 0 : 1 + rng_() % 64;
        a = areas(std::string(in_size, char(rng_())), out_size, rng_() % 2);
        if (in_size >= sizeof(dc_control_record) && rng_() % 2) {
            dc_control_record control{};
            control.bmRequestType = uint8_t(rng_() % 2 ? kVendorIn : kVendorOut);
            control.bRequest = uint8_t(rng_() % 4);
            control.wLength = uint16_t(rng_() % 80);
            control.data_address = rng_() % 2 ? 0 : addr(target());
            control.data_length = rng_() % 2 ? control.wLength : length();
            std::memcpy(a.data_in, &control, sizeof control);
        }
        ULONG* fields[] = { &a.in->data_in_len, &a.in->data_in, &a.out->data_out_len, &a.out->data_out };
        if (rng_() % 3 == 0)
            *fields[rng_() % 4] = rng_() % 2 ? length() : addr(target());
    }

    void one_call()
    {
        const bool common = rng_() % 4 != 0;
        const DWORD code = common ? kCommonCodes[rng_() % 4] : kSerialCodes[rng_() % 4];
        Areas a;
        char* in;
        char* out;
        if (rng_() % 2) {
            coherent(a);
            in = reinterpret_cast<char*>(a.in), out = reinterpret_cast<char*>(a.out);
        } else {
            in = target();
            out = rng_() % 3 == 0 ? in : target();
            for (char* p : { in, out })
                if (rng_() % 2)
                    scribble(p, 20);
        }
        const DWORD in_length = rng_() % 4 ? 20 : length();
        const DWORD out_length = rng_() % 4 ? 20 : length();

        auto io = issue(code, in, in_length, out, out_length);
        if (rng_() % 4 == 0)
            fn_->response_available();
        fn_->settle();
        porttest::sleep_for(host::kMillisecond);
        if (!io->done())
            cancel(*io);
        wait(*io);
        EXPECT_NE(io->status(), STATUS_PENDING);
        outcomes_[io->status()]++;
        if (io->status() == STATUS_SUCCESS && common) {
            ULONG dc_status;
            std::memcpy(&dc_status, out, sizeof dc_status);
            dc_statuses_[dc_status]++;
        }
    }

    std::vector<char*> targets_;
    std::mt19937_64 rng_;
    std::map<NTSTATUS, int> outcomes_;
    std::map<ULONG, int> dc_statuses_;
};

TEST_F(CommonFuzzTest, RandomRecordsLengthsAndAddresses)
{
    const uint64_t iterations = env_or("ACM_FUZZ_ITERATIONS", 5000);
    const uint64_t seed = env_or("ACM_FUZZ_SEED", 1);
    rng_.seed(seed);
    for (uint64_t i = 0; i < iterations; i++) {
        if (i % 250 == 0) {
            start(seed + i);
            fn_->set_behaviour(std::make_shared<bus::AtModem>());
            make_targets();
        }
        one_call();
        if (i % 250 == 249 || i + 1 == iterations) {
            close();
            EXPECT_EQ(host::io::user_locked_pages(), 0u) << "iteration " << i;
            for (const auto& v : host::verifier_violations())
                ADD_FAILURE() << "iteration " << i << ": " << v.check << ": " << v.detail;
        }
        if (HasFailure()) {
            ADD_FAILURE() << "seed " << seed << ", iteration " << i;
            return;
        }
    }
    for (const auto& [status, count] : outcomes_)
        std::printf("  request %08x: %d\n", unsigned(status), count);
    for (const auto& [status, count] : dc_statuses_)
        std::printf("  dc_status %lu: %d\n", static_cast<unsigned long>(status), count);
    EXPECT_GT(outcomes_[STATUS_SUCCESS], 0) << "some calls got through";
}

}  // namespace
}  // namespace commontest
