// Code decoding into the window, driven directly with tables from the
// builder: literals and copies at the window's edges, the longest length and
// distance, absent codes, input that runs out, and long random
// streams through deep tables checked against a plain LZ77 replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "bit_writer.h"
#include "codes.h"
#include "decode_harness.h"
#include "decoder_state.h"
#include "huffman.h"

namespace {

struct Tables {
    HuffEntry* literal = nullptr;
    HuffEntry* distance = nullptr;
    int literal_bits = 0;
    int distance_bits = 0;
};

Tables build_tables(const std::vector<uint32_t>& literal_lengths,
                    const std::vector<uint32_t>& distance_lengths, int literal_width,
                    int distance_width)
{
    Tables t;
    t.literal_bits = literal_width;
    t.distance_bits = distance_width;
    EXPECT_LE(build_huffman_table(literal_lengths.data(), static_cast<uint32_t>(literal_lengths.size()),
                                  257, length_base, length_extra, &t.literal, &t.literal_bits),
              1);
    EXPECT_LE(build_huffman_table(distance_lengths.data(), static_cast<uint32_t>(distance_lengths.size()),
                                  0, distance_base, distance_extra, &t.distance, &t.distance_bits),
              1);
    return t;
}

Tables fixed_tables()
{
    return build_tables(fixed_literal_code().lengths, std::vector<uint32_t>(30, 5), 7, 5);
}

void free_tables(const Tables& t)
{
    free_huffman_table(t.literal);
    free_huffman_table(t.distance);
}

int decode_with(const Tables& t)
{
    return decode_codes(t.literal, t.distance, t.literal_bits, t.distance_bits);
}

// Starts a stream whose window already holds `history` ending at `window_pos`
// (the bytes before it are what a back-reference may reach).
void begin_with_window(const std::vector<uint8_t>& codes, const std::vector<uint8_t>& history,
                       uint32_t window_pos)
{
    begin_raw_stream(codes);
    uint8_t* end = decoder_state.window + window_pos;
    if (!history.empty()) std::memcpy(end - history.size(), history.data(), history.size());
    decoder_state.window_pos = window_pos;
}

// The bytes at window[from, window_pos) plus any written output.
std::vector<uint8_t> produced_since(uint32_t from)
{
    std::vector<uint8_t> out = raw_output();
    return std::vector<uint8_t>(out.begin() + from, out.end());
}

}  // namespace

TEST(CodeDecoding, EndOfBlockAloneProducesNothing)
{
    const Code lit = fixed_literal_code();
    BitWriter w;
    put_symbol(w, lit, 256);
    const Tables t = fixed_tables();
    begin_raw_stream(finish_bits(w));
    EXPECT_EQ(decode_with(t), 0);
    EXPECT_TRUE(raw_output().empty());
    EXPECT_EQ(decoder_state.window_pos, 0u);
    free_tables(t);
    end_raw_stream();
}

TEST(CodeDecoding, LiteralAtLastWindowPositionWrapsTheWindow)
{
    const Code lit = fixed_literal_code();
    BitWriter w;
    put_symbol(w, lit, 'A');
    put_symbol(w, lit, 'B');
    put_symbol(w, lit, 256);
    const Tables t = fixed_tables();
    begin_with_window(finish_bits(w), {}, WINDOW_SIZE - 1);
    ASSERT_EQ(decode_with(t), 0);
    const std::vector<uint8_t> out = raw_output();
    ASSERT_EQ(out.size(), WINDOW_SIZE + 1);
    EXPECT_EQ(out[WINDOW_SIZE - 1], 'A');
    EXPECT_EQ(out[WINDOW_SIZE], 'B');
    EXPECT_EQ(decoder_state.window_pos, 1u);
    free_tables(t);
    end_raw_stream();
}

// Copies checked against a replay of the same tokens over the same history.
struct CopyCase {
    uint32_t window_pos;
    uint32_t distance;
    uint32_t length;
    bool length_as_284;  // 258 sent as symbol 284 with extra bits 31
};

class CopyTest : public testing::TestWithParam<CopyCase> {};

TEST_P(CopyTest, MatchesReplay)
{
    const CopyCase c = GetParam();
    const Code lit = fixed_literal_code();
    const Code dist = fixed_distance_code();
    BitWriter w;
    if (c.length_as_284) {
        put_symbol(w, lit, 284);
        put_bits(w, 31, 5);
    } else {
        put_length(w, lit, c.length);
    }
    put_distance(w, dist, c.distance);
    put_symbol(w, lit, 'z');
    put_symbol(w, lit, 256);
    const std::vector<uint8_t> history = random_bytes(WINDOW_SIZE, c.window_pos);
    const Tables t = fixed_tables();
    begin_with_window(finish_bits(w), history, c.window_pos);
    ASSERT_EQ(decode_with(t), 0);
    std::vector<uint8_t> replay = history;
    for (uint32_t i = 0; i < c.length; i++) replay.push_back(replay[replay.size() - c.distance]);
    replay.push_back('z');
    const std::vector<uint8_t> expected(replay.end() - (c.length + 1), replay.end());
    EXPECT_EQ(produced_since(c.window_pos), expected);
    free_tables(t);
    end_raw_stream();
}

