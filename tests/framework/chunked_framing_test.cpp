#include "chunked_framing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using alg::ChunkedFraming;

// The bytes of `text` that belong to the body when it arrives in pieces of `piece` bytes, or -1
// when the framing is refused; -2 when the body is not complete at the end of the text.
long BodyEnd(const std::string& text, std::size_t piece) {
    ChunkedFraming framing;
    std::size_t used = 0;
    try {
        for (std::size_t at = 0; at < text.size() && !framing.Complete(); at += piece)
            used += framing.Scan(std::string_view(text).substr(at, piece));
    } catch (const alg::FramingError&) {
        return -1;
    }
    return framing.Complete() ? static_cast<long>(used) : -2;
}

TEST(ChunkedFraming, FindsTheEndWhereverTheReadsSplitTheBytes) {
    const std::string longLine(ChunkedFraming::kMaxLine, 'x');
    const std::pair<std::string, long> cases[] = {
        {"5\r\nhello\r\n0\r\n\r\nNEXT", 15},
        {"5;name=\"v\"\r\nhello\r\nA \r\n0123456789\r\n000\r\nT: 1\r\nU: 2\r\n\r\nNEXT", 54},
        {"5\nhello\n0\n\n", 11},          // bare line ends
        {"3\r\na\r\n\r\n0\r\n\r\n", 13},  // data may hold line ends
        {"fffffffffffffff\r\nab", -2},    // 15 digits: far more data to come
        {"5\r\nhello\r\n", -2},
        {"0\r\nT: 1\r\n", -2},
        {"", -2},
        {"ffffffffffffffff\r\n", -1},  // a 16th digit
        {"\r\n5\r\nhello\r\n0\r\n\r\n", -1},
        {" 5\r\nhello\r\n0\r\n\r\n", -1},
        {"0x5\r\nhello\r\n0\r\n\r\n", -1},
        {"5\r\nhelloXX0\r\n\r\n", -1},  // data longer than its size
        {"5\r\nhello\rX", -1},
        {"5;" + longLine + "\r\n", -1},
        {"0\r\nT: " + longLine + "\r\n\r\n", -1},
    };
    for (const auto& [text, end] : cases) {
        for (std::size_t piece : {text.size() + 1, std::size_t{1}, std::size_t{7}})
            EXPECT_EQ(BodyEnd(text, piece), end) << text.substr(0, 40) << " in pieces of " << piece;
    }

    // Chunk data moved around the follower is passed over with SkipData.
    ChunkedFraming framing;
    EXPECT_EQ(framing.Scan("100000\r\nab"), 10u);
    EXPECT_EQ(framing.DataLeft(), 0x100000u - 2);
    framing.SkipData(framing.DataLeft());
    EXPECT_EQ(framing.DataLeft(), 0u);
    EXPECT_EQ(framing.Scan("\r\n0\r\n\r\nrest"), 7u);
    EXPECT_TRUE(framing.Complete());
    EXPECT_THROW(ChunkedFraming().SkipData(1), alg::FramingError);
}

}  // namespace
