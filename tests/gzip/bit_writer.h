// A small Deflate bit writer for hand-made test streams: bits go out least
// significant first, Huffman codes most significant bit first (RFC 1951,
// 3.1.1), with helpers for the fixed codes, canonical codes built from code
// lengths, lengths and distances with their extra bits, and block headers.
// It knows nothing of the decoder; its tables are written out independently.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

struct BitWriter {
    std::vector<uint8_t> bytes;
    uint64_t pending = 0;     // bits not yet in `bytes`, next one at bit 0
    uint32_t pending_count = 0;
};

inline void put_bits(BitWriter& w, uint32_t value, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        w.pending |= static_cast<uint64_t>((value >> i) & 1) << w.pending_count;
        if (++w.pending_count == 8) {
            w.bytes.push_back(static_cast<uint8_t>(w.pending));
            w.pending = 0;
            w.pending_count = 0;
        }
    }
}

// A Huffman code goes out starting with its most significant bit.
inline void put_code(BitWriter& w, uint32_t code, uint32_t length)
{
    for (uint32_t i = length; i > 0; i--) put_bits(w, (code >> (i - 1)) & 1, 1);
}

// Pads the current byte with zero bits.
inline void align_to_byte(BitWriter& w)
{
    if (w.pending_count > 0) put_bits(w, 0, 8 - w.pending_count);
}

inline std::vector<uint8_t> finish_bits(BitWriter& w)
{
    align_to_byte(w);
    return w.bytes;
}

inline void put_bytes(BitWriter& w, const std::vector<uint8_t>& data)
{
    for (uint8_t b : data) put_bits(w, b, 8);
}

// A canonical code (RFC 1951, 3.2.2): lengths[s] bits for symbol s, 0 = unused.
struct Code {
    std::vector<uint32_t> lengths;
    std::vector<uint32_t> codes;
};

inline Code canonical_code(const std::vector<uint32_t>& lengths)
{
    uint32_t count_of[17] = {};
    for (uint32_t len : lengths) count_of[len]++;
    count_of[0] = 0;
    uint32_t next[17] = {};
    uint32_t code = 0;
    for (int bits = 1; bits <= 16; bits++) {
        code = (code + count_of[bits - 1]) << 1;
        next[bits] = code;
    }
    Code c{lengths, std::vector<uint32_t>(lengths.size(), 0)};
    for (size_t s = 0; s < lengths.size(); s++)
        if (lengths[s] != 0) c.codes[s] = next[lengths[s]]++;
    return c;
}

inline void put_symbol(BitWriter& w, const Code& code, uint32_t symbol)
{
    put_code(w, code.codes[symbol], code.lengths[symbol]);
}

inline Code fixed_literal_code()
{
    std::vector<uint32_t> lengths(288);
    for (uint32_t s = 0; s < 288; s++) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    return canonical_code(lengths);
}

// All 32 five-bit patterns, including the unused symbols 30 and 31.
inline Code fixed_distance_code()
{
    return canonical_code(std::vector<uint32_t>(32, 5));
}

