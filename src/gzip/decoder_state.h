// The decoder's state record, one per thread, and its byte, bit and window
// operations. Input arrives in reads of INPUT_CHUNK bytes; output leaves in
// whole 32768-byte windows plus one final partial window per member (to a
// descriptor several windows at a time).
#pragma once

#include <cstdint>

// Result codes of every decoder routine.
constexpr int DECODE_OK = 0;
constexpr int DECODE_INVALID = 1;      // invalid code or length, bad stored length, limit exceeded
constexpr int DECODE_BAD_CODE = 2;     // reserved block type, over-subscribed code lengths
constexpr int DECODE_NO_MEMORY = 3;    // a table could not be allocated
constexpr int DECODE_STOPPED = -1;     // input exhausted or a write fell short

constexpr uint32_t INPUT_CHUNK = 131072;       // bytes requested by every read
constexpr uint32_t INPUT_BUFFER_SIZE = INPUT_CHUNK + 64;  // room for 8-byte loads past the end
constexpr uint32_t WINDOW_SIZE = 32768;        // Deflate's maximum distance (RFC 1951, 2)

// The window buffer holds WINDOW_SIZE bytes of history, then an output
// area of WINDOW_SEGMENTS windows, then slack: the code loop may finish a
// literal and a longest match past the end of a window, and match copies
// store whole words past the end of a match. `window` is the window being
// filled; the WINDOW_SIZE bytes below it are always the output before it, so
// a back-reference never has to wrap around. A full window is done and
// `window` moves on to the next; only after the last one is the last window
// copied down to the history. A sink gets each window when it is done; a
// descriptor gets the done windows of the output area in one write, when
// the last is done or the member ends.
constexpr uint32_t WINDOW_SEGMENTS = 8;
constexpr uint32_t WINDOW_SLACK = 320;
constexpr uint32_t WINDOW_BUFFER_SIZE = (1 + WINDOW_SEGMENTS) * WINDOW_SIZE + WINDOW_SLACK;

struct WindowSink;

struct DecoderState {
    int64_t member_mtime;    // header time of the file's first member
    int input_fd;
    int output_fd;
    const WindowSink* output_sink;  // when set, windows go here instead of to output_fd
    int32_t stop_flag;       // 1 once input ended or a write fell short: no more reads or writes
    uint8_t* input_buffer;   // INPUT_BUFFER_SIZE bytes, owned by unzip_stream
    uint8_t* window_buffer;  // WINDOW_BUFFER_SIZE bytes, owned by the member reader
    uint8_t* window;         // the window being filled, inside window_buffer
    uint8_t* unwritten;      // first done byte not yet written to output_fd
    uint32_t input_size;     // bytes of input_buffer that may be fetched
    uint32_t input_pos;      // next byte to fetch
    uint32_t input_dirty;    // bytes at the start of input_buffer that reads wrote
                             // since it was last cleared
    uint32_t window_pos;     // decoded bytes not yet written, 0 to WINDOW_SIZE
    uint32_t bytes_out;      // bytes of this member handed to the output, modulo 2^32
    uint64_t bit_buffer;     // fetched bits not yet consumed; next bit is bit 0; bits
                             // above bit_count are zero or the input's next bits
    uint32_t bit_count;      // valid low bits in bit_buffer, 0 to 63
    uint32_t crc;            // CRC-32 of the bytes of this member handed to the output
    int32_t input_ended;     // a read returned 0 or less during this file
    int32_t write_failed;    // a write of this member failed or fell short
    int32_t read_failed;     // a read of this file reported an error
};

// One per thread: several threads may decode at once, each its own file.
extern thread_local constinit DecoderState decoder_state;

// bit_mask[n] = 2^n - 1, for n = 0 to 16.
extern const uint16_t bit_mask[17];

// Reads the next chunk and returns its first byte. At end of input or after a
// failed read, and whenever stop_flag is already set, returns -1 (stop_flag
// and, for a read, input_ended are then set).
int refill_input();

// The next input byte, or -1 once the input is exhausted.
inline int next_byte()
{
    DecoderState& s = decoder_state;
    if (s.input_pos < s.input_size) return s.input_buffer[s.input_pos++];
    return refill_input();
}

// Makes at least n (at most 56) bits valid in bit_buffer. An exhausted input
// reads as an endless run of 1 bits.
inline void need_bits(uint32_t n)
{
    DecoderState& s = decoder_state;
    while (s.bit_count < n) {
        const int c = next_byte();
        const uint64_t byte = c < 0 ? ~uint64_t{0} : static_cast<uint64_t>(c);
        s.bit_buffer |= byte << s.bit_count;
        s.bit_count += 8;
    }
}

// Consumes n bits; n must not exceed bit_count.
inline void drop_bits(uint32_t n)
{
    DecoderState& s = decoder_state;
    s.bit_buffer >>= n;
    s.bit_count -= n;
}

// Writes the decoded bytes pending in the window, and the done windows not
// yet written, unless stop_flag is set.
void flush_window();
// Writes only the done windows not yet written (for a member that fails:
// its output keeps every whole window decoded before the failure).
void flush_whole_windows();

// Called when window_pos reaches WINDOW_SIZE or has passed it by bytes in
// the slack: writes the full window (unless stop_flag is set) and moves on to
// the next, which starts with the bytes decoded past the full one. Moves
// `window`: a caller holding a copy of it must reload it.
void wrap_window();
