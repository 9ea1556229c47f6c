// Controls that change the settings racing each other, the data paths and
// the close, over many seeds (RACE_SEEDS): every call returns, each record
// a control writes is one of the written values as a whole, and the
// function ends with exactly the line coding and control lines the port
// keeps.
#include "settings_mix.h"
#include "seeds.h"

#ifndef RACE_SEEDS
#define RACE_SEEDS 30
#endif

namespace serialtest {
namespace {

constexpr int kRounds = 6;   // milliseconds of controls, about

class SerialRaceTest : public SettingsMixTest {
protected:
    // One scenario: two applications' threads set A and B, a third moves
    // the lines, the main thread moves data and closes the port while the
    // controls may still run.
    void run(uint64_t seed)
    {
        opened({}, seed);
        fn_->set_timing(bus::Timing::full_speed());   // class requests take their frames
        const cdc_line_coding_t initial = fdx_->line_coding;
        const SERIAL_HANDFLOW initial_handflow = fdx_->handflow;
        HANDLE port = handle();

        std::vector<host::Thread*> threads;
        for (const Settings* s : { &kA, &kB })
            threads.push_back(host::spawn("settings", [port, s] {
                DCB dcb = dcb_of(*s);
                for (int i = 0; i < kRounds; ++i) {
                    SetCommState(port, &dcb);
                    sleep_ms(1);
                }
            }));
        threads.push_back(host::spawn("lines", [port, seed] {
            const DWORD escapes[] = { SETDTR, SETRTS, CLRDTR, CLRRTS };
            for (int i = 0; i < 2 * kRounds; ++i) {
                EscapeCommFunction(port, escapes[(seed + i * (seed % 3 + 1)) % 4]);
                sleep_ms(LONGLONG(i % 2));
            }
        }));

        // The data moves while the controls run; the close comes while
        // some of them may still be on their way.
        const std::string data = datatest::pattern(48, seed);
        auto io = write(data);
        EXPECT_EQ(read_back(data.size()), data);
        wait(*io);
        EXPECT_EQ(io->result(), outcome(STATUS_SUCCESS, data.size()));
        sleep_ms(LONGLONG(seed % kRounds));
        close();
        for (host::Thread* t : threads)
            host::join(t);
        fn_->settle();

        expect_whole_records(initial, initial_handflow);
        expect_function_matches_port();
        EXPECT_EQ(fdx_->control_line_state & CDC_CONTROL_LINE_DTR, 0) << "the close dropped DTR";
        EXPECT_EQ(host::io::pending_user_irps(), 0u);
        expect_verifier_silent(seed);
    }
};

TEST_F(SerialRaceTest, SettingsRacingDataAndCloseStayWholeAndReachTheFunction)
{
    seeds::run(RACE_SEEDS, [this](uint64_t seed) {
        SCOPED_TRACE(seed);
        run(seed);
    });
}

}  // namespace
}  // namespace serialtest
