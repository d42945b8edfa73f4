// The trailer checksum: known values, and agreement with zlib's crc32 for
// every length and alignment through each folding path.
#include <gtest/gtest.h>
#include <zlib.h>

#include "crc32.h"
#include "decode_harness.h"

TEST(Crc32, KnownValues)
{
    EXPECT_EQ(crc32_update(0, nullptr, 0), 0u);
    const std::vector<uint8_t> check = bytes_of("123456789");
    EXPECT_EQ(crc32_update(0, check.data(), check.size()), 0xCBF43926u);
    const std::vector<uint8_t> zero(1, 0);
    EXPECT_EQ(crc32_update(0, zero.data(), 1), 0xD202EF8Du);
}

TEST(Crc32, MatchesZlibForEveryLengthAndAlignment)
{
    // Past 2 x 128 + 256 bytes: every folding path, its loop and its tail.
    const std::vector<uint8_t> data = random_bytes(560, 7);
    for (size_t start = 0; start < 9; start++)
        for (size_t length = 0; start + length <= data.size(); length++) {
            const uint32_t expected = static_cast<uint32_t>(
                crc32(0, data.data() + start, static_cast<uInt>(length)));
            ASSERT_EQ(crc32_update(0, data.data() + start, length), expected)
                << "start " << start << " length " << length;
        }
}

TEST(Crc32, ContinuesAcrossPieces)
{
    const std::vector<uint8_t> data = random_bytes(100000, 8);
    const uint32_t whole = crc32_update(0, data.data(), data.size());
    for (size_t split : {size_t{1}, size_t{7}, size_t{8}, size_t{32768}, size_t{99999}}) {
        const uint32_t first = crc32_update(0, data.data(), split);
        EXPECT_EQ(crc32_update(first, data.data() + split, data.size() - split), whole);
    }
}
