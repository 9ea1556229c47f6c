// The settings controls on real threads (free mode), so that
// ThreadSanitizer sees them beside the read and write paths, their DPCs and
// the bus's completions: settings, lines and status read all at once while
// bytes go round the loopback.
#include "settings_mix.h"

#include <algorithm>

namespace serialtest {
namespace {

using SerialStressTest = SettingsMixTest;

TEST_F(SerialStressTest, SettingsLinesAndStatusBesideTheData)
{
    start(1, {}, host::Mode::free);
    open();
    const cdc_line_coding_t initial = fdx_->line_coding;
    const SERIAL_HANDFLOW initial_handflow = fdx_->handflow;
    ASSERT_TRUE(set_timeouts(MAXULONG, MAXULONG, 2000));
    HANDLE port = handle();
    constexpr int kRounds = 200;

    std::vector<host::Thread*> threads;
    for (const Settings* s : { &kA, &kB })
        threads.push_back(host::spawn("settings", [port, s] {
            DCB dcb = dcb_of(*s);
            for (int i = 0; i < kRounds; ++i)
                EXPECT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        }));
    threads.push_back(host::spawn("lines", [port] {
        const DWORD escapes[] = { SETDTR, SETRTS, CLRDTR, CLRRTS, SETBREAK, CLRBREAK };
        for (int i = 0; i < kRounds; ++i)
            EXPECT_TRUE(EscapeCommFunction(port, escapes[i % 6]));
    }));
    threads.push_back(host::spawn("status", [port] {
        for (int i = 0; i < kRounds; ++i) {
            COMSTAT stat{};
            DWORD errors = 0, modem = 0;
            EXPECT_TRUE(ClearCommError(port, &errors, &stat));
            EXPECT_TRUE(GetCommModemStatus(port, &modem));
        }
    }));

    const std::string sent = datatest::pattern(16 * 500);
    std::string got;
    host::Thread* reader = host::spawn("reader", [&] {
        while (got.size() < sent.size()) {
            auto io = read(DWORD(std::min<size_t>(sent.size() - got.size(), 700)));
            wait(*io);
            if (io->status() != STATUS_SUCCESS || io->information() == 0)
                return;
            got += io->data();
        }
    });
    for (size_t at = 0; at < sent.size(); at += 500)
        EXPECT_EQ(wait(*write(sent.substr(at, 500))).result(), outcome(STATUS_SUCCESS, 500));
    host::join(reader);
    for (host::Thread* t : threads)
        host::join(t);

    EXPECT_EQ(datatest::first_difference(got, sent), "");
    expect_whole_records(initial, initial_handflow);
    expect_function_matches_port();
    expect_verifier_silent();
}

}  // namespace
}  // namespace serialtest
