// The fuzz targets' oracle: zlib, driven as a black box so that it decodes a
// file the way kavrelt's decoder is meant to, and the checks that hold the
// decoder's run against it. A failed check prints what differs and aborts,
// which libFuzzer records as a crash with its input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// zlib's view of a whole input file, member after member.
struct Reference {
    bool ok;                      // every member decoded and matched its trailer
    std::vector<uint8_t> output;  // all members' output; on failure what zlib had decoded
    int64_t mtime;                // first member's time, sign-extended
};

// One raw Deflate stream inflated by zlib after a window of zeros.
struct RawInflate {
    bool ok;                      // a final block was reached
    std::vector<uint8_t> output;  // what zlib produced, also on failure
    size_t consumed;              // bytes up to the end of the final block
    const char* message;          // zlib's message on failure, or null
};

RawInflate reference_inflate(const uint8_t* data, size_t size);
Reference reference_unzip(const uint8_t* data, size_t size);

// CRC-32 (zlib's) and ISIZE of `data`, as a gzip trailer.
std::vector<uint8_t> trailer_for(const std::vector<uint8_t>& data);

// What unzip_stream writes for `data`, whatever its verdict.
std::vector<uint8_t> decoder_output(const uint8_t* data, size_t size);

// Runs unzip_stream over `data` several ways (one read, short reads, a failed
// read, a failed or short write) and aborts on any disagreement with zlib or
// between the runs.
void check_decoder(const uint8_t* data, size_t size);
