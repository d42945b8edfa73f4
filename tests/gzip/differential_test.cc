// The decoder against zlib as a black box: data of several kinds and sizes,
// compressed by zlib at every level and strategy and with several window and
// memory settings, must decode to exactly the original bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include "codes.h"
#include "decode_harness.h"

namespace {

// Runs of one byte, short repeats and counting words, for long matches,
// distance-1 copies and matches at every distance.
std::vector<uint8_t> structured_bytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data;
    data.reserve(size + 300);
    uint32_t x = seed;
    while (data.size() < size) {
        x = x * 1103515245u + 12345u;
        const uint32_t kind = (x >> 16) % 3;
        const size_t n = 1 + (x >> 8) % 300;
        for (size_t i = 0; i < n; i++) {
            if (kind == 0) data.push_back(static_cast<uint8_t>(x >> 24));
            if (kind == 1) data.push_back(static_cast<uint8_t>("abcab"[i % 5]));
            if (kind == 2) data.push_back(static_cast<uint8_t>((data.size() / 4) >> (8 * (data.size() % 4))));
        }
    }
    data.resize(size);
    return data;
}

// Text, random bytes, long runs and structured binary, in pieces, so that
// one input switches between stored, fixed and dynamic blocks.
std::vector<uint8_t> mixed_bytes(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data;
    const size_t piece = size / 8 + 1;
    for (uint32_t i = 0; data.size() < size; i++) {
        switch (i % 4) {
            case 0: data = concat(data, text_bytes(piece, seed + i)); break;
            case 1: data = concat(data, random_bytes(piece / 3, seed + i)); break;
            case 2: data = concat(data, std::vector<uint8_t>(piece, static_cast<uint8_t>(i))); break;
            default: data = concat(data, structured_bytes(piece, seed + i)); break;
        }
    }
    data.resize(size);
    return data;
}

void expect_round_trip(const std::vector<uint8_t>& data, int level, int strategy,
                       int window_bits = 15, int mem_level = 8)
{
    const std::vector<uint8_t> file = zlib_gzip_bytes(data, level, strategy, window_bits, mem_level);
    ASSERT_FALSE(file.empty());
    IoKnobs knobs;
    const UnzipRun run = run_unzip(file, knobs);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output.size(), data.size());
    EXPECT_TRUE(run.output == data) << "output differs";
}

const int STRATEGIES[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

}  // namespace

TEST(Differential, EveryLevelAndStrategy)
{
    const std::vector<uint8_t> data = mixed_bytes(300 * 1024, 1);
    for (int level = 0; level <= 9; level++)
        for (int strategy : STRATEGIES) {
            SCOPED_TRACE("level " + std::to_string(level) + " strategy " + std::to_string(strategy));
            expect_round_trip(data, level, strategy);
        }
}

TEST(Differential, SizesAcrossWindowBoundaries)
{
    const size_t sizes[] = {0, 1, 2, 3, 4, 257, 258, 259, 32767, 32768, 32769,
                            65535, 65536, 65537, 98304, 100000, 1048576 + 13};
    const struct {
        int level, strategy, window_bits, mem_level;
    } settings[] = {{6, Z_DEFAULT_STRATEGY, 15, 8},
                    {1, Z_FIXED, 15, 9},
                    {9, Z_FILTERED, 9, 1},
                    {0, Z_DEFAULT_STRATEGY, 15, 8}};
    for (size_t size : sizes)
        for (const auto& s : settings) {
            SCOPED_TRACE("size " + std::to_string(size) + " level " + std::to_string(s.level));
            expect_round_trip(mixed_bytes(size, static_cast<uint32_t>(size)), s.level, s.strategy,
                              s.window_bits, s.mem_level);
        }
}

TEST(Differential, WindowAndMemorySettings)
{
    const std::vector<uint8_t> data = mixed_bytes(120000, 2);
    for (int window_bits : {9, 10, 12, 15})
        for (int mem_level : {1, 5, 9}) {
            SCOPED_TRACE("windowBits " + std::to_string(window_bits) + " memLevel " + std::to_string(mem_level));
            expect_round_trip(data, 9, Z_DEFAULT_STRATEGY, window_bits, mem_level);
        }
}

TEST(Differential, KindsOfData)
{
    expect_round_trip(text_bytes(200000, 3), 9, Z_DEFAULT_STRATEGY);
    expect_round_trip(random_bytes(200000, 4), 6, Z_DEFAULT_STRATEGY);
    expect_round_trip(std::vector<uint8_t>(200000, 0), 9, Z_DEFAULT_STRATEGY);
    expect_round_trip(std::vector<uint8_t>(200000, 0xFF), 1, Z_RLE);
    expect_round_trip(structured_bytes(200000, 5), 9, Z_FILTERED);
}

TEST(Differential, LargeInput)
{
    expect_round_trip(mixed_bytes(4 * 1024 * 1024 + 7, 6), 6, Z_DEFAULT_STRATEGY);
}

TEST(Differential, ConcatenatedMembersOfDifferentSettings)
{
    const std::vector<uint8_t> a = text_bytes(70000, 7);
    const std::vector<uint8_t> b = random_bytes(40000, 8);
    const std::vector<uint8_t> c = structured_bytes(90000, 9);
    const std::vector<uint8_t> file = concat(concat(zlib_gzip_bytes(a, 9, Z_DEFAULT_STRATEGY),
                                                    zlib_gzip_bytes({}, 6, Z_FIXED)),
                                             concat(zlib_gzip_bytes(b, 0, Z_DEFAULT_STRATEGY),
                                                    zlib_gzip_bytes(c, 3, Z_RLE, 10, 2)));
    const UnzipRun run = run_unzip(file);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output == concat(concat(a, b), c));
}

// Short reads move chunk ends to every kind of place in the stream, so the
// decoder switches between its fast loop and its careful path mid-block.
TEST(Differential, ShortReadsAcrossChunkEnds)
{
    const std::vector<uint8_t> data = mixed_bytes(200000, 10);
    for (int level : {1, 6}) {
        const std::vector<uint8_t> file = zlib_gzip_bytes(data, level, level == 1 ? Z_FIXED : Z_DEFAULT_STRATEGY);
        for (uint32_t max_read : {3u, 17u, 4093u, 32767u}) {
            IoKnobs knobs;
            knobs.max_read = max_read;
            const UnzipRun run = run_unzip(file, knobs);
            EXPECT_EQ(run.result, 0) << "level " << level << " reads of " << max_read;
            EXPECT_TRUE(run.output == data) << "level " << level << " reads of " << max_read;
        }
    }
}

// The fast loop is built twice, and a CPU without BMI2 runs the plain build:
// it must decode every kind of block exactly as the other one does.
TEST(Differential, PlainLoopDecodesTheSame)
{
    use_plain_code_loop(true);
    const std::vector<uint8_t> data = mixed_bytes(300 * 1024, 11);
    for (int level : {1, 6, 9})
        for (int strategy : STRATEGIES) {
            SCOPED_TRACE("level " + std::to_string(level) + " strategy " + std::to_string(strategy));
            expect_round_trip(data, level, strategy);
        }
    expect_round_trip(text_bytes(200000, 12), 9, Z_DEFAULT_STRATEGY, 10, 2);
    use_plain_code_loop(false);
}
