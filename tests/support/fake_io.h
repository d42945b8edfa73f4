// In-memory stand-ins for platform_read and platform_write, so the decoder can
// be driven from byte arrays and its input and output faults chosen call by
// call. Descriptors handed out here are small integers from FAKE_FD_BASE on;
// they live until fake_io_reset. Test code only; not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int FAKE_FD_BASE = 1000;

struct FakeFile {
    std::vector<uint8_t> input;   // bytes served by reads, in order
    size_t input_pos;             // next byte to serve
    std::vector<uint8_t> output;  // bytes stored by writes
    bool keep_output;             // false: writes are counted, their bytes dropped
    uint32_t max_read;            // most bytes one read returns; 0 = no limit
    int read_fail_at;             // 1-based read call that returns -1; 0 = never
    int write_fault_at;           // 1-based write call that misbehaves; 0 = never
    int write_fault_result;       // what it returns: -1, or bytes stored (short)
    int read_calls;
    int write_calls;
    std::vector<uint32_t> read_sizes;   // count requested by each read
    std::vector<uint32_t> write_sizes;  // count requested by each write
    uint64_t bytes_written;             // sum of bytes stored, kept or not
};

// Forgets every fake descriptor.
void fake_io_reset();
// Registers an input holding a copy of `data`; returns its descriptor.
int fake_open_input(const uint8_t* data, size_t size);
int fake_open_input(const std::vector<uint8_t>& data);
// Registers an empty output; returns its descriptor.
int fake_open_output();
// The file behind `fd`, or null for a descriptor this fake did not hand out.
FakeFile* fake_file(int fd);
