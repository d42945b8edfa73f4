// The table builder: shapes from RFC 1951's example and the fixed codes,
// width clamping, results for incomplete and over-subscribed lengths, every
// symbol of random complete codes found through the table levels, and
// allocation failure at every table of a code.
#include <gtest/gtest.h>

#include <random>

#include "bit_writer.h"
#include "decode_harness.h"
#include "huffman.h"

namespace {

// What a lookup found: a literal, the end of block, or a length or distance
// with its extra bits.
enum class Kind { INVALID, LITERAL, END_OF_BLOCK, VALUE };

struct Found {
    bool invalid;
    Kind kind;
    uint32_t value;     // literal, or base value
    uint32_t extra;     // extra bits of a length or distance
    uint32_t consumed;  // bits of the code, link included, extra bits not
};

// Walks the tables as the decoder does, for `bits` in stream order (bit 0
// first).
Found look_up(const HuffEntry* table, int width, uint64_t bits)
{
    HuffEntry e = table[bits & ((1u << width) - 1)];
    uint32_t consumed = 0;
    if (is_link(e)) {
        consumed = entry_bits(e);
        bits >>= entry_bits(e);
        e = table[entry_base(e) + (bits & ((1u << entry_sub_width(e)) - 1))];
    }
    if (is_invalid(e) || is_link(e)) return {true, Kind::INVALID, 0, 0, consumed};
    if (is_end_of_block(e)) return {false, Kind::END_OF_BLOCK, 256, 0, consumed + entry_bits(e)};
    if (is_literal(e)) return {false, Kind::LITERAL, entry_literal(e), 0, consumed + entry_bits(e)};
    const uint32_t code_length = entry_code_length(e);
    return {false, Kind::VALUE, entry_base(e), entry_bits(e) - code_length, consumed + code_length};
}

// The bits of `symbol`'s canonical code in stream order.
uint64_t stream_bits(const Code& code, uint32_t symbol)
{
    uint64_t reversed = 0;
    for (uint32_t i = 0; i < code.lengths[symbol]; i++)
        reversed |= static_cast<uint64_t>((code.codes[symbol] >> (code.lengths[symbol] - 1 - i)) & 1) << i;
    return reversed;
}

struct Built {
    int result;
    HuffEntry* table;
    int bits;
};

Built build(const std::vector<uint32_t>& lengths, uint32_t simple_count, int width,
            const uint16_t* bases = nullptr, const uint16_t* extras = nullptr)
{
    Built b{0, nullptr, width};
    b.result = build_huffman_table(lengths.data(), static_cast<uint32_t>(lengths.size()),
                                   simple_count, bases, extras, &b.table, &b.bits);
    return b;
}

// Checks that every symbol with a length decodes to itself (all simple).
void expect_every_symbol_found(const std::vector<uint32_t>& lengths, int width)
{
    const Built b = build(lengths, static_cast<uint32_t>(lengths.size()), width);
    ASSERT_EQ(b.result, 0);
    const Code code = canonical_code(lengths);
    for (uint32_t s = 0; s < lengths.size(); s++) {
        if (lengths[s] == 0) continue;
        const Found f = look_up(b.table, b.bits, stream_bits(code, s));
        ASSERT_FALSE(f.invalid) << "symbol " << s;
        EXPECT_EQ(f.value, s);
        EXPECT_EQ(f.consumed, lengths[s]) << "symbol " << s;
        EXPECT_EQ(f.kind, s < 256 ? Kind::LITERAL : s == 256 ? Kind::END_OF_BLOCK : Kind::VALUE);
    }
    free_huffman_table(b.table);
}

std::vector<uint32_t> fixed_literal_lengths()
{
    return fixed_literal_code().lengths;
}

}  // namespace

TEST(HuffmanTable, RfcExampleIsOneTableOfEight)
{
    const Built b = build({2, 1, 3, 3}, 4, 3);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(b.bits, 3);
    const uint16_t symbol_at[8] = {1, 0, 1, 2, 1, 0, 1, 3};
    const uint8_t bits_at[8] = {1, 2, 1, 3, 1, 2, 1, 3};
    for (int i = 0; i < 8; i++) {
        EXPECT_TRUE(is_literal(b.table[i])) << i;
        EXPECT_EQ(entry_literal(b.table[i]), symbol_at[i]) << i;
        EXPECT_EQ(entry_bits(b.table[i]), bits_at[i]) << i;
    }
    free_huffman_table(b.table);
}

TEST(HuffmanTable, NoLengthsGiveNoTableAndNoAllocation)
{
    fail_allocation_at(1000);
    const Built b = build(std::vector<uint32_t>(19, 0), 19, 7);
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.table, nullptr);
    EXPECT_EQ(b.bits, 0);
    EXPECT_EQ(allocations_seen(), 0);
    restore_allocation();
}

TEST(HuffmanTable, OverSubscribedLengthsAllocateNothing)
{
    fail_allocation_at(1000);
    EXPECT_EQ(build({1, 1, 1}, 3, 7).result, 2);
    EXPECT_EQ(build({1, 2, 2, 2}, 4, 7).result, 2);
    std::vector<uint32_t> lengths(288, 8);  // 288 codes of 8 bits: 32 too many
    EXPECT_EQ(build(lengths, 257, 9, length_base, length_extra).result, 2);
    EXPECT_EQ(allocations_seen(), 0);
    restore_allocation();
}

