// CRC-32 of the gzip trailer (reflected polynomial 0xEDB88320, RFC 1952, 8).
// A portable table path sliced 8 bytes at a time, and on x86-64 CPUs with
// carry-less multiplication a path that folds 64-byte blocks (128-byte
// blocks where the multiply works on 32-byte registers), picked at run time;
// the table path finishes what the folding leaves over.
#include "crc32.h"

#include <array>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KAVRELT_CRC_FOLDING 1
#include <immintrin.h>
#endif

namespace {

// Bit i of a reflected 32-bit value is the coefficient of x^(31 - i); the
// polynomial's own x^32 term is implicit.
constexpr uint32_t CRC_POLYNOMIAL = 0xEDB88320u;
constexpr int SLICES = 8;

using CrcTables = std::array<std::array<uint32_t, 256>, SLICES>;

constexpr CrcTables make_crc_tables()
{
    CrcTables t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1) ? CRC_POLYNOMIAL ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    // t[i][n] is the CRC of byte n followed by i zero bytes.
    for (int i = 1; i < SLICES; i++)
        for (uint32_t n = 0; n < 256; n++)
            t[i][n] = (t[i - 1][n] >> 8) ^ t[0][t[i - 1][n] & 0xFF];
    return t;
}

constexpr CrcTables crc_tables = make_crc_tables();

inline uint32_t load_le32(const uint8_t* p)
{
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Advances the CRC register `c` (not inverted) over `length` bytes. The
// register, XORed into the next four message bytes, is everything earlier
// bytes contribute, which is what lets the folding path hand over to it.
uint32_t crc32_table(uint32_t c, const uint8_t* data, size_t length)
{
    while (length >= 8) {
        const uint32_t low = c ^ load_le32(data);
        const uint32_t high = load_le32(data + 4);
        c = crc_tables[7][low & 0xFF] ^ crc_tables[6][(low >> 8) & 0xFF] ^
            crc_tables[5][(low >> 16) & 0xFF] ^ crc_tables[4][low >> 24] ^
            crc_tables[3][high & 0xFF] ^ crc_tables[2][(high >> 8) & 0xFF] ^
            crc_tables[1][(high >> 16) & 0xFF] ^ crc_tables[0][high >> 24];
        data += 8;
        length -= 8;
    }
    while (length--) c = crc_tables[0][(c ^ *data++) & 0xFF] ^ (c >> 8);
    return c;
}

#ifdef KAVRELT_CRC_FOLDING

// Folding, in the reflected bit order the CRC uses throughout: a 16-byte
// little-endian load gives a 128-bit value X whose bit j is the coefficient of
// x^(127 - j), so its low 64-bit lane is the high half H (X = H x^64 + L), and
// each lane is a 64-bit reflected polynomial.
//
// Only X mod P matters, and the same holds after multiplying by a power of x,
// so X placed F bits before a later 16-byte block may be replaced by any
// polynomial of degree < 128 congruent to X x^F = H x^(F+64) + L x^F, then
// XORed into that block. Each half is multiplied by a 32-bit constant:
// PCLMULQDQ of reflected a and b yields a b x in 128-bit reflected order (its
// 127-bit product lands one place low), and a constant in the low 32 bits of
// a 64-bit reflected lane stands for Q x^32. So a half times Q comes out as
// half * Q * x^33, and the constants are Q = x^(F+31) mod P for H and
// Q = x^(F-33) mod P for L. Both products have degree < 128, so they fit
// the block they are XORed into.

// x^k mod P as a reflected 32-bit value: start from x^0 (bit 31) and
// multiply by x k times; a carry out of x^31 becomes x^32 = P - x^32.
constexpr uint32_t x_power_mod_p(int k)
{
    uint32_t r = 0x80000000u;
    for (int i = 0; i < k; i++) r = (r & 1) ? (r >> 1) ^ CRC_POLYNOMIAL : r >> 1;
    return r;
}

// x^32 mod P is P without its x^32 term, i.e. the polynomial as written.
static_assert(x_power_mod_p(32) == CRC_POLYNOMIAL);

struct FoldConstants {
    uint64_t for_high_half;  // x^(F+31) mod P
    uint64_t for_low_half;   // x^(F-33) mod P
};

constexpr FoldConstants fold_constants(int distance_bits)
{
    return {x_power_mod_p(distance_bits + 31), x_power_mod_p(distance_bits - 33)};
}

// Four lanes of 16 bytes move 64 bytes per step; one lane moves 16.
constexpr FoldConstants FOLD_BY_64_BYTES = fold_constants(512);
constexpr FoldConstants FOLD_BY_16_BYTES = fold_constants(128);
constexpr size_t FOLD_MIN_LENGTH = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i fold_into(
    __m128i x, __m128i constants, __m128i next_block)
{
    const __m128i high_half = _mm_clmulepi64_si128(x, constants, 0x00);
    const __m128i low_half = _mm_clmulepi64_si128(x, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high_half, low_half), next_block);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i load_block(const uint8_t* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i narrow_constants(FoldConstants k)
{
    return _mm_set_epi64x(static_cast<int64_t>(k.for_low_half), static_cast<int64_t>(k.for_high_half));
}

// Folds the whole 16-byte blocks of the `length` bytes at `data` into x,
// which stands for everything before them, and returns the register after
// them: the CRC of x's 16 bytes from a zero register.
__attribute__((target("pclmul,sse4.1"))) uint32_t fold_tail(__m128i x, const uint8_t* data, size_t length)
{
    const __m128i by_16 = narrow_constants(FOLD_BY_16_BYTES);
    while (length >= 16) {
        x = fold_into(x, by_16, load_block(data));
        data += 16;
        length -= 16;
    }
    uint8_t last[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(last), x);
    return crc32_table(0, last, sizeof last);
}

// Advances the register `c` over the first `length` & ~15 bytes; `length` is
// at least FOLD_MIN_LENGTH. Returns the register after those bytes.
__attribute__((target("pclmul,sse4.1"))) uint32_t crc32_fold(uint32_t c,
                                                             const uint8_t* data,
                                                             size_t length)
{
    const __m128i by_64 = narrow_constants(FOLD_BY_64_BYTES);
    const __m128i by_16 = narrow_constants(FOLD_BY_16_BYTES);
    // The register enters as the first four message bytes' XOR mask.
    __m128i x0 = _mm_xor_si128(load_block(data), _mm_cvtsi32_si128(static_cast<int>(c)));
    __m128i x1 = load_block(data + 16);
    __m128i x2 = load_block(data + 32);
    __m128i x3 = load_block(data + 48);
    data += 64;
    length -= 64;
    // Four independent chains keep the multiplier busy while each one waits.
    while (length >= 64) {
        x0 = fold_into(x0, by_64, load_block(data));
        x1 = fold_into(x1, by_64, load_block(data + 16));
        x2 = fold_into(x2, by_64, load_block(data + 32));
        x3 = fold_into(x3, by_64, load_block(data + 48));
        data += 64;
        length -= 64;
    }
    __m128i x = fold_into(x0, by_16, x1);
    x = fold_into(x, by_16, x2);
    x = fold_into(x, by_16, x3);
    return fold_tail(x, data, length);
}

// The same folding on 32-byte registers, each holding two 16-byte blocks that
// are folded alike: four registers move 128 bytes per step, twice what the
// 16-byte path moves per multiply.
constexpr FoldConstants FOLD_BY_128_BYTES = fold_constants(1024);
constexpr FoldConstants FOLD_BY_32_BYTES = fold_constants(256);
constexpr size_t WIDE_FOLD_MIN_LENGTH = 256;

__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) inline __m256i fold_wide_into(
    __m256i x, __m256i constants, __m256i next_block)
{
    const __m256i high_half = _mm256_clmulepi64_epi128(x, constants, 0x00);
    const __m256i low_half = _mm256_clmulepi64_epi128(x, constants, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(high_half, low_half), next_block);
}

__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) inline __m256i load_wide_block(const uint8_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) inline __m256i wide_constants(FoldConstants k)
{
    return _mm256_set_epi64x(static_cast<int64_t>(k.for_low_half), static_cast<int64_t>(k.for_high_half),
                             static_cast<int64_t>(k.for_low_half), static_cast<int64_t>(k.for_high_half));
}

