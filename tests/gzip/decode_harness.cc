// Implementation of the decoder tests' shared helpers. zlib is used here only
// through its public API, to frame and compress test inputs.
#include "decode_harness.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "blocks.h"
#include "decoder_state.h"
#include "fake_io.h"
#include "gzip_decoder.h"
#include "huffman.h"
#include "zlib_gzip.h"

std::vector<uint8_t> gzip_header(uint8_t flags, uint32_t mtime)
{
    return {0x1F, 0x8B, 8, flags,
            static_cast<uint8_t>(mtime), static_cast<uint8_t>(mtime >> 8),
            static_cast<uint8_t>(mtime >> 16), static_cast<uint8_t>(mtime >> 24),
            0, 0xFF};
}

std::vector<uint8_t> gzip_trailer(const std::vector<uint8_t>& data)
{
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, data.data(), static_cast<uInt>(data.size())));
    const uint32_t size = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> t(8);
    for (int i = 0; i < 4; i++) {
        t[i] = static_cast<uint8_t>(crc >> (8 * i));
        t[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    return t;
}

std::vector<uint8_t> frame_gzip_member(const std::vector<uint8_t>& deflate, const std::vector<uint8_t>& data)
{
    return concat(concat(gzip_header(), deflate), gzip_trailer(data));
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<uint8_t> bytes_of(const std::string& text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> zlib_gzip_bytes(const std::vector<uint8_t>& data, int level, int strategy, int window_bits,
                                     int mem_level)
{
    return bytes_of(zlib_gzip(std::string(data.begin(), data.end()), 0, level, strategy, window_bits, mem_level));
}

UnzipRun run_unzip(const std::vector<uint8_t>& input, const IoKnobs& knobs)
{
    fake_io_reset();
    const int in = fake_open_input(input);
    const int out = fake_open_output();
    FakeFile* in_file = fake_file(in);
    FakeFile* out_file = fake_file(out);
    in_file->max_read = knobs.max_read;
    in_file->read_fail_at = knobs.read_fail_at;
    out_file->write_fault_at = knobs.write_fault_at;
    out_file->write_fault_result = knobs.write_fault_result;
    out_file->keep_output = knobs.keep_output;
    UnzipRun run{};
    run.result = unzip_stream(in, out);
    run.mtime = member_mtime();
    run.output = out_file->output;
    run.bytes_written = out_file->bytes_written;
    run.read_calls = in_file->read_calls;
    run.write_calls = out_file->write_calls;
    run.read_sizes = in_file->read_sizes;
    run.write_sizes = out_file->write_sizes;
    return run;
}

namespace {

std::vector<uint8_t> raw_input_buffer;
std::vector<uint8_t> raw_window_buffer;
int raw_output_fd = -1;

}  // namespace

void begin_raw_stream(const std::vector<uint8_t>& deflate, bool pad_like_trailer)
{
    fake_io_reset();
    raw_input_buffer.assign(INPUT_BUFFER_SIZE, 0);
    raw_window_buffer.assign(WINDOW_BUFFER_SIZE, 0);
    DecoderState& s = decoder_state;
    s = DecoderState{};
    // Eight more bytes stand where a member's trailer would, so that a decoder
    // reading ahead at the end of the last block finds input, as it would in a file.
    s.input_fd = fake_open_input(
        pad_like_trailer ? concat(deflate, std::vector<uint8_t>(8, 0)) : deflate);
    s.output_fd = raw_output_fd = fake_open_output();
    s.input_buffer = raw_input_buffer.data();
    s.window_buffer = raw_window_buffer.data();
    s.window = raw_window_buffer.data() + WINDOW_SIZE;
    s.unwritten = s.window;
}

std::vector<uint8_t> raw_output()
{
    std::vector<uint8_t> out = fake_file(raw_output_fd)->output;
    const DecoderState& s = decoder_state;
    // Done windows wait for a write of several; the pending part after them.
    out.insert(out.end(), s.unwritten, s.window + s.window_pos);
    return out;
}

int decode_raw_blocks()
{
    int last_block = 0;
    while (last_block == 0) {
        const int rc = decode_block(&last_block);
        if (rc != DECODE_OK) return rc;
    }
    return DECODE_OK;
}

void end_raw_stream()
{
    decoder_state.input_buffer = nullptr;
    decoder_state.window_buffer = nullptr;
    decoder_state.window = nullptr;
    decoder_state.unwritten = nullptr;
    raw_input_buffer.clear();
    raw_window_buffer.clear();
    fake_io_reset();
}

BlocksRun decode_blocks(const std::vector<uint8_t>& deflate)
{
    begin_raw_stream(deflate);
    BlocksRun r{decode_raw_blocks(), raw_output()};
    end_raw_stream();
    return r;
}

namespace {

void* (*original_allocate)(size_t) = nullptr;
int allocation_calls = 0;
int failing_call = 0;

void* failing_allocate(size_t size)
{
    allocation_calls++;
    if (allocation_calls == failing_call) return nullptr;
    return original_allocate(size);
}

}  // namespace

void fail_allocation_at(int k)
{
    if (original_allocate == nullptr) original_allocate = huffman_allocate;
    huffman_allocate = failing_allocate;
    allocation_calls = 0;
    failing_call = k;
}

int allocations_seen()
{
    return allocation_calls;
}

void restore_allocation()
{
    if (original_allocate != nullptr) huffman_allocate = original_allocate;
}

std::vector<uint8_t> random_bytes(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(size);
    for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
    return data;
}

// Words drawn with a skewed distribution, so the compressor finds both
// literals and matches of every length and distance.
std::vector<uint8_t> text_bytes(size_t size, uint32_t seed)
{
    static const char* const words[] = {
        "the ", "decoder ", "window ", "of ", "a ", "block ", "stored ", "fixed ",
        "dynamic ", "Huffman ", "code ", "length ", "distance ", "literal ", "\n",
        "tree ", "directory ", "kavrelt ", "member ", "trailer ", "CRC ", "32768 "};
    std::mt19937 rng(seed);
    std::geometric_distribution<int> pick(0.15);
    std::vector<uint8_t> data;
    data.reserve(size + 16);
    while (data.size() < size) {
        const int i = pick(rng) % static_cast<int>(sizeof words / sizeof words[0]);
        for (const char* p = words[i]; *p != 0; p++) data.push_back(static_cast<uint8_t>(*p));
    }
    data.resize(size);
    return data;
}

// Splitting a random leaf of a complete code keeps it complete.
std::vector<uint32_t> random_complete_lengths(uint32_t count, uint32_t used, uint32_t max_length,
                                              uint32_t must_use, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint32_t> depths{0};
    while (depths.size() < used) {
        const size_t i = rng() % depths.size();
        if (depths[i] >= max_length) continue;
        depths[i]++;
        depths.push_back(depths[i]);
    }
    std::vector<uint32_t> symbols(count);
    for (uint32_t s = 0; s < count; s++) symbols[s] = s;
    std::shuffle(symbols.begin(), symbols.end(), rng);
    if (must_use < count) std::iter_swap(symbols.begin(), std::find(symbols.begin(), symbols.end(), must_use));
    std::vector<uint32_t> lengths(count, 0);
    for (size_t i = 0; i < depths.size(); i++) lengths[symbols[i]] = depths[i];
    return lengths;
}
