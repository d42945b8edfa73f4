// Decoding of one Huffman-coded block's literals and matches into the window.
#pragma once

#include "huffman.h"

// Decodes codes until the end-of-block code. A null table (a code without any
// lengths) may not be looked up: a block that needs it is invalid.
// Returns DECODE_OK, or DECODE_INVALID for an invalid code, a missing table or
// input that ran out.
int decode_codes(const HuffEntry* literal_table, const HuffEntry* distance_table,
                 int literal_bits, int distance_bits);

// The fast loop comes in a plain build and, on x86 CPUs that have them, one
// using the BMI2 instructions; the process starts with the best it can run.
// true asks for the plain one, false for the best again. Returns whether the
// BMI2 loop is now in use. Not for use while another thread decodes.
bool use_plain_code_loop(bool plain);