INSTANTIATE_TEST_SUITE_P(
    WindowEdges, CopyTest,
    testing::Values(CopyCase{100, 1, 258, false},         // repeats one byte
                    CopyCase{32760, 10, 20, false},       // crosses the window's end
                    CopyCase{32767, 3, 258, false},       // overlapping, across the end
                    CopyCase{0, 32768, 258, false},       // the oldest byte of history
                    CopyCase{5000, 32768, 258, true},     // 258 sent as 284 + 31
                    CopyCase{10, 32767, 258, false},      // source wraps, destination not
                    CopyCase{32700, 32768, 258, false},   // both cross
                    CopyCase{40, 258, 258, true},         // source ends where output starts
                    CopyCase{300, 3, 3, false}));

TEST(CodeDecoding, AbsentTables)
{
    // 'a' and end-of-block, one bit each; a length code in a second variant.
    std::vector<uint32_t> literals_only(257, 0);
    literals_only['a'] = 1;
    literals_only[256] = 1;
    std::vector<uint32_t> with_length(258, 0);
    with_length['a'] = 1;
    with_length[256] = 2;
    with_length[257] = 2;
    const std::vector<uint32_t> no_distances(1, 0);

    {
        const Code lit = canonical_code(literals_only);
        BitWriter w;
        put_symbol(w, lit, 'a');
        put_symbol(w, lit, 'a');
        put_symbol(w, lit, 256);
        const Tables t = build_tables(literals_only, no_distances, 9, 6);
        EXPECT_EQ(t.distance, nullptr);
        begin_raw_stream(finish_bits(w));
        EXPECT_EQ(decode_with(t), 0);
        EXPECT_EQ(raw_output(), bytes_of("aa"));
        free_tables(t);
        end_raw_stream();
    }
    {
        const Code lit = canonical_code(with_length);
        BitWriter w;
        put_symbol(w, lit, 'a');
        put_symbol(w, lit, 257);
        put_bits(w, 0, 8);
        put_symbol(w, lit, 256);
        const Tables t = build_tables(with_length, no_distances, 9, 6);
        begin_raw_stream(finish_bits(w));
        EXPECT_NE(decode_with(t), 0) << "a length needs a distance code";
        free_tables(t);
        end_raw_stream();
    }
    begin_raw_stream({0, 0, 0});
    EXPECT_NE(decode_codes(nullptr, nullptr, 0, 0), 0) << "no literal/length code at all";
    end_raw_stream();
}

// After the input ends every bit reads as 1, and nine 1 bits are the fixed
// code's literal 255: the loop must still end.
TEST(CodeDecoding, InputThatRunsOutEndsTheBlock)
{
    const Code lit = fixed_literal_code();
    BitWriter w;
    put_symbol(w, lit, 'x');
    const Tables t = fixed_tables();
    begin_raw_stream(finish_bits(w), false);
    EXPECT_NE(decode_with(t), 0);
    EXPECT_EQ(decoder_state.stop_flag, 1);
    free_tables(t);
    end_raw_stream();
}

// Random literals and matches through codes of up to 15 bits (so lookups go
// through sub-tables of both tables), over several windows of output.
TEST(CodeDecoding, RandomStreamsThroughDeepTablesMatchReplay)
{
    std::mt19937 rng(21);
    for (int round = 0; round < 6; round++) {
        const std::vector<uint32_t> lit_lengths = random_complete_lengths(286, 286, 15, 256, rng());
        const std::vector<uint32_t> dist_lengths = random_complete_lengths(30, 30, 15, 30, rng());
        const Code lit = canonical_code(lit_lengths);
        const Code dist = canonical_code(dist_lengths);
        std::vector<uint8_t> expected;
        BitWriter w;
        while (expected.size() < 100000) {
            if (expected.size() < 1 || rng() % 3 != 0) {
                const uint32_t b = rng() % 256;
                put_symbol(w, lit, b);
                expected.push_back(static_cast<uint8_t>(b));
                continue;
            }
            const uint32_t length = 3 + rng() % 256;
            const uint32_t reach = static_cast<uint32_t>(std::min<size_t>(expected.size(), WINDOW_SIZE));
            const uint32_t distance = 1 + rng() % reach;
            put_length(w, lit, length);
            put_distance(w, dist, distance);
            for (uint32_t i = 0; i < length; i++) expected.push_back(expected[expected.size() - distance]);
        }
        put_symbol(w, lit, 256);
        const Tables t = build_tables(lit_lengths, dist_lengths, 9, 6);
        begin_raw_stream(finish_bits(w));
        ASSERT_EQ(decode_with(t), 0) << "round " << round;
        EXPECT_TRUE(raw_output() == expected) << "round " << round;
        free_tables(t);
        end_raw_stream();
    }
}
