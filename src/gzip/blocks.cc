// The Deflate block header, stored blocks and blocks coded with the fixed
// Huffman codes (RFC 1951, 3.2.3, 3.2.4, 3.2.6).
#include "blocks.h"

#include <cstring>

#include "codes.h"
#include "decoder_state.h"
#include "huffman.h"

int decode_block(int* last_block)
{
    DecoderState& s = decoder_state;
    if (s.stop_flag) return DECODE_STOPPED;
    need_bits(3);
    *last_block = static_cast<int>(s.bit_buffer & 1);
    const uint32_t type = static_cast<uint32_t>(s.bit_buffer >> 1) & 3;
    drop_bits(3);
    switch (type) {
        case 0: return decode_stored_block();
        case 1: return decode_fixed_block();
        case 2: return decode_dynamic_block();
        default: return DECODE_BAD_CODE;
    }
}

// Stores one byte and writes the window when it is full.
static inline void put_byte(uint8_t byte)
{
    DecoderState& s = decoder_state;
    s.window[s.window_pos++] = byte;
    if (s.window_pos == WINDOW_SIZE) wrap_window();
}

int decode_stored_block()
{
    DecoderState& s = decoder_state;
    drop_bits(s.bit_count % 8);
    need_bits(16);
    uint32_t length = static_cast<uint32_t>(s.bit_buffer & 0xFFFF);
    drop_bits(16);
    need_bits(16);
    const uint32_t complement = static_cast<uint32_t>(s.bit_buffer & 0xFFFF);
    if (length != (~complement & 0xFFFF)) return DECODE_INVALID;
    drop_bits(16);
    if (s.input_ended) return DECODE_STOPPED;

    // Whole bytes already in the bit buffer come first, in stream order.
    while (length > 0 && s.bit_count >= 8) {
        put_byte(static_cast<uint8_t>(s.bit_buffer));
        drop_bits(8);
        length--;
    }
    // The rest is copied straight from the input. Bits above bit_count may
    // still hold input fetched ahead, which the copy now passes by.
    if (length > 0) s.bit_buffer = 0;
    while (length > 0) {
        if (s.input_pos >= s.input_size) {
            if (refill_input() < 0) return DECODE_STOPPED;
            s.input_pos = 0;  // the byte refill_input returned is copied below
        }
        uint32_t n = s.input_size - s.input_pos;
        if (n > length) n = length;
        if (n > WINDOW_SIZE - s.window_pos) n = WINDOW_SIZE - s.window_pos;
        std::memcpy(s.window + s.window_pos, s.input_buffer + s.input_pos, n);
        s.input_pos += n;
        s.window_pos += n;
        length -= n;
        if (s.window_pos == WINDOW_SIZE) wrap_window();
    }
    return DECODE_OK;
}

int decode_fixed_block()
{
    // RFC 1951, 3.2.6.
    uint32_t code_lengths[288];
    for (uint32_t i = 0; i < 144; i++) code_lengths[i] = 8;
    for (uint32_t i = 144; i < 256; i++) code_lengths[i] = 9;
    for (uint32_t i = 256; i < 280; i++) code_lengths[i] = 7;
    for (uint32_t i = 280; i < 288; i++) code_lengths[i] = 8;

    HuffEntry* literal_table = nullptr;
    int literal_bits = FIXED_LITERAL_LOOKUP_BITS;
    int r = build_huffman_table(code_lengths, 288, 257, length_base, length_extra, &literal_table,
                                &literal_bits);
    if (r != DECODE_OK) return r;

    for (uint32_t i = 0; i < 30; i++) code_lengths[i] = 5;
    HuffEntry* distance_table = nullptr;
    int distance_bits = FIXED_DISTANCE_LOOKUP_BITS;
    r = build_huffman_table(code_lengths, 30, 0, distance_base, distance_extra, &distance_table,
                            &distance_bits);
    // Thirty 5-bit codes leave two patterns unused: incomplete, and expected.
    if (r > DECODE_INVALID) {
        free_huffman_table(literal_table);
        return r;
    }
    r = decode_codes(literal_table, distance_table, literal_bits, distance_bits);
    free_huffman_table(literal_table);
    free_huffman_table(distance_table);
    return r == DECODE_OK ? DECODE_OK : DECODE_INVALID;
}
