// Builds multi-level Huffman lookup tables from code lengths. A code's tables
// are laid out in one allocation, first-level table first, so that a link
// is a 16-bit index and releasing the first-level table releases them all.
#include "huffman.h"

#include <cstdlib>

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

// Width of a new sub-table for codes of length k: as wide as the codes below
// it fill, never wider than `limit`.
uint32_t sub_table_width(uint32_t k, int covered, uint32_t limit, uint32_t remaining,
                         const uint32_t* counts)
{
    const uint32_t below = k - static_cast<uint32_t>(covered);
    uint32_t n = below < limit ? below : limit;
    if ((1u << n) > remaining + 1 && n < limit) {
        uint32_t free = (1u << n) - (remaining + 1);
        for (uint32_t m = k + 1;; m++) {
            n++;
            if (n == limit) break;
            free *= 2;
            if (free <= counts[m]) break;
            free -= counts[m];
        }
    }
    return n;
}

// Walks the codes in canonical order, opening a table wherever a code needs
// one, and fills each code's entries (every 2^(k - covered)-th entry from its
// bit-reversed code, so any bits that start with the code find it). With a
// null `first` it only counts. Returns the number of entries of all tables.
uint32_t lay_out_tables(const uint32_t* counts, const uint16_t* sorted, uint32_t symbols,
                        uint32_t shortest, uint32_t longest, uint32_t l, uint32_t simple_count,
                        const uint16_t* bases, const uint16_t* extras, HuffEntry* first)
{
    uint32_t table_at[MAX_TABLE_LEVELS] = {};  // index of each open level's table
    uint32_t prefix[MAX_TABLE_LEVELS] = {};
    uint32_t total = 0;
    int level = -1;
    int covered = -static_cast<int>(l);
    uint32_t entries = 0;
    uint32_t code = 0;  // bit-reversed: the code's first bit in bit 0
    uint32_t placed = 0;
    HuffEntry entry{};
    for (uint32_t k = shortest; k <= longest; k++) {
        for (uint32_t left = counts[k]; left > 0; left--) {
            while (static_cast<int>(k) > covered + static_cast<int>(l)) {
                level++;
                covered += static_cast<int>(l);
                const uint32_t above = longest - static_cast<uint32_t>(covered);
                const uint32_t limit = above < l ? above : l;
                const uint32_t n = sub_table_width(k, covered, limit, left - 1, counts);
                table_at[level] = total;
                entries = 1u << n;
                if (level > 0) {
                    prefix[level] = code;
                    if (first != nullptr) {
                        const uint32_t index = code >> (covered - static_cast<int>(l));
                        first[table_at[level - 1] + index] =
                            HuffEntry{static_cast<uint8_t>(OP_LINK + n), static_cast<uint8_t>(l),
                                      static_cast<uint16_t>(total)};
                    }
                }
                total += entries;
            }

            entry.bits = static_cast<uint8_t>(k - covered);
            if (placed >= symbols) {
                // A fill-up pattern that no symbol owns; its value stays that
                // of the entry before it.
                entry.op = OP_INVALID;
            } else {
                const uint32_t s = sorted[placed++];
                if (s < simple_count) {
                    entry.value = static_cast<uint16_t>(s);
                    entry.op = s < 256 ? OP_LITERAL : OP_END_OF_BLOCK;
                } else {
                    entry.value = bases[s - simple_count];
                    entry.op = static_cast<uint8_t>(extras[s - simple_count] & 0xFF);
                }
            }
            if (first != nullptr) {
                HuffEntry* const t = first + table_at[level];
                for (uint32_t i = code >> covered; i < entries; i += 1u << (k - covered))
                    t[i] = entry;
            }

            uint32_t bit = 1u << (k - 1);
            while (code & bit) {
                code ^= bit;
                bit >>= 1;
            }
            code |= bit;

            while ((code & ((1u << covered) - 1)) != prefix[level]) {
                level--;
                covered -= static_cast<int>(l);
            }
        }
    }
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

    uint32_t l = static_cast<uint32_t>(*lookup_bits);
    if (l < shortest) l = shortest;
    if (l > longest) l = longest;
    *lookup_bits = static_cast<int>(l);

    // Over-subscription test; fill_up counts the longest-length patterns no
    // symbol owns, which become invalid entries.
    int64_t y = int64_t{1} << shortest;
    for (uint32_t len = shortest; len < longest; len++) {
        y -= counts[len];
        if (y < 0) return DECODE_BAD_CODE;
        y *= 2;
    }
    y -= counts[longest];
    if (y < 0) return DECODE_BAD_CODE;
    const uint32_t fill_up = static_cast<uint32_t>(y);
    counts[longest] += fill_up;

    // Symbols in canonical order: by length, then by symbol number (RFC 1951, 3.2.2).
    uint32_t offset[MAX_CODE_BITS + 2] = {};
    for (uint32_t len = 1; len < longest; len++) offset[len + 1] = offset[len] + counts[len];
    uint16_t sorted[MAX_SYMBOLS];
    uint32_t symbols = 0;
    for (uint32_t s = 0; s < count; s++) {
        if (code_lengths[s] != 0) {
            sorted[offset[code_lengths[s]]++] = static_cast<uint16_t>(s);
            symbols++;
        }
    }

    // The first pass only measures the tables, the second fills them.
    const uint32_t total = lay_out_tables(counts, sorted, symbols, shortest, longest, l,
                                          simple_count, bases, extras, nullptr);
    if (total > 0x10000) return DECODE_BAD_CODE;  // links could not name it; no code gets near
    auto* const first = static_cast<HuffEntry*>(huffman_allocate(total * sizeof(HuffEntry)));
    if (first == nullptr) return DECODE_NO_MEMORY;
    for (uint32_t i = 0; i < total; i++) first[i] = HuffEntry{OP_INVALID, 0, 0};
    lay_out_tables(counts, sorted, symbols, shortest, longest, l, simple_count, bases, extras,
                   first);
    *table = first;
    return (fill_up != 0 && longest != 1) ? DECODE_INVALID : DECODE_OK;
}
