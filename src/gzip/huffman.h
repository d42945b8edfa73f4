// Two-level Huffman decoding tables built from lists of code lengths
// (RFC 1951, 3.2.2), and Deflate's length and distance constants. All tables
// of one code live in one allocation: the first-level table, then the
// sub-tables of codes longer than its width, which links name by index.
#pragma once

#include <cstddef>
#include <cstdint>

// One table entry is one 32-bit word, laid out so that the code loop takes a
// symbol with as few dependent steps as possible: its low byte is always the
// number of bits to drop, so dropping is one shift by the entry and one
// subtraction of it.
//
//   literal            bit 31 set; bits 8-15 the literal
//   length, distance   bits 16-31 base value; bits 8-11 the code's own
//                      length; bits 0-7 that length plus the extra bits, so
//                      the extra bits lie between the two counts
//   end of block       ENTRY_EXCEPTIONAL | ENTRY_END_OF_BLOCK
//   link               ENTRY_EXCEPTIONAL | ENTRY_LINK; bits 16-31 the
//                      sub-table's index from the first-level table, bits
//                      8-11 its width; bits 0-7 the first-level width
//   invalid            ENTRY_EXCEPTIONAL alone: no code has these bits
using HuffEntry = uint32_t;

constexpr HuffEntry ENTRY_LITERAL = 0x80000000u;
constexpr HuffEntry ENTRY_EXCEPTIONAL = 0x8000u;
constexpr HuffEntry ENTRY_END_OF_BLOCK = 0x4000u;
constexpr HuffEntry ENTRY_LINK = 0x2000u;
constexpr HuffEntry ENTRY_INVALID = ENTRY_EXCEPTIONAL;

// Bits an entry drops.
inline uint32_t entry_bits(HuffEntry e) { return e & 0xFF; }
// A length or distance entry's base and the code's own length.
inline uint32_t entry_base(HuffEntry e) { return e >> 16; }
inline uint32_t entry_code_length(HuffEntry e) { return (e >> 8) & 0xF; }
// A literal entry's literal.
inline uint32_t entry_literal(HuffEntry e) { return (e >> 8) & 0xFF; }
// A link's sub-table width.
inline uint32_t entry_sub_width(HuffEntry e) { return (e >> 8) & 0xF; }

inline bool is_literal(HuffEntry e) { return (e & ENTRY_LITERAL) != 0; }
inline bool is_exceptional(HuffEntry e) { return (e & (ENTRY_LITERAL | ENTRY_EXCEPTIONAL)) == ENTRY_EXCEPTIONAL; }
inline bool is_link(HuffEntry e) { return is_exceptional(e) && (e & ENTRY_LINK) != 0; }
inline bool is_end_of_block(HuffEntry e) { return is_exceptional(e) && (e & ENTRY_END_OF_BLOCK) != 0; }
inline bool is_invalid(HuffEntry e) { return is_exceptional(e) && (e & (ENTRY_LINK | ENTRY_END_OF_BLOCK)) == 0; }

// The extra bits of a length or distance entry in `saved`, the bit buffer
// before the entry was dropped.
inline uint32_t entry_extra(HuffEntry e, uint64_t saved)
{
    const uint64_t with_code = saved & ((uint64_t{1} << (e & 63)) - 1);
    return static_cast<uint32_t>(with_code >> ((e >> 8) & 15));
}

constexpr uint32_t MAX_CODE_BITS = 15;
constexpr uint32_t MAX_SYMBOLS = 288;

// First-level widths for the codes of every block: wide enough that nearly
// every code is found with one lookup, small enough to stay in the
// first-level cache.
constexpr int LITERAL_LOOKUP_BITS = 11;
constexpr int DISTANCE_LOOKUP_BITS = 8;

// RFC 1951, 3.2.5. Length symbols 286 and 287 get extra 99, which makes them
// invalid entries.
extern const uint16_t length_base[31];
extern const uint16_t length_extra[31];
extern const uint16_t distance_base[30];
extern const uint16_t distance_extra[30];

// The allocator behind every table; tests replace it to make allocations fail.
extern void* (*huffman_allocate)(size_t size);

// Builds the tables for `count` code lengths (0 = no code). Symbols below
// `simple_count` decode to themselves: 256 as the end of block, every other
// one as a literal; a symbol s at or above it decodes to bases[s -
// simple_count] with extras[s - simple_count] extra bits. `lookup_bits` is
// the requested first-level width in, the width used out (raised to the
// shortest code's length where that is longer).
// Returns DECODE_OK for a complete code (or a single 1-bit code),
// DECODE_INVALID for an incomplete one, DECODE_BAD_CODE for an
// over-subscribed one (or a length above MAX_CODE_BITS), DECODE_NO_MEMORY
// when a table could not be allocated (decoder_state.h). On DECODE_OK and
// DECODE_INVALID the caller owns *table (null when every length is 0) and
// releases it with free_huffman_table; otherwise it owns nothing.
int build_huffman_table(const uint32_t* code_lengths, uint32_t count, uint32_t simple_count,
                        const uint16_t* bases, const uint16_t* extras, HuffEntry** table,
                        int* lookup_bits);

// Releases `table` and all its sub-tables; null releases nothing. Returns
// DECODE_OK.
int free_huffman_table(HuffEntry* table);
