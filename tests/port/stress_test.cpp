// The loopback on real threads (free mode), so that ThreadSanitizer sees
// the read and write paths, their DPCs, the timer and the bus's completions
// running at once: a writer and a reader, every byte back in order.
#include "port_fixture.h"

#include <thread>

namespace porttest {
namespace {

class PortStressTest : public PortTest {
protected:
    PortStressTest() : PortTest({ .module = ACMSERIAL_MODULE }) {}
};

TEST_F(PortStressTest, WriterAndReaderOnRealThreads)
{
    start(1, {}, host::Mode::free);
    open();
    ASSERT_TRUE(set_timeouts(MAXULONG, MAXULONG, 2000));
    constexpr size_t kChunks = 64, kChunk = 1000;
    const std::string sent = pattern(kChunks * kChunk);

    std::string got, last;
    host::Thread* reader = host::spawn("reader", [&] {
        while (got.size() < sent.size()) {
            auto io = read(DWORD(std::min<size_t>(sent.size() - got.size(), 700)));
            wait(*io);
            if (io->status() != STATUS_SUCCESS || io->information() == 0) {
                last = io->result();
                return;
            }
            got += io->data();
        }
    });
    std::vector<std::unique_ptr<Io>> writes;
    for (size_t i = 0; i < kChunks; i++)
        writes.push_back(write(sent.substr(i * kChunk, kChunk)));
    for (auto& w : writes)
        EXPECT_EQ(wait(*w).result(), outcome(STATUS_SUCCESS, kChunk));
    host::join(reader);

    EXPECT_EQ(first_difference(got, sent), "") << "last read " << last;
    EXPECT_EQ(data_out().size(), kChunks);
    expect_verifier_silent();
}

}  // namespace
}  // namespace porttest