TEST(HuffmanTable, FixedLiteralCodeHasSubTablesAndInvalidSymbols)
{
    const std::vector<uint32_t> lengths = fixed_literal_lengths();
    const Built b = build(lengths, 257, 7, length_base, length_extra);
    ASSERT_EQ(b.result, 0);
    ASSERT_EQ(b.bits, 7);
    const Code code = fixed_literal_code();
    for (uint32_t s = 0; s < 288; s++) {
        const uint64_t bits = stream_bits(code, s);
        const HuffEntry first = b.table[bits & 0x7F];
        if (lengths[s] == 8) {
            EXPECT_TRUE(is_link(first) && entry_sub_width(first) == 1) << s;
        } else if (lengths[s] == 9) {
            EXPECT_TRUE(is_link(first) && entry_sub_width(first) == 2) << s;
        }
        const Found f = look_up(b.table, b.bits, bits);
        if (s >= 286) {
            EXPECT_TRUE(f.invalid) << s;
            continue;
        }
        ASSERT_FALSE(f.invalid) << s;
        EXPECT_EQ(f.consumed, lengths[s]) << s;
        if (s < 256) {
            EXPECT_EQ(f.kind, Kind::LITERAL);
            EXPECT_EQ(f.value, s);
        } else if (s == 256) {
            EXPECT_EQ(f.kind, Kind::END_OF_BLOCK);
        } else {
            EXPECT_EQ(f.extra, TEST_LENGTH_EXTRA[s - 257]) << s;
            EXPECT_EQ(f.value, TEST_LENGTH_BASE[s - 257]) << s;
        }
    }
    free_huffman_table(b.table);
}

TEST(HuffmanTable, FixedDistanceCodeIsIncompleteWithTwoInvalidPatterns)
{
    const Built b = build(std::vector<uint32_t>(30, 5), 0, 5, distance_base, distance_extra);
    ASSERT_EQ(b.result, 1);
    ASSERT_EQ(b.bits, 5);
    const Code code = fixed_distance_code();
    for (uint32_t s = 0; s < 32; s++) {
        const Found f = look_up(b.table, 5, stream_bits(code, s));
        if (s >= 30) {
            EXPECT_TRUE(f.invalid) << s;
            continue;
        }
        ASSERT_FALSE(f.invalid);
        EXPECT_EQ(f.extra, TEST_DISTANCE_EXTRA[s]);
        EXPECT_EQ(f.value, TEST_DISTANCE_BASE[s]);
    }
    free_huffman_table(b.table);
}

TEST(HuffmanTable, SingleOneBitCodeIsCompleteButMultiBitIsNot)
{
    Built b = build({0, 1, 0}, 3, 7);
    ASSERT_EQ(b.result, 0);
    EXPECT_EQ(b.bits, 7);
    EXPECT_FALSE(look_up(b.table, b.bits, 0).invalid);
    EXPECT_EQ(look_up(b.table, b.bits, 0).value, 1);
    EXPECT_TRUE(look_up(b.table, b.bits, 1).invalid);
    free_huffman_table(b.table);

    b = build({0, 0, 3}, 3, 7);  // one code of 3 bits
    EXPECT_EQ(b.result, 1);
    free_huffman_table(b.table);
}

TEST(HuffmanTable, IncompleteCodeNeverPlacesUnusedSymbols)
{
    const Built b = build({0, 2, 0, 2, 2, 0}, 6, 7);
    ASSERT_EQ(b.result, 1);
    ASSERT_EQ(b.bits, 7);
    int invalid = 0;
    for (int i = 0; i < 4; i++) {
        if (is_invalid(b.table[i])) {
            invalid++;
            continue;
        }
        const uint32_t v = entry_literal(b.table[i]);
        EXPECT_TRUE(v == 1 || v == 3 || v == 4) << v;
    }
    EXPECT_EQ(invalid, 1);
    free_huffman_table(b.table);
}

// A table is never narrower than its shortest code, and as wide as asked
// otherwise, even where every code is shorter.
TEST(HuffmanTable, WidthIsRaisedToTheShortestCode)
{
    Built b = build(std::vector<uint32_t>(128, 7), 128, 9);
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.bits, 9);
    free_huffman_table(b.table);
    expect_every_symbol_found(std::vector<uint32_t>(128, 7), 9);
    b = build(std::vector<uint32_t>(256, 8), 256, 6);
    EXPECT_EQ(b.result, 0);
    EXPECT_EQ(b.bits, 8);
    free_huffman_table(b.table);
    expect_every_symbol_found(std::vector<uint32_t>(256, 8), 6);
}

// Random complete codes up to 15 bits (made by splitting random leaves), at
// the widths the decoder asks for: every symbol is found with its own length.
TEST(HuffmanTable, EverySymbolOfRandomCompleteCodesIsFound)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 60; round++) {
        const uint32_t count = 2 + rng() % 287;
        const uint32_t used = 2 + rng() % (count - 1);
        const std::vector<uint32_t> lengths = random_complete_lengths(count, used, 15, count, rng());
        for (int width : {11, 9, 7, 6, 1}) {
            SCOPED_TRACE("round " + std::to_string(round) + " width " + std::to_string(width));
            expect_every_symbol_found(lengths, width);
        }
    }
}

// Every allocation of a code with several levels fails in turn: result 3 and
// nothing left allocated (the leak checker of the sanitizer build sees it).
TEST(HuffmanTable, AllocationFailureAtEveryTableReleasesTheRest)
{
    const std::vector<uint32_t> lengths = fixed_literal_lengths();
    fail_allocation_at(1000);
    const Built ok = build(lengths, 288, 7);
    ASSERT_EQ(ok.result, 0);
    const int total = allocations_seen();
    free_huffman_table(ok.table);
    ASSERT_GE(total, 1);
    for (int k = 1; k <= total; k++) {
        fail_allocation_at(k);
        const Built b = build(lengths, 288, 7);
        EXPECT_EQ(b.result, 3) << "allocation " << k;
        EXPECT_EQ(allocations_seen(), k) << "no allocation after the failed one";
    }
    restore_allocation();
}
