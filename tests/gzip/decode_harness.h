// Shared helpers of the decoder tests: gzip framing around hand-made or
// zlib-made Deflate data, a run of unzip_stream over the fake descriptors,
// a bare block-decoding setup for the block-level tests, and an allocator
// that fails on request.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A gzip header (RFC 1952, 2.3) with the given flags and time, no optional fields.
std::vector<uint8_t> gzip_header(uint8_t flags = 0, uint32_t mtime = 0);
// The 8-byte trailer for `data`: CRC-32 and length, little-endian.
std::vector<uint8_t> gzip_trailer(const std::vector<uint8_t>& data);
// A gzip member framed by hand around Deflate data: header, `deflate`,
// trailer of `data` (what it decodes to).
std::vector<uint8_t> frame_gzip_member(const std::vector<uint8_t>& deflate, const std::vector<uint8_t>& data);
std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b);
std::vector<uint8_t> bytes_of(const std::string& text);

// zlib_gzip (tests/support) of `data` as bytes: level, strategy, window bits
// 8..15, memLevel; header time 0.
std::vector<uint8_t> zlib_gzip_bytes(const std::vector<uint8_t>& data, int level, int strategy, int window_bits = 15,
                                     int mem_level = 8);

// Fault knobs for one unzip_stream run (see FakeFile).
struct IoKnobs {
    uint32_t max_read = 0;
    int read_fail_at = 0;
    int write_fault_at = 0;
    int write_fault_result = 0;
    bool keep_output = true;
};

struct UnzipRun {
    int result;
    std::vector<uint8_t> output;
    uint64_t bytes_written;
    int read_calls;
    int write_calls;
    std::vector<uint32_t> read_sizes;
    std::vector<uint32_t> write_sizes;
    int64_t mtime;
};

UnzipRun run_unzip(const std::vector<uint8_t>& input, const IoKnobs& knobs = IoKnobs{});

// Block-level tests: the decoder state as the member reader leaves it just
// before its first block, reading `deflate` and 8 zero bytes (where a trailer
// would be, unless `pad_like_trailer` is false) through a fake descriptor.
void begin_raw_stream(const std::vector<uint8_t>& deflate, bool pad_like_trailer = true);
// Everything decoded so far: bytes written plus the bytes pending in the window.
std::vector<uint8_t> raw_output();
// Runs decode_block until a final block or a failure; returns the first
// nonzero result, or 0.
int decode_raw_blocks();
void end_raw_stream();

struct BlocksRun {
    int result;  // of decode_raw_blocks
    std::vector<uint8_t> output;
};
// begin_raw_stream, decode_raw_blocks, raw_output, end_raw_stream.
BlocksRun decode_blocks(const std::vector<uint8_t>& deflate);

// Makes the k-th table allocation from now on fail (k >= 1); every other
// allocation goes to the decoder's own allocator. Counting restarts here.
void fail_allocation_at(int k);
// Tables allocated since fail_allocation_at, the failed one included.
int allocations_seen();
void restore_allocation();

// Code lengths (at most `max_length` bits) of a random complete code over
// `used` of `count` symbols; `must_use` (if below count) is always among them.
std::vector<uint32_t> random_complete_lengths(uint32_t count, uint32_t used, uint32_t max_length,
                                              uint32_t must_use, uint32_t seed);

// Deterministic test data.
std::vector<uint8_t> random_bytes(size_t size, uint32_t seed);
std::vector<uint8_t> text_bytes(size_t size, uint32_t seed);
