// The decoder's inner loop: literal/length and distance codes of one block
// (RFC 1951, 3.2.5) turned into bytes in the window. A fast loop runs while
// the chunk and the window have room for a whole step without bounds tests;
// a careful loop takes one code at a time near their ends. The fast loop is
// built twice, for plain x86-64 and for CPUs with BMI2, and the process
// picks one when it starts.
#include "codes.h"

#include <array>
#include <bit>
#include <cstring>

#include "decoder_state.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define KAVRELT_X86_DISPATCH 1
#endif

namespace {

// The working copies of one decode_codes call.
struct CodeCursor {
    uint64_t b;          // bit buffer; bits above k are zero or the next input bits
    uint32_t k;          // valid bits in b
    uint32_t pos;        // input_pos
    uint32_t size;       // input_size
    const uint8_t* in;   // input_buffer
};

[[gnu::always_inline]] inline uint64_t load_le64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

[[gnu::always_inline]] inline uint32_t low_mask(uint32_t n)
{
    return (1u << n) - 1;
}

// ---- The careful loop's bit access ------------------------------------------

// Makes at least n bits valid. While eight bytes remain in the chunk it takes
// as many whole bytes as fit; otherwise it fetches one byte at a time, reading
// the next chunk only when a bit is needed. Returns false once the input ran out.
inline bool need(CodeCursor& c, uint32_t n)
{
    if (c.k >= n) return true;
    if (c.size - c.pos >= 8) {
        c.b |= load_le64(c.in + c.pos) << c.k;
        c.pos += (63 - c.k) >> 3;
        c.k |= 56;
        return true;
    }
    DecoderState& s = decoder_state;
    s.input_pos = c.pos;
    do {
        const int byte = next_byte();
        if (byte < 0) return false;
        c.b |= static_cast<uint64_t>(byte) << c.k;
        c.k += 8;
    } while (c.k < n);
    c.pos = s.input_pos;
    c.size = s.input_size;
    return true;
}

inline void drop(CodeCursor& c, uint32_t n)
{
    c.b >>= n;
    c.k -= n;
}

// The entry of the next code in `table` of width `width`, through its
// sub-table; nothing of the entry itself is dropped. False when the input
// ran out.
inline bool look_up(CodeCursor& c, const HuffEntry* table, uint32_t width, HuffEntry* entry)
{
    if (!need(c, width)) return false;
    HuffEntry e = table[c.b & low_mask(width)];
    if (is_link(e)) {
        drop(c, entry_bits(e));
        const uint32_t sub_width = entry_sub_width(e);
        if (!need(c, sub_width)) return false;
        e = table[entry_base(e) + (c.b & low_mask(sub_width))];
    }
    *entry = e;
    return true;
}

// ---- Match copies -------------------------------------------------------------

[[gnu::always_inline]] inline void copy8(uint8_t* dst, const uint8_t* src)
{
    std::memcpy(dst, src, 8);
}

[[gnu::always_inline]] inline void copy16(uint8_t* dst, const uint8_t* src)
{
    std::memcpy(dst, src, 16);
}

// Copies `length` bytes from `distance` bytes back, a word at a time. Most
// matches are short, so the first 64 bytes (16 where the distance is short)
// are stored without a test. May store up to 63 bytes past the end of the
// match; the window's slack and its unwritten part take them.
[[gnu::always_inline]] inline void copy_match(uint8_t* dst, uint32_t distance, uint32_t length)
{
    uint8_t* const end = dst + length;
    const uint8_t* src = dst - distance;
    if (distance >= 16) {
        // Each 16-byte piece read lies wholly before the piece being written.
        copy16(dst, src);
        copy16(dst + 16, src + 16);
        copy16(dst + 32, src + 32);
        copy16(dst + 48, src + 48);
        dst += 64;
        src += 64;
        while (dst < end) {
            copy16(dst, src);
            dst += 16;
            src += 16;
        }
        return;
    }
    if (distance == 1) {
        // A run of one byte: whole words of it, never read back.
        const uint64_t run = src[0] * 0x0101010101010101u;
        do {
            std::memcpy(dst, &run, 8);
            std::memcpy(dst + 8, &run, 8);
            dst += 16;
        } while (dst < end);
        return;
    }
    if (distance < 8) {
        // The output repeats with period `distance`, so also with period p,
        // the smallest multiple of it that is at least 8. Once the first p
        // bytes exist, words can be copied from p bytes back.
        static constexpr uint8_t period[8] = {8, 8, 8, 9, 8, 10, 12, 14};
        const uint32_t p = period[distance];
        const uint32_t head = length < p ? length : p;
        for (uint32_t i = 0; i < head; i++) dst[i] = src[i];
        dst += head;
        src = dst - p;
    } else {
        copy8(dst, src);
        copy8(dst + 8, src + 8);
        dst += 16;
        src += 16;
    }
    while (dst < end) {
        copy8(dst, src);
        dst += 8;
        src += 8;
    }
}

// ---- The fast loop --------------------------------------------------------------

// Margins of the fast loop. It starts a step while the output area is not
// full: a step stores at most four literals or a longest match, plus the
// bytes a copy may store past its end, which the window's slack takes. A
// step refills the bit buffer once, reading 8 bytes of the chunk and moving
// on by at most 7; the first step also follows the refill on entry.
constexpr uint32_t FAST_WINDOW_LIMIT = WINDOW_SIZE;
constexpr uint32_t FAST_INPUT_MARGIN = 16;
// A match that starts inside the window stores at most 64 bytes, or its
// length rounded up to 16.
static_assert(WINDOW_SLACK >= 64 && WINDOW_SLACK >= 258 + 15, "a step must fit in the slack");

constexpr int FAST_MARGIN_REACHED = 0;
constexpr int FAST_END_OF_BLOCK = 1;
constexpr int FAST_INVALID = 2;

// Fills the bit buffer to at least 56 valid bits. All 64 bits are then the
// input's next bits, so after dropping d bits, 64 - d bits can still be
// looked at even where fewer are counted. Only the low byte of k counts:
// dropping an entry subtracts the whole entry from k.
[[gnu::always_inline]] inline uint64_t refill(uint64_t b, uint32_t& k, const uint8_t*& ip)
{
    b |= load_le64(ip) << (k & 63);
    ip += 7 - ((k >> 3) & 7);
    k |= 56;
    return b;
}

[[gnu::always_inline]] inline uint64_t drop_entry(uint64_t b, uint32_t& k, HuffEntry e)
{
    k -= e;
    return b >> (e & 63);
}

// The extra bits of a length or distance entry `e` in `saved`, the bit
// buffer before the entry was dropped: the bits below the entry's low byte,
// above its code length. BMI2's bzhi reads only the low byte of its count.
template <bool BMI2>
[[gnu::always_inline]] inline uint32_t extra_bits(uint64_t saved, HuffEntry e)
{
#ifdef KAVRELT_X86_DISPATCH
    if constexpr (BMI2) {
        uint64_t with_code;
        asm("bzhi %2, %1, %0" : "=r"(with_code) : "rm"(saved), "r"(uint64_t{e}));
        return static_cast<uint32_t>(with_code >> ((e >> 8) & 63));
    }
#endif
    return entry_extra(e, saved);
}

// Stands in for a missing distance table: every distance code is invalid.
constexpr std::array<HuffEntry, 1u << DISTANCE_LOOKUP_BITS> make_no_distance_codes()
{
    std::array<HuffEntry, 1u << DISTANCE_LOOKUP_BITS> table{};
    for (HuffEntry& e : table) e = ENTRY_INVALID;
    return table;
}
constexpr std::array<HuffEntry, 1u << DISTANCE_LOOKUP_BITS> no_distance_codes = make_no_distance_codes();

struct FastTables {
    const HuffEntry* literal;
    const HuffEntry* distance;
    uint32_t literal_mask;
    uint32_t distance_mask;
};

// Decodes while the chunk holds FAST_INPUT_MARGIN bytes and the output area
// is not full. Every step starts on a freshly filled bit buffer with the
// entry of its first code already looked up: a run of literal entries or one
// length and distance (at most 48 bits), and each looks the next entry up
// before it stores its own bytes, so the table loads overlap the stores.
// LITERAL_BITS and DISTANCE_BITS are the tables' widths when known at
// build time, which spares the loop two registers; 0 takes them from `t`.
template <bool BMI2, uint32_t LITERAL_BITS, uint32_t DISTANCE_BITS>
[[gnu::always_inline]] inline int decode_fast_body(CodeCursor& c, uint8_t* window, uint32_t& window_pos,
                                                   const FastTables& t)
{
    if (c.size - c.pos < FAST_INPUT_MARGIN || window_pos >= FAST_WINDOW_LIMIT) return FAST_MARGIN_REACHED;
    // Locals only: stores into the window could otherwise alias them.
    const HuffEntry* const literal_table = t.literal;
    const HuffEntry* const distance_table = t.distance != nullptr ? t.distance : no_distance_codes.data();
    const uint32_t literal_mask = LITERAL_BITS != 0 ? low_mask(LITERAL_BITS) : t.literal_mask;
    const uint32_t distance_mask =
        DISTANCE_BITS != 0 ? low_mask(DISTANCE_BITS) : t.distance != nullptr ? t.distance_mask : 0;
    uint8_t* out = window + window_pos;
    uint8_t* const out_limit = window + FAST_WINDOW_LIMIT;
    const uint8_t* ip = c.in + c.pos;
    const uint8_t* const ip_limit = c.in + c.size - FAST_INPUT_MARGIN;
    uint64_t b = c.b;
    uint32_t k = c.k;
    int result = FAST_MARGIN_REACHED;
    // Four literal entries and a lookup take at most 5 x 11 bits of the 64
    // a refill leaves; wider tables (only tests build them) get three.
    constexpr uint32_t LITERAL_RUN = LITERAL_BITS != 0 && LITERAL_BITS <= 12 ? 4 : 3;

    b = refill(b, k, ip);
    HuffEntry entry = literal_table[b & literal_mask];
    for (;;) {
        if (entry & ENTRY_LITERAL) {
            b = drop_entry(b, k, entry);
            HuffEntry next = literal_table[b & literal_mask];
            *out++ = static_cast<uint8_t>(entry >> 8);
            entry = next;
            if (entry & ENTRY_LITERAL) {
                b = drop_entry(b, k, entry);
                next = literal_table[b & literal_mask];
                *out++ = static_cast<uint8_t>(entry >> 8);
                entry = next;
                if (entry & ENTRY_LITERAL) {
                    b = drop_entry(b, k, entry);
                    next = literal_table[b & literal_mask];
                    *out++ = static_cast<uint8_t>(entry >> 8);
                    entry = next;
                    if (LITERAL_RUN == 4 && (entry & ENTRY_LITERAL)) {
                        b = drop_entry(b, k, entry);
                        next = literal_table[b & literal_mask];
                        *out++ = static_cast<uint8_t>(entry >> 8);
                        entry = next;
                    }
                }
            }
        } else {
            if (entry & ENTRY_EXCEPTIONAL) {
                if (entry & ENTRY_LINK) {
                    b = drop_entry(b, k, entry);
                    entry = literal_table[(entry >> 16) + (b & low_mask((entry >> 8) & 15))];
                    if (entry & ENTRY_LITERAL) {
                        b = drop_entry(b, k, entry);
                        *out++ = static_cast<uint8_t>(entry >> 8);
                        entry = literal_table[b & literal_mask];
                        b = refill(b, k, ip);
                        if (ip > ip_limit || out >= out_limit) break;
                        continue;
                    }
                }
                // A sub-table holds no links: what is left is the end of
                // the block, or bits that are no code.
                if (entry & ENTRY_EXCEPTIONAL) {
                    if (entry & ENTRY_END_OF_BLOCK) {
                        b = drop_entry(b, k, entry);
                        result = FAST_END_OF_BLOCK;
                    } else {
                        result = FAST_INVALID;
                    }
                    break;
                }
            }
            uint64_t saved = b;
            b = drop_entry(b, k, entry);
            const uint32_t length = (entry >> 16) + extra_bits<BMI2>(saved, entry);

            HuffEntry d = distance_table[b & distance_mask];
            if (d & ENTRY_EXCEPTIONAL) {
                if ((d & ENTRY_LINK) == 0) {
                    result = FAST_INVALID;
                    break;
                }
                b = drop_entry(b, k, d);
                d = distance_table[(d >> 16) + (b & low_mask((d >> 8) & 15))];
                if (d & ENTRY_EXCEPTIONAL) {
                    result = FAST_INVALID;
                    break;
                }
            }
            saved = b;
            b = drop_entry(b, k, d);
            const uint32_t distance = (d >> 16) + extra_bits<BMI2>(saved, d);
            entry = literal_table[b & literal_mask];
            copy_match(out, distance, length);
            out += length;
        }
        b = refill(b, k, ip);
        if (ip > ip_limit || out >= out_limit) break;
    }
    window_pos = static_cast<uint32_t>(out - window);
    c.b = b;
    c.k = k & 0xFF;
    c.pos = static_cast<uint32_t>(ip - c.in);
    return result;
}

using FastLoop = int (*)(CodeCursor&, uint8_t*, uint32_t&, const FastTables&);

// Every block's tables have the usual widths; other widths come only from
// tests that build tables of their own.
template <uint32_t LITERAL_BITS, uint32_t DISTANCE_BITS>
[[gnu::noinline]] int decode_fast_plain(CodeCursor& c, uint8_t* window, uint32_t& window_pos, const FastTables& t)
{
    return decode_fast_body<false, LITERAL_BITS, DISTANCE_BITS>(c, window, window_pos, t);
}

#ifdef KAVRELT_X86_DISPATCH
// The same loop where shifts and bit extracts need no flags and no count
// register (shlx, shrx, bzhi).
template <uint32_t LITERAL_BITS, uint32_t DISTANCE_BITS>
[[gnu::noinline, gnu::target("bmi2")]] int decode_fast_bmi2(CodeCursor& c, uint8_t* window, uint32_t& window_pos,
                                                            const FastTables& t)
{
    return decode_fast_body<true, LITERAL_BITS, DISTANCE_BITS>(c, window, window_pos, t);
}
#endif

struct FastLoops {
    FastLoop usual_widths;
    FastLoop any_widths;
};

constexpr FastLoops plain_fast_loops = {decode_fast_plain<LITERAL_LOOKUP_BITS, DISTANCE_LOOKUP_BITS>,
                                        decode_fast_plain<0, 0>};

FastLoops best_fast_loops()
{
#ifdef KAVRELT_X86_DISPATCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("bmi2")) {
        return {decode_fast_bmi2<LITERAL_LOOKUP_BITS, DISTANCE_LOOKUP_BITS>, decode_fast_bmi2<0, 0>};
    }
#endif
    return plain_fast_loops;
}

