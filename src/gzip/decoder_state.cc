// The decoder's per-thread state and its input and output paths: reads of
// INPUT_CHUNK bytes, and writes of the window, to a descriptor or a sink in
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
    if (n < 0) s.read_failed = 1;
    if (n <= 0) {
        // Nothing after the end is served: a member that still needs bytes
        // here is incomplete and fails.
        s.stop_flag = 1;
        s.input_ended = 1;
        s.input_pos = 0;
        return -1;
    }
    s.input_size = static_cast<uint32_t>(n);
    s.input_pos = 1;
    return s.input_buffer[0];
}

// Hands `count` bytes at the start of the output area to the output.
static void write_window(uint32_t count)
{
    DecoderState& s = decoder_state;
    s.crc = crc32_update(s.crc, s.window, count);
    const int written = s.output_sink != nullptr ? s.output_sink->write(s.output_sink->context, s.window, count)
                                                 : platform_write(s.output_fd, s.window, count);
    s.bytes_out += count;
    if (written < 0 || static_cast<uint32_t>(written) != count) {
        s.stop_flag = 1;
        s.write_failed = 1;
    }
}

void flush_window()
{
    DecoderState& s = decoder_state;
    if (s.window_pos == 0 || s.stop_flag) return;
    write_window(s.window_pos);
    s.window_pos = 0;
}

void wrap_window()
{
    DecoderState& s = decoder_state;
    const uint32_t excess = s.window_pos > WINDOW_SIZE ? s.window_pos - WINDOW_SIZE : 0;
    s.window_pos = WINDOW_SIZE;
    if (!s.stop_flag) write_window(WINDOW_SIZE);
    uint8_t* const first = s.window_buffer + WINDOW_SIZE;
    if (s.window + WINDOW_SIZE < first + WINDOW_SEGMENTS * WINDOW_SIZE) {
        s.window += WINDOW_SIZE;  // the bytes past the full window are already in place
    } else {
        // The window just written becomes the history of the first one.
        std::memcpy(s.window_buffer, s.window, WINDOW_SIZE);
        std::memcpy(first, s.window + WINDOW_SIZE, excess);
        s.window = first;
    }
    s.window_pos = excess;
}
