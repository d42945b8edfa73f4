// Decoding of one Huffman-coded block's literals and matches into the window.
#pragma once

#include "huffman.h"

// Decodes codes until the end-of-block code. A null table (a code without any
// lengths) may not be looked up: a block that needs it is invalid.
// Returns DECODE_OK, or DECODE_INVALID for an invalid code, a missing table or
// input that ran out.
int decode_codes(const HuffEntry* literal_table, const HuffEntry* distance_table,
                 int literal_bits, int distance_bits);
