// Fuzz target: the input is a raw Deflate stream, framed as one gzip member
// whose trailer is right for it, so that mutations reach deep into the block
// decoders instead of dying at the CRC check. The trailer is zlib's when zlib
// accepts the stream; when zlib refuses it, the trailer is made for what the
// decoder itself produced, so a decoder that wrongly accepts the stream is
// caught by the verdict rather than hidden behind a checksum mismatch.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "oracle.h"

namespace {

std::vector<uint8_t> frame(const uint8_t* deflate, size_t size, const std::vector<uint8_t>& output)
{
    // Header: magic, Deflate, no flags, no time, no extra flags, unknown OS.
    std::vector<uint8_t> file = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 0xFF};
    file.insert(file.end(), deflate, deflate + size);
    const std::vector<uint8_t> trailer = trailer_for(output);
    file.insert(file.end(), trailer.begin(), trailer.end());
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const RawInflate in = reference_inflate(data, size);
    if (in.ok) {
        const std::vector<uint8_t> file = frame(data, in.consumed, in.output);
        check_decoder(file.data(), file.size());
        return 0;
    }
    const std::vector<uint8_t> first = frame(data, size, in.output);
    const std::vector<uint8_t> file = frame(data, size, decoder_output(first.data(), first.size()));
    check_decoder(file.data(), file.size());
    return 0;
}
