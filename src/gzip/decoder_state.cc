// The decoder's per-thread state and its input and output paths: reads of
// INPUT_CHUNK bytes, and writes of the windows, to a descriptor or a sink in
// memory, with the CRC-32 of everything handed to the output.
#include "decoder_state.h"

#include <cstring>

#include "crc32.h"
#include "gzip_decoder.h"
#include "platform.h"

thread_local constinit DecoderState decoder_state{};

const uint16_t bit_mask[17] = {0x0000, 0x0001, 0x0003, 0x0007, 0x000F, 0x001F,
                               0x003F, 0x007F, 0x00FF, 0x01FF, 0x03FF, 0x07FF,
                               0x0FFF, 0x1FFF, 0x3FFF, 0x7FFF, 0xFFFF};

int refill_input()
{
    DecoderState& s = decoder_state;
    s.input_size = 0;
    if (s.stop_flag) return -1;
    const int n = platform_read(s.input_fd, s.input_buffer, INPUT_CHUNK);
    // A read that fails may still have written into the buffer.
    const uint32_t written = n < 0 ? INPUT_CHUNK : static_cast<uint32_t>(n);
    if (written > s.input_dirty) s.input_dirty = written;
    if (n < 0) s.read_failed = 1;
    if (n <= 0) {
        // Nothing after the end is served: a member that still needs bytes
        // here is incomplete and fails. Its whole windows decoded so far
        // reach the output first, as they would one write per window.
        flush_whole_windows();
        s.stop_flag = 1;
        s.input_ended = 1;
        s.input_pos = 0;
        return -1;
    }
    s.input_size = static_cast<uint32_t>(n);
    s.input_pos = 1;
    return s.input_buffer[0];
}

// Hands `count` bytes at the start of the window to the output. A sink gets
// every window as it is filled. A descriptor gets the windows of the output
// area in one write, when the last of them is full or the member ends
// (`write_now`): a write call per window costs a tenth of a large file's time.
static void write_window(uint32_t count, bool write_now)
{
    DecoderState& s = decoder_state;
    s.crc = crc32_update(s.crc, s.window, count);
    s.bytes_out += count;
    int written = 0;
    uint32_t expected = count;
    if (s.output_sink != nullptr) {
        written = s.output_sink->write(s.output_sink->context, s.window, count);
    } else {
        if (!write_now) return;
        expected = static_cast<uint32_t>(s.window + count - s.unwritten);
        written = platform_write(s.output_fd, s.unwritten, expected);
        s.unwritten = s.window + count;
    }
    if (written < 0 || static_cast<uint32_t>(written) != expected) {
        s.stop_flag = 1;
        s.write_failed = 1;
    }
}

void flush_window()
{
    DecoderState& s = decoder_state;
    if (s.stop_flag) return;
    if (s.window_pos == 0) {
        flush_whole_windows();
        return;
    }
    write_window(s.window_pos, true);
    // The window starts afresh in place: nothing of it is pending now.
    s.unwritten = s.window;
    s.window_pos = 0;
}

void flush_whole_windows()
{
    DecoderState& s = decoder_state;
    if (s.write_failed || s.output_sink != nullptr || s.unwritten >= s.window) return;
    const uint32_t count = static_cast<uint32_t>(s.window - s.unwritten);
    const int written = platform_write(s.output_fd, s.unwritten, count);
    s.unwritten = s.window;
    if (written < 0 || static_cast<uint32_t>(written) != count) {
        s.stop_flag = 1;
        s.write_failed = 1;
    }
}

void wrap_window()
{
    DecoderState& s = decoder_state;
    const uint32_t excess = s.window_pos > WINDOW_SIZE ? s.window_pos - WINDOW_SIZE : 0;
    s.window_pos = WINDOW_SIZE;
    uint8_t* const first = s.window_buffer + WINDOW_SIZE;
    const bool last_segment = s.window + WINDOW_SIZE >= first + WINDOW_SEGMENTS * WINDOW_SIZE;
    if (!s.stop_flag) write_window(WINDOW_SIZE, last_segment);
    if (!last_segment) {
        s.window += WINDOW_SIZE;  // the bytes past the full window are already in place
    } else {
        // The window just written becomes the history of the first one.
        std::memcpy(s.window_buffer, s.window, WINDOW_SIZE);
        std::memcpy(first, s.window + WINDOW_SIZE, excess);
        s.window = first;
        s.unwritten = first;
    }
    // Windows done once the member stopped are never written.
    if (s.stop_flag) s.unwritten = s.window;
    s.window_pos = excess;
}
