// Block headers, stored blocks and fixed-code blocks through decode_block:
// result codes, what a refused block leaves in the window, stored data
// across window ends, and back-references between blocks.
#include <gtest/gtest.h>

#include <algorithm>

#include "bit_writer.h"
#include "blocks.h"
#include "decode_harness.h"
#include "decoder_state.h"
#include "fake_io.h"

namespace {

std::vector<uint8_t> fixed_block(bool final_block, const std::vector<uint8_t>& literals)
{
    BitWriter w;
    put_fixed_block(w, final_block, literals);
    return finish_bits(w);
}

}  // namespace

TEST(BlockHeader, StoppedMemberReadsNothing)
{
    begin_raw_stream(fixed_block(true, {'a'}));
    decoder_state.stop_flag = 1;
    int last_block = 7;
    EXPECT_EQ(decode_block(&last_block), DECODE_STOPPED);
    EXPECT_EQ(last_block, 7);
    EXPECT_EQ(fake_file(decoder_state.input_fd)->read_calls, 0);
    end_raw_stream();
}

TEST(BlockHeader, ReservedTypeIsRefusedAfterItsFinalBit)
{
    BitWriter w;
    put_block_header(w, true, 3);
    begin_raw_stream(finish_bits(w));
    int last_block = 0;
    EXPECT_EQ(decode_block(&last_block), DECODE_BAD_CODE);
    EXPECT_EQ(last_block, 1);
    end_raw_stream();
}

TEST(StoredBlock, EmptyBlockCopiesNothing)
{
    BitWriter w;
    put_stored_block(w, true, {});
    const BlocksRun r = decode_blocks(finish_bits(w));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_TRUE(r.output.empty());
}

TEST(StoredBlock, LengthCheckFailureCopiesNothing)
{
    // LEN 5, NLEN 5 (not its complement), then five bytes.
    BitWriter w;
    put_stored_block(w, false, {'k', 'e', 'e', 'p'});  // a first block that stays
    put_block_header(w, true, 0);
    align_to_byte(w);
    put_bits(w, 5, 16);
    put_bits(w, 5, 16);
    put_bytes(w, bytes_of("abcde"));
    const BlocksRun r = decode_blocks(finish_bits(w));
    EXPECT_EQ(r.result, DECODE_INVALID);
    EXPECT_EQ(r.output, bytes_of("keep"));

    BitWriter zero;  // LEN 0 with NLEN 0
    put_block_header(zero, true, 0);
    align_to_byte(zero);
    put_bits(zero, 0, 32);
    EXPECT_EQ(decode_blocks(finish_bits(zero)).result, DECODE_INVALID);
}

TEST(StoredBlock, StartsAtTheNextByteAfterABlockEndingMidByte)
{
    // The fixed block ends after 3 + 8 + 7 bits; its padding is skipped.
    BitWriter w;
    put_fixed_block(w, false, {'a'});
    put_stored_block(w, false, bytes_of("hello"));
    put_stored_block(w, true, bytes_of(" world"));
    const BlocksRun r = decode_blocks(finish_bits(w));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_EQ(r.output, bytes_of("ahello world"));
}

TEST(StoredBlock, LongestBlockFromTheLastWindowPositionFillsEachFullWindow)
{
    const std::vector<uint8_t> data = random_bytes(65535, 9);
    BitWriter w;
    put_stored_block(w, true, data);
    begin_raw_stream(finish_bits(w));
    decoder_state.window_pos = WINDOW_SIZE - 1;
    EXPECT_EQ(decode_raw_blocks(), DECODE_OK);
    EXPECT_EQ(decoder_state.window, decoder_state.window_buffer + 3 * WINDOW_SIZE);
    EXPECT_EQ(decoder_state.window_pos, 65535u - 1 - WINDOW_SIZE);
    const std::vector<uint8_t> all = raw_output();
    ASSERT_EQ(all.size(), WINDOW_SIZE - 1 + data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), all.begin() + (WINDOW_SIZE - 1)));
    end_raw_stream();
}

TEST(StoredBlock, DataCutShortFails)
{
    BitWriter w;
    put_stored_block(w, true, random_bytes(1000, 10));
    std::vector<uint8_t> cut = finish_bits(w);
    cut.resize(500);
    begin_raw_stream(cut, false);
    EXPECT_NE(decode_raw_blocks(), DECODE_OK);
    EXPECT_EQ(decoder_state.stop_flag, 1);
    end_raw_stream();
}

TEST(FixedBlock, EndOfBlockAloneDecodesToNothing)
{
    const BlocksRun r = decode_blocks(fixed_block(true, {}));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_TRUE(r.output.empty());
}

TEST(FixedBlock, UnusedSymbolsAreInvalid)
{
    const Code lit = fixed_literal_code();
    const Code dist = fixed_distance_code();
    for (uint32_t symbol : {286u, 287u}) {
        BitWriter w;
        put_block_header(w, true, 1);
        put_symbol(w, lit, symbol);
        put_symbol(w, lit, 256);
        EXPECT_EQ(decode_blocks(finish_bits(w)).result, DECODE_INVALID) << symbol;
    }
    for (uint32_t symbol : {30u, 31u}) {
        BitWriter w;
        put_block_header(w, true, 1);
        put_symbol(w, lit, 'a');
        put_length(w, lit, 3);
        put_symbol(w, dist, symbol);
        put_symbol(w, lit, 256);
        EXPECT_EQ(decode_blocks(finish_bits(w)).result, DECODE_INVALID) << symbol;
    }
}

TEST(FixedBlock, BackReferenceReachesIntoTheBlockBefore)
{
    const Code lit = fixed_literal_code();
    const Code dist = fixed_distance_code();
    BitWriter w;
    put_fixed_block(w, false, bytes_of("abcd"));
    put_block_header(w, true, 1);
    put_length(w, lit, 3);
    put_distance(w, dist, 2);
    put_symbol(w, lit, 256);
    const BlocksRun r = decode_blocks(finish_bits(w));
    EXPECT_EQ(r.result, DECODE_OK);
    EXPECT_EQ(r.output, bytes_of("abcdcdc"));
}

TEST(FixedBlock, AllocationFailureAtEveryTableFailsWithoutLeak)
{
    const std::vector<uint8_t> block = fixed_block(true, bytes_of("xyz"));
    fail_allocation_at(100000);
    ASSERT_EQ(decode_blocks(block).result, DECODE_OK);
    const int total = allocations_seen();
    ASSERT_GE(total, 1);
    for (int k = 1; k <= total; k++) {
        fail_allocation_at(k);
        EXPECT_EQ(decode_blocks(block).result, DECODE_NO_MEMORY) << "allocation " << k;
    }
    restore_allocation();
}
