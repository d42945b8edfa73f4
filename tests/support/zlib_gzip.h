// gzip data made with zlib: the tests' one way of compressing their inputs.
// zlib serves only as a black box here.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

// One gzip member of `data`, made by zlib: `mtime` in its header, zlib's
// compression `level` and `strategy`, a window of 2^`window_bits` bytes (8
// to 15) and its `mem_level`, and `name`, unless null, as the stored file
// name. Empty when zlib refuses the settings.
std::string zlib_gzip(const std::string& data, uint32_t mtime = 0, int level = 6, int strategy = Z_DEFAULT_STRATEGY,
                      int window_bits = 15, int mem_level = 8, const char* name = nullptr);

// The same, a piece at a time, for data too large to hold in memory.
struct ZlibGzipStream {
    z_stream stream;
    gz_header header;
};
// Starts a member with header time `mtime` at compression `level`. False
// when zlib refuses.
bool zlib_gzip_begin(ZlibGzipStream* gzip, uint32_t mtime, int level);
// Compresses `size` bytes at `data` and appends what zlib made of them to
// *out; `last` ends the member and releases the stream. False on failure.
bool zlib_gzip_add(ZlibGzipStream* gzip, const void* data, size_t size, bool last, std::string* out);
