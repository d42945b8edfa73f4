// Dynamic block headers: count limits, which code-length lengths are read,
// the repeat symbols and their bounds, the results for incomplete, over-
// subscribed and empty codes, deep codes, and allocation failure at every
// table of a block.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "bit_writer.h"
#include "blocks.h"
#include "decode_harness.h"
#include "decoder_state.h"

namespace {

// The lengths a list of code-length symbols stands for.
std::vector<uint32_t> expand(const std::vector<LengthSymbol>& symbols)
{
    std::vector<uint32_t> lengths;
    uint32_t previous = 0;
    for (const LengthSymbol& s : symbols) {
        if (s.symbol < 16) {
            lengths.push_back(s.symbol);
            previous = s.symbol;
        } else if (s.symbol == 16) {
            lengths.insert(lengths.end(), 3 + s.extra, previous);
        } else {
            lengths.insert(lengths.end(), (s.symbol == 17 ? 3 : 11) + s.extra, 0);
            previous = 0;
        }
    }
    return lengths;
}

// A dynamic block sending `symbols` for HLIT/HDIST, then `literals` and the
// end-of-block code with the literal/length code those symbols define.
std::vector<uint8_t> block_from_symbols(uint32_t hlit, uint32_t hdist,
                                        const std::vector<LengthSymbol>& symbols,
                                        const std::vector<uint8_t>& literals)
{
    const std::vector<uint32_t> all = expand(symbols);
    const std::vector<uint32_t> lit(all.begin(), all.begin() + std::min<size_t>(all.size(), 257 + hlit));
    BitWriter w;
    put_dynamic_header_raw(w, true, hlit, hdist, 15, full_code_length_lengths(), symbols);
    const Code code = canonical_code(lit);
    for (uint8_t b : literals) put_symbol(w, code, b);
    if (lit.size() > 256 && lit[256] != 0) put_symbol(w, code, 256);
    return finish_bits(w);
}

std::vector<uint8_t> block_from_lengths(const std::vector<uint32_t>& lit,
                                        const std::vector<uint32_t>& dist,
                                        const std::vector<uint8_t>& literals)
{
    BitWriter w;
    put_dynamic_header(w, true, lit, dist);
    const Code code = canonical_code(lit);
    for (uint8_t b : literals) put_symbol(w, code, b);
    put_symbol(w, code, 256);
    return finish_bits(w);
}

// 'a' and end-of-block with one bit each.
std::vector<uint32_t> two_symbol_lengths()
{
    std::vector<uint32_t> lit(257, 0);
    lit['a'] = 1;
    lit[256] = 1;
    return lit;
}

}  // namespace

TEST(DynamicBlock, LargestCountsAndDeepCodesDecode)
{
    std::mt19937 rng(5);
    const std::vector<uint32_t> lit = random_complete_lengths(286, 286, 15, 256, rng());
    const std::vector<uint32_t> dist = random_complete_lengths(30, 30, 15, 30, rng());
    const Code lit_code = canonical_code(lit);
    const Code dist_code = canonical_code(dist);
    BitWriter w;
    put_dynamic_header(w, true, lit, dist);  // HLIT 29, HDIST 29: all 316 lengths
    std::vector<uint8_t> expected;
    for (int i = 0; i < 3000; i++) {
        if (i % 4 != 3 || expected.empty()) {
            const uint32_t b = rng() % 256;
            put_symbol(w, lit_code, b);
            expected.push_back(static_cast<uint8_t>(b));
        } else {
            const uint32_t length = 3 + rng() % 256;
            const uint32_t distance = 1 + rng() % std::min<uint32_t>(static_cast<uint32_t>(expected.size()), 32768);
            put_length(w, lit_code, length);
            put_distance(w, dist_code, distance);
            for (uint32_t k = 0; k < length; k++) expected.push_back(expected[expected.size() - distance]);
        }
    }
    put_symbol(w, lit_code, 256);
    const BlocksRun r = decode_blocks(finish_bits(w));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_TRUE(r.output == expected);
}

// Blocks that would be valid but for one count above its limit: 287
// literal/length lengths or 31 distance lengths, each forming a complete code.
TEST(DynamicBlock, CountsAboveTheirLimitsAreInvalid)
{
    for (uint32_t literal_count : {286u, 287u, 288u}) {
        const std::vector<uint32_t> lit = random_complete_lengths(literal_count, literal_count, 15, 256, 1);
        const std::vector<uint8_t> block = block_from_lengths(lit, {1}, bytes_of("ok"));
        EXPECT_EQ(decode_blocks(block).result, literal_count == 286 ? DECODE_OK : DECODE_INVALID)
            << literal_count << " literal/length lengths";
    }
    for (uint32_t distance_count : {30u, 31u, 32u}) {
        const std::vector<uint32_t> dist = random_complete_lengths(distance_count, distance_count, 15, 99, 2);
        const std::vector<uint8_t> block = block_from_lengths(two_symbol_lengths(), dist, bytes_of("aa"));
        EXPECT_EQ(decode_blocks(block).result, distance_count == 30 ? DECODE_OK : DECODE_INVALID)
            << distance_count << " distance lengths";
    }
}

