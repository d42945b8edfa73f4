// Blocks that carry their own Huffman codes (RFC 1951, 3.2.7): the counts,
// the code-length code, the run-length coded code lengths, and the two
// decoding tables built from them.
#include <cstdint>

#include "blocks.h"
#include "codes.h"
#include "decoder_state.h"
#include "huffman.h"

namespace {

constexpr uint32_t MAX_LITERAL_COUNT = 286;
constexpr uint32_t MAX_DISTANCE_COUNT = 30;

// Order in which the code-length code's lengths arrive.
constexpr uint8_t code_length_order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

uint32_t read_bits(uint32_t n)
{
    need_bits(n);
    const uint32_t v = static_cast<uint32_t>(decoder_state.bit_buffer) & bit_mask[n];
    drop_bits(n);
    return v;
}

// Reads `total` code lengths with the code-length code in `table`.
// Returns DECODE_OK, or DECODE_INVALID when a run passes the end.
int read_code_lengths(const HuffEntry* table, int table_bits, uint32_t* code_lengths,
                      uint32_t total)
{
    const uint32_t width = static_cast<uint32_t>(table_bits);
    uint32_t previous_length = 0;
    uint32_t i = 0;
    while (i < total) {
        need_bits(width);
        const HuffEntry e = table[decoder_state.bit_buffer & bit_mask[width]];
        drop_bits(entry_bits(e));
        const uint32_t symbol = entry_literal(e);
        if (symbol < 16) {
            code_lengths[i++] = symbol;
            previous_length = symbol;
            continue;
        }
        uint32_t run = 0;
        uint32_t length = 0;
        if (symbol == 16) {
            run = 3 + read_bits(2);
            length = previous_length;
        } else if (symbol == 17) {
            run = 3 + read_bits(3);
        } else {
            run = 11 + read_bits(7);
        }
        if (i + run > total) return DECODE_INVALID;
        for (uint32_t j = 0; j < run; j++) code_lengths[i++] = length;
        previous_length = length;
    }
    return DECODE_OK;
}

}  // namespace

int decode_dynamic_block()
{
    const uint32_t literal_count = read_bits(5) + 257;
    const uint32_t distance_count = read_bits(5) + 1;
    const uint32_t code_length_count = read_bits(4) + 4;
    if (literal_count > MAX_LITERAL_COUNT || distance_count > MAX_DISTANCE_COUNT)
        return DECODE_INVALID;
    if (decoder_state.stop_flag) return DECODE_STOPPED;

    uint32_t code_lengths[MAX_LITERAL_COUNT + MAX_DISTANCE_COUNT];
    for (uint32_t j = 0; j < 19; j++)
        code_lengths[code_length_order[j]] = j < code_length_count ? read_bits(3) : 0;

    HuffEntry* code_length_table = nullptr;
    int code_length_bits = CODE_LENGTH_LOOKUP_BITS;
    int r = build_huffman_table(code_lengths, 19, 19, nullptr, nullptr, &code_length_table,
                                &code_length_bits);
    if (r == DECODE_INVALID || (r == DECODE_OK && code_length_table == nullptr)) {
        // An incomplete code-length code, or one without any code at all.
        free_huffman_table(code_length_table);
        return DECODE_INVALID;
    }
    if (r != DECODE_OK) return r;
    // A code of one 1-bit code is the only incomplete one accepted: its other
    // bit pattern decodes as the same symbol, as it always has here. A block
    // made of it fails later anyway: its lengths are all equal, which never
    // forms a usable literal code.
    for (uint32_t j = 0; j < (1u << code_length_bits); j++)
        if (is_invalid(code_length_table[j])) code_length_table[j] = code_length_table[j ^ 1];
    if (decoder_state.stop_flag) {
        free_huffman_table(code_length_table);
        return DECODE_STOPPED;
    }
    r = read_code_lengths(code_length_table, code_length_bits, code_lengths,
                          literal_count + distance_count);
    free_huffman_table(code_length_table);
    if (r != DECODE_OK) return r;

    HuffEntry* literal_table = nullptr;
    int literal_bits = LITERAL_LOOKUP_BITS;
    r = build_huffman_table(code_lengths, literal_count, 257, length_base, length_extra,
                            &literal_table, &literal_bits);
    if (r == DECODE_INVALID) free_huffman_table(literal_table);
    if (r != DECODE_OK) return r;

    HuffEntry* distance_table = nullptr;
    int distance_bits = DISTANCE_LOOKUP_BITS;
    r = build_huffman_table(code_lengths + literal_count, distance_count, 0, distance_base,
                            distance_extra, &distance_table, &distance_bits);
    if (r == DECODE_INVALID) free_huffman_table(distance_table);
    if (r != DECODE_OK) {
        free_huffman_table(literal_table);
        return r;
    }
    r = decode_codes(literal_table, distance_table, literal_bits, distance_bits);
    free_huffman_table(literal_table);
    free_huffman_table(distance_table);
    return r == DECODE_OK ? DECODE_OK : DECODE_INVALID;
}
