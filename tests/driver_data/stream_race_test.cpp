// A data-in stream across pauses, over many seeds: the device streams while
// the port goes through D2 and back, or through bus suspends and resumes
// with the bus calling its callbacks at DISPATCH_LEVEL. Every byte arrives
// once and in order, and the scenario ends cleanly (expect_clean_end).
#include "data_fixture.h"

#ifndef STREAM_SEEDS
#define STREAM_SEEDS 20
#endif

namespace datatest {
namespace {

constexpr host::Time kMicrosecond = host::kMillisecond / 1000;

class StreamRaceTest : public DataTest {
protected:
    void power(host::io::DevicePower state) { EXPECT_EQ(host_->set_power(node_, state), STATUS_SUCCESS); }

public:
    // What the device streams, in chunks sent `every` apart.
    struct Stream {
        size_t chunk = 3;
        size_t chunks = 200;
        host::Time every = 100 * kMicrosecond;
        bool timed = false;   // full-speed bus timing
    };

    // The device streams while the port goes through D2 and back, or (with
    // the bus calling its callbacks at DISPATCH_LEVEL) through bus suspends
    // and resumes: every byte arrives once and in order.
    std::string stream_across_pauses(uint64_t seed, bool bus_suspends, bus::FunctionConfig config, Stream stream)
    {
        config.callbacks_at_dispatch = bus_suspends;
        start(seed, config);
        if (stream.timed)
            fn_->set_timing(bus::Timing::full_speed());
        open();
        const std::string sent = pattern(stream.chunk * stream.chunks, seed);
        host::Thread* device = host::spawn("device", [&] {
            for (size_t at = 0; at < sent.size(); at += stream.chunk) {
                fn_->send(sent.substr(at, stream.chunk));
                sleep_for(stream.every);
            }
        });
        // Six pauses a few ms apart.
        host::Thread* pauser = host::spawn("pauser", [&] {
            for (int i = 0; i < 6; ++i) {
                sleep_for(2 * host::kMillisecond + host::Time((seed + i) % 17) * 50 * kMicrosecond);
                const host::Time pause = host::Time(seed % 3) * 100 * kMicrosecond;   // none, 100 or 200 us
                if (bus_suspends) {
                    fn_->suspend();
                    sleep_for(pause);
                    fn_->resume();
                } else {
                    power(host::io::DevicePower::D2);
                    sleep_for(pause);
                    power(host::io::DevicePower::D0);
                }
            }
        });
        EXPECT_TRUE(set_timeouts(MAXULONG, MAXULONG, 100));
        std::string received;
        const host::Time deadline = host::now() + host::kSecond;
        while (received.size() < sent.size() && host::now() < deadline) {
            auto io = read(DWORD(std::min<size_t>(4096, stream.chunk * 20)));
            received += wait(*io).data();
            sleep_for(host::Time(seed % 4) * 250 * kMicrosecond);   // a slow reader lets the ring fill
        }
        host::join(device);
        host::join(pauser);
        return received == sent ? "all" : first_difference(received, sent);
    }

    // The product's receive geometry on a timed bus: a data-in transfer of
    // 128 packets takes frames to fill, so a pause finds one half filled.
    std::string whole_packets_across_pauses(uint64_t seed, bool bus_suspends)
    {
        bus::FunctionConfig config;
        config.hardware_key = { { u"DataInPacketsPerXfer", ULONG(128) }, { u"DataInBuffers", ULONG(4) } };
        return stream_across_pauses(seed, bus_suspends, config, { 40 * 64, 20, 3 * host::kMillisecond, true });
    }
};

TEST_F(StreamRaceTest, StreamSurvivesRepeatedD2)
{
    over_seeds(STREAM_SEEDS, [this](uint64_t seed) { return stream_across_pauses(seed, false, {}, Stream()); }, {"all"});
}

TEST_F(StreamRaceTest, StreamSurvivesBusSuspendsCalledAtDispatchLevel)
{
    over_seeds(STREAM_SEEDS, [this](uint64_t seed) { return stream_across_pauses(seed, true, {}, Stream()); }, {"all"});
}

TEST_F(StreamRaceTest, HalfFilledTransfersKeepTheirBytesAcrossRepeatedD2)
{
    over_seeds(STREAM_SEEDS, [this](uint64_t seed) { return whole_packets_across_pauses(seed, false); }, {"all"});
}

TEST_F(StreamRaceTest, HalfFilledTransfersKeepTheirBytesAcrossBusSuspends)
{
    over_seeds(STREAM_SEEDS, [this](uint64_t seed) { return whole_packets_across_pauses(seed, true); }, {"all"});
}

}  // namespace
}  // namespace datatest
