// The gzip decoder's public face: decode the gzip members of one open input
// descriptor into one open output descriptor. The decoder never prints and
// never ends the process; it reports by its result.
#pragma once

#include <cstdint>

// Decodes every gzip member of `input_fd` (concatenated members append to
// the same output) into `output_fd`. Both descriptors stay open; the caller
// owns them. Returns 0 when each member decoded completely and matched its
// trailer's CRC-32 and length, -1 otherwise (bad data, input that ends
// early, a failed or short write, out of memory).
int unzip_stream(int input_fd, int output_fd);

// Where decoded windows go when not to a descriptor: `write` gets every
// window in the sizes and order it would have been written, and returns
// `count`, or -1 to fail the file as a failed write would.
struct WindowSink {
    int (*write)(void* context, const uint8_t* data, uint32_t count);
    void* context;
};
// As unzip_stream, with every window handed to `sink`. Any thread may decode
// its own file at the same time as others.
int unzip_to_sink(int input_fd, const WindowSink* sink);

// The modification time in the first member's header, in seconds since
// 1970-01-01 UTC, sign-extended from 32 bits; 0 means none was recorded.
// Meaningful after unzip_stream or unzip_to_sink returned 0 on this thread.
int64_t member_mtime();