// HCLEN 2 sends the lengths of 16, 17, 18, 0, 8 and 7 only; the code has 252
// literals of 8 bits and 'a' and end-of-block of 7 bits, and no distance code.
TEST(DynamicBlock, OnlyTheFirstHclenPlusFourLengthsAreRead)
{
    std::vector<uint32_t> cl(19, 0);
    cl[0] = 2;
    cl[7] = 2;
    cl[8] = 2;
    cl[18] = 2;
    std::vector<LengthSymbol> symbols;
    for (uint32_t s = 0; s < 256; s++) {
        const bool unused = s == 250 || s == 251 || s == 253;
        symbols.push_back({unused ? 0u : s == 'a' ? 7u : 8u, 0});
    }
    symbols.push_back({7, 0});  // end-of-block
    symbols.push_back({0, 0});  // the one distance length
    const std::vector<uint32_t> lengths = expand(symbols);
    std::vector<uint32_t> lit(lengths.begin(), lengths.begin() + 257);
    BitWriter w;
    put_dynamic_header_raw(w, true, 0, 0, 2, cl, symbols);
    const Code code = canonical_code(lit);
    for (uint8_t b : bytes_of("a\x01\xfc")) put_symbol(w, code, b);
    put_symbol(w, code, 256);
    const BlocksRun r = decode_blocks(finish_bits(w));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_EQ(r.output, bytes_of("a\x01\xfc"));
}

// Sixteen symbols get 4 bits (a complete code, end-of-block among them); the
// distance code is a single 1-bit code, which is accepted. A 16 after a 17 or
// an 18 repeats 0 even where a nonzero length came before the run.
TEST(DynamicBlock, RepeatSymbolsFollowThePreviousLength)
{
    const std::vector<LengthSymbol> symbols = {
        {16, 0},    // first symbol: repeats 0 three times (0..2)
        {17, 0},    // 3..5
        {16, 0},    // after 17: zeros again (6..8)
        {18, 80},   // 9..99
        {4, 0},     // 100
        {16, 0},    // 101..103 = 4
        {16, 0},    // after 16: 4 again (104..106)
        {18, 0},    // 107..117
        {16, 0},    // after 18: zeros (118..120)
        {4, 0},     // 121
        {17, 0},    // 122..124
        {16, 0},    // after 17: zeros (125..127)
        {4, 0},     // 128
        {16, 2},    // 129..133 = 4
        {18, 110},  // 134..254
        {4, 0},     // 255
        {4, 0},     // 256, end-of-block
        {1, 0},     // the distance code
    };
    ASSERT_EQ(expand(symbols).size(), 258u);
    const std::vector<uint8_t> text = {'d', 'j', 'y', 0x80, 0x85, 0xFF};
    const BlocksRun r = decode_blocks(block_from_symbols(0, 0, symbols, text));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_EQ(r.output, text);
}

namespace {

// HLIT 3, HDIST 5 (total 266): 'a' (1 bit), end-of-block and length 3
// (2 bits each); the only distance code is symbol 1 (distance 2). The last
// symbol is a run of zeros of `last_run` (17 with extra bits last_run - 3).
std::vector<uint8_t> run_bounds_block(uint32_t last_run)
{
    const std::vector<LengthSymbol> symbols = {
        {18, 86}, {1, 0}, {18, 127}, {18, 9}, {2, 0}, {2, 0},
        {17, 0},  // lengths 258 and 259, then the first distance length
        {1, 0},   // distance symbol 1
        {17, last_run - 3},
    };
    std::vector<uint32_t> lit = expand(symbols);
    lit.resize(260);
    const Code code = canonical_code(lit);
    BitWriter w;
    put_dynamic_header_raw(w, true, 3, 5, 15, full_code_length_lengths(), symbols);
    put_symbol(w, code, 'a');
    put_symbol(w, code, 'a');
    put_symbol(w, code, 257);
    put_code(w, 0, 1);  // distance symbol 1, the only (1-bit) distance code
    put_symbol(w, code, 256);
    return finish_bits(w);
}

}  // namespace

TEST(DynamicBlock, RunsMayCrossIntoDistancesAndEndExactlyAtTotal)
{
    const BlocksRun exact = decode_blocks(run_bounds_block(4));
    EXPECT_EQ(exact.result, DECODE_OK);
    EXPECT_EQ(exact.output, bytes_of("aaaaa"));
    EXPECT_EQ(decode_blocks(run_bounds_block(5)).result, DECODE_INVALID) << "one past total";

    // A repeat of the previous length that passes total: 257 zeros, then 16.
    const std::vector<LengthSymbol> over = {{18, 127}, {18, 108}, {16, 0}};
    EXPECT_EQ(decode_blocks(block_from_symbols(0, 0, over, {})).result, DECODE_INVALID);
}