// As crc32_fold, for `length` of at least WIDE_FOLD_MIN_LENGTH.
__attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1"))) uint32_t crc32_fold_wide(uint32_t c,
                                                                                 const uint8_t* data,
                                                                                 size_t length)
{
    const __m256i by_128 = wide_constants(FOLD_BY_128_BYTES);
    const __m256i by_32 = wide_constants(FOLD_BY_32_BYTES);
    const __m128i by_16 = narrow_constants(FOLD_BY_16_BYTES);
    __m256i x0 = _mm256_xor_si256(load_wide_block(data), _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(c))));
    __m256i x1 = load_wide_block(data + 32);
    __m256i x2 = load_wide_block(data + 64);
    __m256i x3 = load_wide_block(data + 96);
    data += 128;
    length -= 128;
    while (length >= 128) {
        x0 = fold_wide_into(x0, by_128, load_wide_block(data));
        x1 = fold_wide_into(x1, by_128, load_wide_block(data + 32));
        x2 = fold_wide_into(x2, by_128, load_wide_block(data + 64));
        x3 = fold_wide_into(x3, by_128, load_wide_block(data + 96));
        data += 128;
        length -= 128;
    }
    __m256i x = fold_wide_into(x0, by_32, x1);
    x = fold_wide_into(x, by_32, x2);
    x = fold_wide_into(x, by_32, x3);
    // The register's first block comes 16 bytes before its second.
    const __m128i y = fold_into(_mm256_castsi256_si128(x), by_16, _mm256_extracti128_si256(x, 1));
    return fold_tail(y, data, length);
}

bool cpu_can_fold_wide()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2") &&
           __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool cpu_can_fold()
{
    // Explicit so that a call from another file's static initialiser, before
    // the runtime's own constructor has probed the CPU, still sees the truth.
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

#endif

}  // namespace

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length)
{
    uint32_t c = ~crc;
#ifdef KAVRELT_CRC_FOLDING
    static const bool can_fold = cpu_can_fold();
    static const bool can_fold_wide = cpu_can_fold_wide();
    if (can_fold_wide && length >= WIDE_FOLD_MIN_LENGTH) {
        const size_t folded = length & ~size_t{15};
        c = crc32_fold_wide(c, data, length);
        data += folded;
        length -= folded;
    } else if (can_fold && length >= FOLD_MIN_LENGTH) {
        const size_t folded = length & ~size_t{15};
        c = crc32_fold(c, data, length);
        data += folded;
        length -= folded;
    }
#endif
    return ~crc32_table(c, data, length);
}
