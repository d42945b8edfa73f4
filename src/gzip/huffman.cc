// Builds two-level Huffman lookup tables from code lengths. A code's tables
// are laid out in one allocation, first-level table first, so that a link
// is a 16-bit index and releasing the first-level table releases them all.
#include "huffman.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "decoder_state.h"

// RFC 1951, 3.2.5.
const uint16_t length_base[31] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23,  27, 31,
                                  35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0, 0};
const uint16_t length_extra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,  2,
                                   3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
const uint16_t distance_base[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                                    33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                                    1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint16_t distance_extra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                     6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

void* (*huffman_allocate)(size_t size) = std::malloc;

int free_huffman_table(HuffEntry* table)
{
    std::free(table);
    return 0;
}

namespace {

constexpr uint32_t END_OF_BLOCK_SYMBOL = 256;
constexpr uint32_t MAX_EXTRA_BITS = 13;

constexpr std::array<uint8_t, 256> make_reversed_bytes()
{
    std::array<uint8_t, 256> r{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t v = 0;
        for (uint32_t b = 0; b < 8; b++) v |= ((i >> b) & 1) << (7 - b);
        r[i] = static_cast<uint8_t>(v);
    }
    return r;
}
constexpr std::array<uint8_t, 256> reversed_bytes = make_reversed_bytes();

// The `length` low bits of `code`, first bit last: Huffman codes are packed
// from their most significant bit, the bit buffer is read from bit 0.
uint32_t reverse_code(uint32_t code, uint32_t length)
{
    const uint32_t r = static_cast<uint32_t>(reversed_bytes[code & 0xFF]) << 8 | reversed_bytes[(code >> 8) & 0xFF];
    return r >> (16 - length);
}

// The entry of `symbol`, whose code has `length` bits at its table level.
HuffEntry symbol_entry(uint32_t symbol, uint32_t length, uint32_t simple_count, const uint16_t* bases,
                       const uint16_t* extras)
{
    if (symbol < simple_count) {
        if (symbol == END_OF_BLOCK_SYMBOL) return ENTRY_EXCEPTIONAL | ENTRY_END_OF_BLOCK | length;
        if (symbol < 256) return ENTRY_LITERAL | symbol << 8 | length;
        return symbol << 16 | length << 8 | length;  // only test codes have such symbols
    }
    const uint32_t extra = extras[symbol - simple_count];
    if (extra > MAX_EXTRA_BITS) return ENTRY_INVALID;
    return static_cast<uint32_t>(bases[symbol - simple_count]) << 16 | length << 8 | (length + extra);
}

// Codes longer than the first-level width, grouped by their first `l` bits:
// each group gets one sub-table, as wide as its longest code needs.
struct SubTable {
    uint32_t prefix;  // the group's first l bits, most significant first
    uint32_t width;
    uint32_t index;   // from the start of the first-level table
};

// Gives every symbol with a code its canonical code (RFC 1951, 3.2.2), in
// order of length and then of symbol, and groups the long ones. Returns the
// number of entries of all tables.
uint32_t plan_tables(const uint16_t* sorted, uint32_t symbols, const uint32_t* code_lengths,
                     uint32_t l, uint32_t* codes, SubTable* subs, uint32_t* sub_count)
{
    uint32_t total = 1u << l;
    uint32_t code = 0;
    uint32_t previous_length = code_lengths[sorted[0]];
    uint32_t n = 0;
    for (uint32_t i = 0; i < symbols; i++) {
        const uint32_t length = code_lengths[sorted[i]];
        code <<= length - previous_length;
        previous_length = length;
        codes[i] = code++;
        if (length <= l) continue;
        const uint32_t prefix = codes[i] >> (length - l);
        if (n == 0 || subs[n - 1].prefix != prefix) subs[n++] = SubTable{prefix, 0, 0};
        subs[n - 1].width = length - l;  // the lengths only grow within a group
    }
    for (uint32_t g = 0; g < n; g++) {
        subs[g].index = total;
        total += 1u << subs[g].width;
    }
    *sub_count = n;
    return total;
}

}  // namespace

int build_huffman_table(const uint32_t* code_lengths, uint32_t count, uint32_t simple_count,
                        const uint16_t* bases, const uint16_t* extras, HuffEntry** table,
                        int* lookup_bits)
{
    uint32_t counts[MAX_CODE_BITS + 1] = {};
    for (uint32_t s = 0; s < count; s++) {
        if (code_lengths[s] > MAX_CODE_BITS) return DECODE_BAD_CODE;
        counts[code_lengths[s]]++;
    }
    if (counts[0] == count) {
        *table = nullptr;
        *lookup_bits = 0;
        return DECODE_OK;
    }
    uint32_t shortest = 1;
    while (counts[shortest] == 0) shortest++;
    uint32_t longest = MAX_CODE_BITS;
    while (counts[longest] == 0) longest--;

    // Never narrower than the shortest code. A wider table than the longest
    // code needs costs a few copies (see below) and lets the code loop use
    // one fixed width for every block.
    uint32_t l = static_cast<uint32_t>(*lookup_bits);
    if (l < shortest) l = shortest;
    *lookup_bits = static_cast<int>(l);

    // Over-subscription test; what is left over at the longest length are
    // the patterns no symbol owns, which stay invalid entries.
    int64_t left = 1;
    for (uint32_t len = 1; len <= longest; len++) {
        left = left * 2 - counts[len];
        if (left < 0) return DECODE_BAD_CODE;
    }
    const bool complete = left == 0 || (longest == 1 && counts[1] == 1);

    // Symbols in canonical order: by length, then by symbol number.
    uint32_t offset[MAX_CODE_BITS + 2] = {};
    for (uint32_t len = 1; len <= MAX_CODE_BITS; len++) offset[len + 1] = offset[len] + counts[len];
    uint16_t sorted[MAX_SYMBOLS];
    uint32_t symbols = 0;
    for (uint32_t s = 0; s < count; s++) {
        if (code_lengths[s] != 0) {
            sorted[offset[code_lengths[s]]++] = static_cast<uint16_t>(s);
            symbols++;
        }
    }

    uint32_t codes[MAX_SYMBOLS];
    SubTable subs[MAX_SYMBOLS];
    uint32_t sub_count = 0;
    const uint32_t total = plan_tables(sorted, symbols, code_lengths, l, codes, subs, &sub_count);
    if (total > 0x10000) return DECODE_BAD_CODE;  // links could not name it; no code gets near
    auto* const first = static_cast<HuffEntry*>(huffman_allocate(total * sizeof(HuffEntry)));
    if (first == nullptr) return DECODE_NO_MEMORY;
    // The first-level table grows by doubling. A code of n bits owns every
    // entry whose low n bits are its own; once the codes of up to n bits are
    // in a table of 2^n entries, a copy of it is the upper half of the table
    // of 2^(n+1), where each code of n+1 bits then takes one entry. That is
    // far cheaper than storing every entry of a short code one by one.
    for (uint32_t j = 0; j < (1u << shortest); j++) first[j] = ENTRY_INVALID;
    uint32_t filled = 1u << shortest;
    uint32_t i = 0;
    for (uint32_t length = shortest; length <= l; length++) {
        if ((1u << length) > filled) {
            std::memcpy(first + filled, first, filled * sizeof(HuffEntry));
            filled *= 2;
        }
        for (; i < symbols && code_lengths[sorted[i]] == length; i++)
            first[reverse_code(codes[i], length)] = symbol_entry(sorted[i], length, simple_count, bases, extras);
    }
    for (uint32_t j = filled; j < total; j++) first[j] = ENTRY_INVALID;

    // Longer codes: each one's sub-table entries, strided like the first
    // level's once were; they are few.
    uint32_t g = 0;
    for (; i < symbols; i++) {
        const uint32_t s = sorted[i];
        const uint32_t length = code_lengths[s];
        const uint32_t prefix = codes[i] >> (length - l);
        while (subs[g].prefix != prefix) g++;
        const SubTable& sub = subs[g];
        first[reverse_code(prefix, l)] = ENTRY_EXCEPTIONAL | ENTRY_LINK | sub.index << 16 | sub.width << 8 | l;
        const uint32_t rest = length - l;
        const HuffEntry e = symbol_entry(s, rest, simple_count, bases, extras);
        HuffEntry* const t = first + sub.index;
        const uint32_t rest_code = codes[i] & ((1u << rest) - 1);
        for (uint32_t j = reverse_code(rest_code, rest); j < (1u << sub.width); j += 1u << rest) t[j] = e;
    }
    *table = first;
    return complete ? DECODE_OK : DECODE_INVALID;
}
