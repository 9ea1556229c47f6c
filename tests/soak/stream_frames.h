// A checksummed stream of sequence-numbered frames, and the reader's check
// of it: every frame arrives once, in order, and a frame is missing, or
// bytes between frames are skipped, only where a cut of the stream (a
// purge, a cancel, a close, a removal) may have taken them.
//
// Frame: A5 5A | seq (4) | stamp (4) | flags (1) | length (1) | payload | CRC-32 (4)
// `stamp` is the count of cuts begun when the frame's write was issued; the
// flag says that a cut was still under way then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace soak {

uint32_t crc32(const uint8_t* data, size_t n);

struct Frame {
    uint32_t seq = 0;
    uint32_t stamp = 0;
    bool cut_under_way = false;
};

// The bytes of frame `f`; its payload follows from its sequence number.
std::string encode(const Frame& f);

// Cuts of one stream: begun before the cut touches the port, ended once it
// is over. Frames written after a cut ended cannot have been lost by it.
struct CutClock {
    uint32_t begun = 0;
    uint32_t ended = 0;
};

// The reader's side. `feed` takes the bytes of one read and the count of
// cuts begun when that read had completed.
class StreamCheck {
public:
    void feed(const std::string& bytes, uint32_t cuts_begun);

    uint64_t frames() const { return frames_; }
    uint64_t gaps() const { return gaps_; }               // frames missing at a cut
    uint64_t skipped_bytes() const { return skipped_; }   // bytes dropped at a cut
    const std::string& error() const { return error_; }   // the first fault seen
    std::optional<uint32_t> last_seq() const { return last_ ? std::optional(last_->seq) : std::nullopt; }

private:
    bool cut_since_last(uint32_t cuts_begun) const;
    void take(const Frame& f, bool bytes_skipped, uint32_t cuts_begun);
    void fail(const std::string& what);

    std::string pending_;
    std::optional<Frame> last_;
    uint64_t frames_ = 0, gaps_ = 0, skipped_ = 0;
    bool skipping_ = false;
    std::string error_;
};

}  // namespace soak
