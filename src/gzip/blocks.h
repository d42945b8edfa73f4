// Deflate blocks (RFC 1951, 3.2.3 to 3.2.7): the block header, stored blocks,
// blocks with the fixed codes, and blocks with codes of their own.
#pragma once

#include "huffman.h"

// The fixed codes get tables as wide as any block's, so that one build of
// the code loop serves every block.
constexpr int FIXED_LITERAL_LOOKUP_BITS = LITERAL_LOOKUP_BITS;
constexpr int FIXED_DISTANCE_LOOKUP_BITS = DISTANCE_LOOKUP_BITS;
constexpr int CODE_LENGTH_LOOKUP_BITS = 7;

// Decodes one block; stores its BFINAL bit in *last_block.
// Returns DECODE_OK, DECODE_INVALID, DECODE_BAD_CODE (reserved type or
// over-subscribed code), DECODE_NO_MEMORY, or DECODE_STOPPED when stop_flag
// was already set (then nothing is read and *last_block is not written).
int decode_block(int* last_block);

// The block header has been consumed in each of these.
// Returns DECODE_OK, DECODE_INVALID (length check), DECODE_STOPPED (input ran out).
int decode_stored_block();
// Returns DECODE_OK, DECODE_INVALID or DECODE_NO_MEMORY.
int decode_fixed_block();
// Returns DECODE_OK, DECODE_INVALID, DECODE_BAD_CODE, DECODE_NO_MEMORY or DECODE_STOPPED.
int decode_dynamic_block();
