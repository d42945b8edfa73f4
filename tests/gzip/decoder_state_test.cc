// Byte, bit and window operations of the decoder state over fake descriptors:
// read sizes and counts, end of input, bit order, and what a failed or short
// write leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "decode_harness.h"
#include "decoder_state.h"
#include "fake_io.h"

namespace {

// A fresh member state reading exactly `input`.
void start_state(const std::vector<uint8_t>& input)
{
    begin_raw_stream(input, false);
}

FakeFile& input_file()
{
    return *fake_file(decoder_state.input_fd);
}

FakeFile& output_file()
{
    return *fake_file(decoder_state.output_fd);
}

}  // namespace

TEST(ByteInput, ReadsWholeChunksAndStopsAtEnd)
{
    const std::vector<uint8_t> data = random_bytes(2 * INPUT_CHUNK + 4464, 1);
    start_state(data);
    for (size_t i = 0; i < data.size(); i++) ASSERT_EQ(next_byte(), data[i]) << i;
    EXPECT_EQ(input_file().read_calls, 3);
    EXPECT_EQ(decoder_state.stop_flag, 0);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(decoder_state.stop_flag, 1);
    EXPECT_EQ(input_file().read_calls, 4);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(input_file().read_calls, 4) << "no read after the end was seen";
    for (uint32_t size : input_file().read_sizes) EXPECT_EQ(size, INPUT_CHUNK);
}

TEST(ByteInput, ShortReadIsServedBeforeTheNextRead)
{
    start_state(random_bytes(100, 2));
    input_file().max_read = 10;
    for (int i = 0; i < 10; i++) next_byte();
    EXPECT_EQ(input_file().read_calls, 1);
    next_byte();
    EXPECT_EQ(input_file().read_calls, 2);
    EXPECT_EQ(decoder_state.stop_flag, 0);
}

TEST(ByteInput, EmptyOrFailingInputYieldsMinusOneAtOnce)
{
    start_state({});
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(decoder_state.stop_flag, 1);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(input_file().read_calls, 1);

    start_state(random_bytes(100, 3));
    input_file().read_fail_at = 1;
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(decoder_state.stop_flag, 1);
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(input_file().read_calls, 1);
}

TEST(BitInput, BitsArriveLeastSignificantFirst)
{
    start_state({0xA5, 0x3C, 0xFF});
    need_bits(3);
    EXPECT_GE(decoder_state.bit_count, 3u);
    EXPECT_EQ(decoder_state.bit_buffer & 7, 0x5u);
    drop_bits(3);
    need_bits(13);
    EXPECT_EQ(decoder_state.bit_buffer & 0x1FFF, ((0x3Cu << 8 | 0xA5u) >> 3) & 0x1FFF);
}

TEST(BitInput, ExhaustedInputReadsAsOneBits)
{
    start_state({});
    decoder_state.bit_buffer = 5;  // bits 101 left over
    decoder_state.bit_count = 3;
    need_bits(9);
    EXPECT_GE(decoder_state.bit_count, 9u);
    EXPECT_EQ(decoder_state.bit_buffer & 0x1FF, 0x1FDu);
    EXPECT_EQ(decoder_state.stop_flag, 1);
}

TEST(WindowOutput, FlushWithNothingPendingWritesNothing)
{
    start_state({});
    flush_window();
    EXPECT_EQ(output_file().write_calls, 0);
    EXPECT_EQ(decoder_state.bytes_out, 0u);
}

TEST(WindowOutput, ShortWriteCountsTheBytesAndStopsTheMember)
{
    start_state(random_bytes(100, 4));
    output_file().write_fault_at = 1;
    output_file().write_fault_result = 1000;
    decoder_state.window_pos = 5000;
    flush_window();
    EXPECT_EQ(decoder_state.bytes_out, 5000u);
    EXPECT_EQ(decoder_state.stop_flag, 1);
    EXPECT_EQ(decoder_state.window_pos, 0u);

    decoder_state.window_pos = 10;
    flush_window();
    std::memset(decoder_state.window, 7, WINDOW_SIZE);
    decoder_state.window_pos = WINDOW_SIZE;
    wrap_window();
    EXPECT_EQ(next_byte(), -1);
    EXPECT_EQ(output_file().write_calls, 1);
    EXPECT_EQ(input_file().read_calls, 0);
    EXPECT_EQ(decoder_state.bytes_out, 5000u);
}

TEST(WindowOutput, FailedWriteStopsTheMember)
{
    start_state({});
    output_file().write_fault_at = 1;
    output_file().write_fault_result = -1;
    decoder_state.window_pos = 1;
    flush_window();
    EXPECT_EQ(decoder_state.stop_flag, 1);
    EXPECT_EQ(decoder_state.bytes_out, 1u);
}

// Bytes decoded past the full window (a match may run into the slack) start
// the next window; the full one stays below it as history.
TEST(WindowOutput, WrapWritesTheFullWindowAndKeepsItAsHistory)
{
    start_state({});
    const std::vector<uint8_t> first = random_bytes(WINDOW_SIZE + 5, 5);
    for (int round = 0; round < 20; round++) {
        std::memcpy(decoder_state.window, first.data(), first.size());
        decoder_state.window_pos = WINDOW_SIZE + 5;
        wrap_window();
        ASSERT_EQ(decoder_state.window_pos, 5u);
        ASSERT_EQ(std::memcmp(decoder_state.window, first.data() + WINDOW_SIZE, 5), 0);
        ASSERT_EQ(std::memcmp(decoder_state.window - WINDOW_SIZE, first.data(), WINDOW_SIZE), 0);
    }
    EXPECT_EQ(decoder_state.bytes_out, 20 * WINDOW_SIZE);
    // A descriptor gets a full output area per write.
    EXPECT_EQ(output_file().write_sizes, std::vector<uint32_t>(20 / WINDOW_SEGMENTS, WINDOW_SEGMENTS * WINDOW_SIZE));
    EXPECT_TRUE(std::equal(first.begin(), first.begin() + WINDOW_SIZE, output_file().output.begin()));
}

TEST(WindowOutput, WrapWhileStoppedWritesNothing)
{
    start_state({});
    decoder_state.stop_flag = 1;
    decoder_state.window_pos = WINDOW_SIZE;
    wrap_window();
    EXPECT_EQ(output_file().write_calls, 0);
    EXPECT_EQ(decoder_state.bytes_out, 0u);
    EXPECT_EQ(decoder_state.window_pos, 0u);
}