TEST(DynamicBlock, IncompleteAndOverSubscribedCodes)
{
    std::vector<uint32_t> lit = two_symbol_lengths();
    lit['a'] = 2;
    lit[256] = 2;
    EXPECT_EQ(decode_blocks(block_from_lengths(lit, {1}, {})).result, DECODE_INVALID);
    lit['b'] = 1;
    lit['c'] = 1;
    EXPECT_EQ(decode_blocks(block_from_lengths(lit, {1}, {})).result, DECODE_BAD_CODE);

    const std::vector<uint32_t> two = two_symbol_lengths();
    EXPECT_EQ(decode_blocks(block_from_lengths(two, {0, 0, 2}, {'a'})).result, DECODE_INVALID)
        << "a single distance code of 2 bits is incomplete";
    EXPECT_EQ(decode_blocks(block_from_lengths(two, {1, 1, 1}, {'a'})).result, DECODE_BAD_CODE);
}

TEST(DynamicBlock, SingleOneBitDistanceCodeAndNoDistanceCodeAreAccepted)
{
    const std::vector<uint32_t> two = two_symbol_lengths();
    BlocksRun r = decode_blocks(block_from_lengths(two, {0, 1}, bytes_of("aa")));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_EQ(r.output, bytes_of("aa"));
    r = decode_blocks(block_from_lengths(two, {0}, bytes_of("aaa")));
    EXPECT_EQ(r.result, DECODE_OK) << "literals only, all distance lengths 0";
    EXPECT_EQ(r.output, bytes_of("aaa"));
    r = decode_blocks(block_from_lengths(two, {0}, {}));
    EXPECT_EQ(r.result, DECODE_OK) << "end-of-block alone";
    EXPECT_TRUE(r.output.empty());
}

TEST(DynamicBlock, CodeLengthCodeResults)
{
    const std::vector<LengthSymbol> none;
    BitWriter empty;  // all 19 lengths 0
    put_dynamic_header_raw(empty, true, 0, 0, 15, std::vector<uint32_t>(19, 0), none);
    EXPECT_NE(decode_blocks(finish_bits(empty)).result, DECODE_OK);

    BitWriter hclen0;  // only 16, 17, 18, 0 sent, all 0
    put_dynamic_header_raw(hclen0, true, 0, 0, 0, std::vector<uint32_t>(19, 0), none);
    EXPECT_NE(decode_blocks(finish_bits(hclen0)).result, DECODE_OK);

    std::vector<uint32_t> incomplete(19, 0);
    incomplete[0] = 2;
    incomplete[8] = 2;
    BitWriter w1;
    put_dynamic_header_raw(w1, true, 0, 0, 15, incomplete, {{8, 0}});
    EXPECT_EQ(decode_blocks(finish_bits(w1)).result, DECODE_INVALID);

    std::vector<uint32_t> over(19, 0);
    over[0] = over[8] = over[18] = 1;
    BitWriter w2;
    put_dynamic_header_raw(w2, true, 0, 0, 15, over, none);
    EXPECT_EQ(decode_blocks(finish_bits(w2)).result, DECODE_BAD_CODE);

    // One 1-bit code (symbol 8) is accepted; 258 lengths of 8 bits then make
    // an over-subscribed literal/length code.
    std::vector<uint32_t> single(19, 0);
    single[8] = 1;
    BitWriter w3;
    put_dynamic_header_raw(w3, true, 0, 0, 15, single, std::vector<LengthSymbol>(258, {8, 0}));
    EXPECT_EQ(decode_blocks(finish_bits(w3)).result, DECODE_BAD_CODE);
}

TEST(DynamicBlock, AllocationFailureAtEveryTableFailsWithoutLeak)
{
    std::mt19937 rng(6);
    const std::vector<uint32_t> lit = random_complete_lengths(286, 286, 15, 256, rng());
    const std::vector<uint32_t> dist = random_complete_lengths(30, 30, 15, 30, rng());
    const std::vector<uint8_t> data = bytes_of("tables");
    const std::vector<uint8_t> block = block_from_lengths(lit, dist, data);
    fail_allocation_at(100000);
    ASSERT_EQ(decode_blocks(block).result, DECODE_OK);
    const int total = allocations_seen();
    ASSERT_GE(total, 1);
    for (int k = 1; k <= total; k++) {
        fail_allocation_at(k);
        EXPECT_EQ(decode_blocks(block).result, DECODE_NO_MEMORY) << "allocation " << k;
        fail_allocation_at(k);
        const UnzipRun run = run_unzip(frame_gzip_member(block, data));
        EXPECT_EQ(run.result, -1) << "allocation " << k;
        EXPECT_TRUE(run.output.empty());
    }
    restore_allocation();
}
