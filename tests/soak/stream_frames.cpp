#include "stream_frames.h"

#include <cstring>

namespace soak {
namespace {

constexpr uint8_t kMagic0 = 0xA5, kMagic1 = 0x5A;
constexpr size_t kHeader = 12, kTrailer = 4;

void put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        out.push_back(char(v >> (8 * i)));
}
uint32_t get32(const uint8_t* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint8_t payload_length(uint32_t seq) { return uint8_t(8 + seq % 53); }
uint8_t payload_byte(uint32_t seq, size_t i) { return uint8_t(seq * 31 + i * 7); }

}  // namespace

uint32_t crc32(const uint8_t* data, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; i++) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; bit++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

std::string encode(const Frame& f)
{
    std::string out;
    out.push_back(char(kMagic0));
    out.push_back(char(kMagic1));
    put32(out, f.seq);
    put32(out, f.stamp);
    out.push_back(char(f.cut_under_way ? 1 : 0));
    const uint8_t n = payload_length(f.seq);
    out.push_back(char(n));
    for (size_t i = 0; i < n; i++)
        out.push_back(char(payload_byte(f.seq, i)));
    put32(out, crc32(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
    return out;
}

// A gap after the last good frame is explained by a cut that was under way
// when that frame was written or began after it.
bool StreamCheck::cut_since_last(uint32_t cuts_begun) const
{
    if (!last_)
        return cuts_begun != 0;
    return last_->cut_under_way || cuts_begun != last_->stamp;
}

void StreamCheck::fail(const std::string& what)
{
    if (error_.empty())
        error_ = what + " after " + std::to_string(frames_) + " frames";
}

void StreamCheck::take(const Frame& f, bool bytes_skipped, uint32_t cuts_begun)
{
    const uint32_t expected = last_ ? last_->seq + 1 : 0;
    if (last_ && f.seq <= last_->seq)
        fail("frame " + std::to_string(f.seq) + " after frame " + std::to_string(last_->seq) +
             ": duplicated or reordered");
    else if (f.seq != expected || bytes_skipped) {
        if (!cut_since_last(cuts_begun))
            fail("frame " + std::to_string(f.seq) + " where " + std::to_string(expected) +
                 " was due, with no cut of the stream since");
        gaps_ += f.seq != expected;
    }
    last_ = f;
    frames_++;
}

void StreamCheck::feed(const std::string& bytes, uint32_t cuts_begun)
{
    pending_ += bytes;
    size_t at = 0;
    while (pending_.size() - at >= kHeader + kTrailer) {
        const auto* p = reinterpret_cast<const uint8_t*>(pending_.data() + at);
        const size_t size = kHeader + p[11] + kTrailer;
        if (p[0] != kMagic0 || p[1] != kMagic1 || p[11] != payload_length(get32(p + 2)) ||
            (pending_.size() - at >= size && crc32(p, size - kTrailer) != get32(p + size - kTrailer))) {
            at++;   // not a frame here: resynchronise byte by byte
            skipped_++;
            skipping_ = true;
            continue;
        }
        if (pending_.size() - at < size)
            break;
        Frame f{ get32(p + 2), get32(p + 6), p[10] != 0 };
        take(f, skipping_, cuts_begun);
        skipping_ = false;
        at += size;
    }
    pending_.erase(0, at);
}

}  // namespace soak
