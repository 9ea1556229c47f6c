// The soak's judge: a stream check that let a lost, duplicated or reordered
// frame pass would make the soak worthless.
#include "stream_frames.h"

#include <gtest/gtest.h>

namespace soak {
namespace {

std::string frames(uint32_t first, uint32_t last, uint32_t stamp = 0, bool under_way = false)
{
    std::string out;
    for (uint32_t seq = first; seq <= last; seq++)
        out += encode(Frame{ seq, stamp, under_way });
    return out;
}

TEST(StreamCheckTest, WholeStreamInPiecesOfAnySizePasses)
{
    const std::string bytes = frames(0, 99);
    for (size_t piece : { size_t(1), size_t(7), size_t(64), bytes.size() }) {
        StreamCheck check;
        for (size_t at = 0; at < bytes.size(); at += piece)
            check.feed(bytes.substr(at, piece), 0);
        EXPECT_EQ(check.error(), "") << piece;
        EXPECT_EQ(check.frames(), 100u) << piece;
        EXPECT_EQ(check.last_seq(), std::optional<uint32_t>(99)) << piece;
    }
}

TEST(StreamCheckTest, LossDuplicationReorderingAndCorruptionWithoutACutFail)
{
    const std::string f0 = frames(0, 0), f1 = frames(1, 1), f2 = frames(2, 2);
    std::string corrupted = f1;
    corrupted[14] ^= 1;
    for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
             { "lost", f0 + f2 },
             { "duplicated", f0 + f1 + f1 },
             { "reordered", f0 + f2 + f1 },
             { "corrupted", f0 + corrupted + f2 },
             { "cut short", f0 + f1.substr(0, 10) + f2 },
             { "first frames lost", f2 } }) {
        StreamCheck check;
        check.feed(bytes, 0);
        EXPECT_NE(check.error(), "") << name;
    }
}

// A cut begun after the last good frame was written, or under way when it
// was, explains missing frames and skipped bytes; duplicates never.
TEST(StreamCheckTest, CutsExplainLossButNotDuplication)
{
    const std::string f0 = frames(0, 0, 3), f1 = frames(1, 1, 3);
    StreamCheck cut_after;
    cut_after.feed(f0 + f1.substr(0, 9) + frames(5, 6, 4), 4);
    EXPECT_EQ(cut_after.error(), "");
    EXPECT_EQ(cut_after.gaps(), 1u);
    EXPECT_GT(cut_after.skipped_bytes(), 0u);

    StreamCheck under_way;
    under_way.feed(frames(0, 0, 3, true) + frames(4, 4, 3), 3);
    EXPECT_EQ(under_way.error(), "");

    StreamCheck duplicate;
    duplicate.feed(f0 + f1 + frames(1, 1, 4), 4);
    EXPECT_NE(duplicate.error(), "");
}

}  // namespace
}  // namespace soak
