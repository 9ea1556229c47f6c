// The device's queue of packets for the host: packets come out whole and in
// order across the rings' wrap and growth, a partial take leaves the rest of
// the front packet, and a zero-length packet is a packet of its own.
#include "bus/packet_queue.h"

#include <gtest/gtest.h>

namespace bus_test {
namespace {

std::vector<uint8_t> packet(size_t n, uint8_t first)
{
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; i++)
        p[i] = uint8_t(first + i);
    return p;
}

std::vector<uint8_t> take(bus::PacketQueue& q, size_t n)
{
    std::vector<uint8_t> out(n);
    out.resize(q.take_front(out.data(), n));
    return out;
}

TEST(PacketQueueTest, PacketsComeOutWholeAndInOrderAcrossWrapAndGrowth)
{
    bus::PacketQueue q;
    uint8_t next_in = 0, next_out = 0;
    // Interleaved pushes and takes wrap the rings; bursts make them grow while wrapped.
    for (size_t round = 0; round < 50; round++) {
        for (size_t i = 0; i < 1 + round % 7; i++) {
            q.push(packet(1 + (round * 13 + i) % 64, next_in));
            next_in = uint8_t(next_in + 1 + (round * 13 + i) % 64);
        }
        while (q.bytes() > 40) {
            const size_t size = q.front_size();
            EXPECT_EQ(take(q, 64), packet(size, next_out));
            next_out = uint8_t(next_out + size);
        }
    }
    while (!q.empty()) {
        const size_t size = q.front_size();
        EXPECT_EQ(take(q, 64), packet(size, next_out));
        next_out = uint8_t(next_out + size);
    }
    EXPECT_EQ(next_out, next_in);
    EXPECT_EQ(q.bytes(), 0u);
}

TEST(PacketQueueTest, PartialTakesDropsAndZeroLengthPackets)
{
    bus::PacketQueue q;
    q.push({});   // into rings that hold nothing yet
    EXPECT_EQ(q.front_size(), 0u);
    EXPECT_TRUE(take(q, 64).empty());
    EXPECT_TRUE(q.empty());
    q.push(packet(10, 0));
    q.push({});
    q.push(packet(5, 100));
    EXPECT_EQ(take(q, 4), packet(4, 0));
    EXPECT_EQ(q.front_size(), 6u);
    EXPECT_EQ(q.bytes(), 11u);
    q.drop_front();
    EXPECT_EQ(q.front_size(), 0u);   // the zero-length packet is next
    EXPECT_TRUE(take(q, 64).empty());
    EXPECT_EQ(take(q, 64), packet(5, 100));
    EXPECT_TRUE(q.empty());
    q.push(packet(3, 7));
    q.clear();
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.bytes(), 0u);
}

}  // namespace
}  // namespace bus_test