// RFC 1951, 3.2.5.
constexpr uint32_t TEST_LENGTH_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,
                                           15, 17, 19, 23, 27, 31, 35, 43,  51,  59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint32_t TEST_LENGTH_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint32_t TEST_DISTANCE_BASE[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,    65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint32_t TEST_DISTANCE_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                              6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// Writes a length (3..258) with the highest symbol whose base fits, so 258
// comes out as symbol 285.
inline void put_length(BitWriter& w, const Code& literal_code, uint32_t length)
{
    int i = 28;
    while (TEST_LENGTH_BASE[i] > length) i--;
    put_symbol(w, literal_code, 257 + static_cast<uint32_t>(i));
    put_bits(w, length - TEST_LENGTH_BASE[i], TEST_LENGTH_EXTRA[i]);
}

inline void put_distance(BitWriter& w, const Code& distance_code, uint32_t distance)
{
    int i = 29;
    while (TEST_DISTANCE_BASE[i] > distance) i--;
    put_symbol(w, distance_code, static_cast<uint32_t>(i));
    put_bits(w, distance - TEST_DISTANCE_BASE[i], TEST_DISTANCE_EXTRA[i]);
}

inline void put_block_header(BitWriter& w, bool final_block, uint32_t type)
{
    put_bits(w, final_block ? 1 : 0, 1);
    put_bits(w, type, 2);
}

// A stored block: header, padding, LEN, NLEN, data.
inline void put_stored_block(BitWriter& w, bool final_block, const std::vector<uint8_t>& data)
{
    put_block_header(w, final_block, 0);
    align_to_byte(w);
    const uint32_t len = static_cast<uint32_t>(data.size());
    put_bits(w, len, 16);
    put_bits(w, ~len & 0xFFFF, 16);
    put_bytes(w, data);
}

// A fixed-code block of literals and its end-of-block code.
inline void put_fixed_block(BitWriter& w, bool final_block, const std::vector<uint8_t>& literals)
{
    const Code lit = fixed_literal_code();
    put_block_header(w, final_block, 1);
    for (uint8_t b : literals) put_symbol(w, lit, b);
    put_symbol(w, lit, 256);
}

// Order of the code-length code's lengths in a dynamic header (RFC 1951, 3.2.7).
constexpr uint32_t TEST_CODE_LENGTH_ORDER[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                 11, 4,  12, 3, 13, 2, 14, 1, 15};

// One code-length symbol with its extra bits (16: 2 bits, 17: 3, 18: 7).
struct LengthSymbol {
    uint32_t symbol;
    uint32_t extra;
};

// The parts of a dynamic header exactly as they are sent, so that a test can
// make any of them wrong: the counts as sent (HLIT, HDIST, HCLEN), the 19
// code-length code lengths by symbol (only the first HCLEN + 4 in transmission
// order are sent), and the code-length symbols.
inline void put_dynamic_header_raw(BitWriter& w, bool final_block, uint32_t hlit, uint32_t hdist,
                                   uint32_t hclen, const std::vector<uint32_t>& cl_lengths,
                                   const std::vector<LengthSymbol>& symbols)
{
    put_block_header(w, final_block, 2);
    put_bits(w, hlit, 5);
    put_bits(w, hdist, 5);
    put_bits(w, hclen, 4);
    for (uint32_t j = 0; j < hclen + 4; j++) put_bits(w, cl_lengths[TEST_CODE_LENGTH_ORDER[j]], 3);
    const Code cl_code = canonical_code(cl_lengths);
    for (const LengthSymbol& s : symbols) {
        put_symbol(w, cl_code, s.symbol);
        if (s.symbol == 16) put_bits(w, s.extra, 2);
        if (s.symbol == 17) put_bits(w, s.extra, 3);
        if (s.symbol == 18) put_bits(w, s.extra, 7);
    }
}

// A complete code-length code over all 19 symbols: thirteen 4-bit and six
// 5-bit codes.
inline std::vector<uint32_t> full_code_length_lengths()
{
    std::vector<uint32_t> lengths(19, 4);
    for (uint32_t s : {16u, 17u, 18u, 13u, 14u, 15u}) lengths[s] = 5;
    return lengths;
}

// A well-formed dynamic header for the given literal/length lengths (257 to
// 286 of them) and distance lengths (1 to 30), each length sent as itself.
inline void put_dynamic_header(BitWriter& w, bool final_block,
                               const std::vector<uint32_t>& literal_lengths,
                               const std::vector<uint32_t>& distance_lengths)
{
    std::vector<LengthSymbol> symbols;
    for (uint32_t len : literal_lengths) symbols.push_back({len, 0});
    for (uint32_t len : distance_lengths) symbols.push_back({len, 0});
    put_dynamic_header_raw(w, final_block, static_cast<uint32_t>(literal_lengths.size() - 257),
                           static_cast<uint32_t>(distance_lengths.size() - 1), 15,
                           full_code_length_lengths(), symbols);
}