FastLoops fast_loops = best_fast_loops();

}  // namespace

bool use_plain_code_loop(bool plain)
{
    fast_loops = plain ? plain_fast_loops : best_fast_loops();
    return fast_loops.usual_widths != plain_fast_loops.usual_widths;
}

int decode_codes(const HuffEntry* literal_table, const HuffEntry* distance_table,
                 int literal_bits, int distance_bits)
{
    DecoderState& s = decoder_state;
    if (literal_table == nullptr) return DECODE_INVALID;
    CodeCursor c{s.bit_buffer, s.bit_count, s.input_pos, s.input_size, s.input_buffer};
    uint8_t* window = s.window;
    uint32_t w = s.window_pos;
    const uint32_t lwidth = static_cast<uint32_t>(literal_bits);
    const uint32_t dwidth = static_cast<uint32_t>(distance_bits);
    const FastTables tables{literal_table, distance_table, low_mask(lwidth), low_mask(dwidth)};
    const FastLoop fast = lwidth == LITERAL_LOOKUP_BITS && dwidth == DISTANCE_LOOKUP_BITS ? fast_loops.usual_widths
                                                                                       : fast_loops.any_widths;

    for (;;) {
        const int result = fast(c, window, w, tables);
        if (result == FAST_INVALID) break;
        if (w >= WINDOW_SIZE) {
            s.input_pos = c.pos;
            s.window_pos = w;
            wrap_window();
            window = s.window;
            w = s.window_pos;
        }
        if (result == FAST_END_OF_BLOCK) {
            s.bit_buffer = c.b;
            s.bit_count = c.k;
            s.input_pos = c.pos;
            s.window_pos = w;
            return DECODE_OK;
        }
        if (c.size - c.pos >= FAST_INPUT_MARGIN) continue;
        // Near the end of the chunk: one code at a time.
        HuffEntry e;
        if (!look_up(c, literal_table, lwidth, &e)) break;
        // A match may end past the window's end, in its slack, as a fast
        // step may: the next turn of the loop writes the full window.
        if (is_literal(e)) {
            drop(c, entry_bits(e));
            window[w++] = static_cast<uint8_t>(entry_literal(e));
            continue;
        }
        if (is_exceptional(e)) {
            if (!is_end_of_block(e)) break;
            drop(c, entry_bits(e));
            s.bit_buffer = c.b;
            s.bit_count = c.k;
            s.input_pos = c.pos;
            s.window_pos = w;
            return DECODE_OK;
        }
        // The entry's bits take in the extra bits.
        if (!need(c, entry_bits(e))) break;
        const uint32_t length = entry_base(e) + entry_extra(e, c.b);
        drop(c, entry_bits(e));

        if (distance_table == nullptr) break;
        HuffEntry d;
        if (!look_up(c, distance_table, dwidth, &d) || is_exceptional(d) || !need(c, entry_bits(d))) break;
        const uint32_t distance = entry_base(d) + entry_extra(d, c.b);
        drop(c, entry_bits(d));

        copy_match(window + w, distance, length);
        w += length;
    }
    s.input_pos = c.pos;
    return DECODE_INVALID;
}
