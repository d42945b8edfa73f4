// Multi-level Huffman decoding tables built from lists of code lengths
// (RFC 1951, 3.2.2), and Deflate's length and distance constants. All tables
// of one code live in one allocation: the first-level table, then its
// sub-tables, which links name by their index from the first-level table.
#pragma once

#include <cstddef>
#include <cstdint>

// Kinds of table entry (HuffEntry::op). 0 to 13 are length or distance
// symbols whose op is the number of extra bits; 17 to 31 link to a sub-table
// of 2^(op - 16) entries.
constexpr uint8_t OP_END_OF_BLOCK = 15;
constexpr uint8_t OP_LITERAL = 16;
constexpr uint8_t OP_LINK = 16;  // a link's op is OP_LINK + the sub-table's width
constexpr uint8_t OP_INVALID = 99;

constexpr uint32_t MAX_CODE_BITS = 16;
constexpr uint32_t MAX_SYMBOLS = 288;
constexpr uint32_t MAX_TABLE_LEVELS = 16;

// First-level widths for the codes of dynamic blocks: wide enough that
// nearly every code is found with one lookup, small enough to stay in cache.
constexpr int LITERAL_LOOKUP_BITS = 10;
constexpr int DISTANCE_LOOKUP_BITS = 8;

struct HuffEntry {
    uint8_t op;      // kind of entry, see above
    uint8_t bits;    // bits to drop when this entry is taken
    uint16_t value;  // symbol, base length or base distance; for a link, the
                     // sub-table's index from the first-level table
};

// The sub-table that `link`, an entry of the code whose first-level table is
// `table`, leads to.
inline const HuffEntry* sub_table(const HuffEntry* table, const HuffEntry& link)
{
    return table + link.value;
}

// RFC 1951, 3.2.5. Length symbols 286 and 287 get extra 99, which makes them
// invalid entries.
extern const uint16_t length_base[31];
extern const uint16_t length_extra[31];
extern const uint16_t distance_base[30];
extern const uint16_t distance_extra[30];

// The allocator behind every table; tests replace it to make allocations fail.
extern void* (*huffman_allocate)(size_t size);

// Builds the tables for `count` code lengths (0 = no code). Symbols below
// `simple_count` decode to themselves; a symbol s at or above it decodes to
// bases[s - simple_count] with extras[s - simple_count] extra bits.
// `lookup_bits` is the requested first-level width in, the width used out.
// Returns 0 complete (or a single 1-bit code), 1 incomplete, 2 over-subscribed,
// 3 out of memory. On 0 and 1 the caller owns *table (null when every length
// is 0) and releases it with free_huffman_table; on 2 and 3 it owns nothing.
int build_huffman_table(const uint32_t* code_lengths, uint32_t count, uint32_t simple_count,
                        const uint16_t* bases, const uint16_t* extras, HuffEntry** table,
                        int* lookup_bits);

// Releases `table` and all its sub-tables; null releases nothing. Returns 0.
int free_huffman_table(HuffEntry* table);
