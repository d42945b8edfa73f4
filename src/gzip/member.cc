// The gzip member reader (RFC 1952): checks the header and skips its
// optional fields, decodes the Deflate blocks, and checks the output against
// the trailer's CRC-32 and length. unzip_stream decodes every member of a file.
#include <cstdlib>
#include <cstring>

#include "blocks.h"
#include "decoder_state.h"
#include "gzip_decoder.h"
#include "member.h"

namespace {

// Each thread keeps its input buffer and window from one file to the next:
// allocating them afresh for every file costs more than decoding a small
// one (the window is larger than what the allocator hands out from its
// pools, so every file would map new pages and fault them in).
thread_local uint8_t* kept_input_buffer = nullptr;
// Bytes at the start of kept_input_buffer the last file's reads wrote.
thread_local uint32_t kept_input_dirty = 0;
thread_local uint8_t* kept_window_buffer = nullptr;

uint8_t* kept_buffer(uint8_t** kept, size_t size)
{
    if (*kept == nullptr) *kept = static_cast<uint8_t*>(std::malloc(size));
    return *kept;
}

constexpr int GZIP_ID1 = 0x1F;
constexpr int GZIP_ID2 = 0x8B;
constexpr int METHOD_DEFLATE = 8;
constexpr int FLAG_HEADER_CRC = 0x02;
constexpr int FLAG_EXTRA = 0x04;
constexpr int FLAG_NAME = 0x08;
constexpr int FLAG_COMMENT = 0x10;

int fetch_low_byte() { return next_byte() & 0xFF; }

void skip_bytes(uint32_t count)
{
    while (count-- > 0)
        if (next_byte() < 0) return;
}

// Skips a zero-terminated field; ends at the input's end too.
void skip_string()
{
    while (next_byte() > 0) {
    }
}

// Reads the header after the magic bytes. Returns false if it is not a
// Deflate member. The optional fields come in the order RFC 1952 writes
// them: extra field, name, comment, then the header's own CRC.
bool read_header(bool first_member)
{
    if (next_byte() != METHOD_DEFLATE) return false;
    const int flags = fetch_low_byte();
    uint32_t time = 0;
    for (int i = 0; i < 4; i++) time |= static_cast<uint32_t>(fetch_low_byte()) << (8 * i);
    if (first_member) decoder_state.member_mtime = static_cast<int32_t>(time);
    skip_bytes(2);  // extra flags, operating system
    if (flags & FLAG_EXTRA) {
        const uint32_t low = static_cast<uint32_t>(fetch_low_byte());
        skip_bytes(low | static_cast<uint32_t>(fetch_low_byte()) << 8);
    }
    if (flags & FLAG_NAME) skip_string();
    if (flags & FLAG_COMMENT) skip_string();
    if (flags & FLAG_HEADER_CRC) skip_bytes(2);
    return !decoder_state.input_ended;
}

// The next byte after the Deflate data: whole bytes still in the bit buffer
// were fetched ahead and come first.
int next_aligned_byte()
{
    DecoderState& s = decoder_state;
    if (s.bit_count >= 8) {
        const int byte = static_cast<int>(s.bit_buffer & 0xFF);
        drop_bits(8);
        return byte;
    }
    return next_byte();
}

uint32_t read_trailer_word()
{
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) v |= static_cast<uint32_t>(next_aligned_byte() & 0xFF) << (8 * i);
    return v;
}

int decode_member_body()
{
    DecoderState& s = decoder_state;
    s.bit_buffer = 0;
    s.bit_count = 0;
    s.window_pos = 0;
    int last_block = 0;
    do {
        if (decode_block(&last_block) != DECODE_OK) {
            flush_whole_windows();
            return -1;
        }
    } while (!last_block);

    drop_bits(s.bit_count % 8);  // the fill bits of the last Deflate byte
    flush_window();
    const uint32_t crc = read_trailer_word();
    const uint32_t size = read_trailer_word();
    if (s.input_ended || s.write_failed) return -1;
    return crc == s.crc && size == s.bytes_out ? 0 : -1;
}

}  // namespace

int read_gzip_member(bool first_member)
{
    DecoderState& s = decoder_state;
    uint8_t* const window_buffer = kept_buffer(&kept_window_buffer, WINDOW_BUFFER_SIZE);
    if (window_buffer == nullptr) return -1;
    // The history starts zero-filled, so a back-reference before the member's
    // first byte reads zeros and never bytes of an earlier file. The output
    // area is only ever read where it has been written.
    std::memset(window_buffer, 0, WINDOW_SIZE);
    s.window_buffer = window_buffer;
    s.window = window_buffer + WINDOW_SIZE;
    s.unwritten = s.window;
    s.stop_flag = 0;
    s.window_pos = 0;
    s.bytes_out = 0;
    s.crc = 0;
    s.write_failed = 0;

    int result = -1;
    bool magic_ok = true;
    if (first_member) {
        const int id1 = next_byte();
        const int id2 = next_byte();
        magic_ok = (id1 & 0xFF) == GZIP_ID1 && (id2 & 0xFF) == GZIP_ID2;
    }
    if (magic_ok && read_header(first_member)) result = decode_member_body();
    s.window_buffer = nullptr;
    s.window = nullptr;
    s.unwritten = nullptr;
    return result;
}

namespace {

int unzip(int input_fd, int output_fd, const WindowSink* output_sink)
{
    DecoderState& s = decoder_state;
    s.input_fd = input_fd;
    s.output_fd = output_fd;
    s.output_sink = output_sink;
    const bool fresh = kept_input_buffer == nullptr;
    uint8_t* const input_buffer = kept_buffer(&kept_input_buffer, INPUT_BUFFER_SIZE);
    if (input_buffer == nullptr) return -1;
    // Nothing of the previous file may show through. Only the bytes its
    // reads wrote need clearing: a small file would otherwise pay for
    // clearing the whole buffer.
    std::memset(input_buffer, 0, fresh ? INPUT_BUFFER_SIZE : kept_input_dirty);
    s.input_dirty = 0;
    s.input_buffer = input_buffer;
    s.input_size = 0;
    s.input_pos = 0;
    s.input_ended = 0;
    s.read_failed = 0;
    s.stop_flag = 0;
    s.bit_buffer = 0;
    s.bit_count = 0;

    int result = read_gzip_member(true);
    // Another member follows only where the next two bytes are the gzip
    // magic; anything else after a good member is ignored.
    while (result == 0) {
        if (next_byte() != GZIP_ID1 || next_byte() != GZIP_ID2) break;
        result = read_gzip_member(false);
    }
    kept_input_dirty = s.input_dirty;
    s.input_buffer = nullptr;
    // A read error where the next member's magic would be is not the end of
    // the file: the members after it would be lost.
    return result == 0 && !s.read_failed ? 0 : -1;
}

}  // namespace

int unzip_stream(int input_fd, int output_fd)
{
    return unzip(input_fd, output_fd, nullptr);
}

int unzip_to_sink(int input_fd, const WindowSink* sink)
{
    return unzip(input_fd, -1, sink);
}

int64_t member_mtime() { return decoder_state.member_mtime; }
