// The decoder's inner loop: literal/length and distance codes of one block
// (RFC 1951, 3.2.5) turned into bytes in the window. It works on local copies
// of the bit buffer, the input position and the window position, and refills
// the bit buffer eight bytes at a time while the current chunk has them.
#include "codes.h"

#include <bit>
#include <cstring>

#include "decoder_state.h"

namespace {

// The working copies of one decode_codes call.
struct CodeCursor {
    uint64_t b;          // bit buffer; bits above k are zero or the next input bits
    uint32_t k;          // valid bits in b
    uint32_t pos;        // input_pos
    uint32_t size;       // input_size
    const uint8_t* in;   // input_buffer
};

inline uint64_t load_le64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

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

// The next n bits, n at most 16.
inline uint32_t low_bits(uint64_t b, uint32_t n)
{
    return static_cast<uint32_t>(b) & bit_mask[n];
}

// Looks a code up in `table` of width `width`, through its sub-tables.
// Returns null for an invalid code or when the input ran out.
inline const HuffEntry* lookup(CodeCursor& c, const HuffEntry* table, uint32_t width)
{
    if (!need(c, width)) return nullptr;
    const HuffEntry* e = &table[low_bits(c.b, width)];
    while (e->op > OP_LINK) {
        if (e->op == OP_INVALID) return nullptr;
        const uint32_t m = e->op - OP_LINK;
        drop(c, e->bits);
        if (!need(c, m)) return nullptr;
        e = &sub_table(table, *e)[low_bits(c.b, m)];
    }
    drop(c, e->bits);
    return e;
}

// Copies `length` bytes from `distance` bytes back, a word at a time. Most
// matches are short, so the first 32 bytes are stored without a test. May
// store up to 31 bytes past the end of the match; the window's slack and
// its unwritten part take them.
inline void copy_match(uint8_t* dst, uint32_t distance, uint32_t length)
{
    uint8_t* const end = dst + length;
    const uint8_t* src = dst - distance;
    if (distance >= 16) {
        // Each 16-byte piece read lies wholly before the piece being written.
        std::memcpy(dst, src, 16);
        std::memcpy(dst + 16, src + 16, 16);
        dst += 32;
        src += 32;
        while (dst < end) {
            std::memcpy(dst, src, 16);
            dst += 16;
            src += 16;
        }
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
        std::memcpy(dst, src, 8);
        std::memcpy(dst + 8, src + 8, 8);
        dst += 16;
        src += 16;
    }
    while (dst < end) {
        std::memcpy(dst, src, 8);
        dst += 8;
        src += 8;
    }
}

// Margins of the fast loop. It starts a round while the output area is not
// full: a round stores at most two literals and a longest match, plus the
// bytes a copy may store past the match, which the window's slack takes. A
// round refills the bit buffer twice from the chunk, 7 bytes at most each.
constexpr uint32_t FAST_WINDOW_LIMIT = WINDOW_SIZE;
constexpr uint32_t FAST_INPUT_MARGIN = 16;
static_assert(WINDOW_SLACK >= 2 + 258 + 32, "a fast round must fit in the slack");

constexpr int FAST_MARGIN_REACHED = 0;
constexpr int FAST_END_OF_BLOCK = 1;
constexpr int FAST_INVALID = 2;

inline uint64_t refill(uint64_t b, uint32_t& k, const uint8_t*& ip)
{
    b |= load_le64(ip) << k;
    ip += (63 - k) >> 3;
    k |= 56;
    return b;
}

// Stands in for a missing distance table: every distance code is invalid.
constexpr HuffEntry no_distance_codes[1] = {{OP_INVALID, 0, 0}};

// Decodes while the chunk holds FAST_INPUT_MARGIN bytes and the output area
// is not full, so no step needs a bounds test. A round fills
// the bit buffer to at least 56 bits, enough for three codes of at most 15
// bits, or two codes and a length code with its extra bits; it refills again
// before the distance, which takes at most 28 bits.
[[gnu::noinline]] int decode_fast(CodeCursor& c, uint8_t* window, uint32_t& window_pos,
                                  const HuffEntry* literal_table, const HuffEntry* distance_table,
                                  uint32_t literal_mask, uint32_t distance_mask)
{
    if (c.size - c.pos < FAST_INPUT_MARGIN) return FAST_MARGIN_REACHED;
    if (distance_table == nullptr) {
        distance_table = no_distance_codes;
        distance_mask = 0;
    }
    // Locals only: stores into the window could otherwise alias them.
    uint8_t* out = window + window_pos;
    uint8_t* const out_limit = window + FAST_WINDOW_LIMIT;
    const uint8_t* ip = c.in + c.pos;
    const uint8_t* const ip_limit = c.in + c.size - FAST_INPUT_MARGIN;
    uint64_t b = c.b;
    uint32_t k = c.k;
    int result = FAST_MARGIN_REACHED;
    while (ip <= ip_limit && out < out_limit) {
        b = refill(b, k, ip);
        HuffEntry e = literal_table[b & literal_mask];
        if (e.op == OP_LITERAL) {
            b >>= e.bits;
            k -= e.bits;
            *out++ = static_cast<uint8_t>(e.value);
            e = literal_table[b & literal_mask];
            if (e.op == OP_LITERAL) {
                b >>= e.bits;
                k -= e.bits;
                *out++ = static_cast<uint8_t>(e.value);
                e = literal_table[b & literal_mask];
                if (e.op == OP_LITERAL) {
                    b >>= e.bits;
                    k -= e.bits;
                    *out++ = static_cast<uint8_t>(e.value);
                    continue;
                }
            }
        }
        while (e.op > OP_LINK) {
            if (e.op == OP_INVALID) {
                result = FAST_INVALID;
                goto done;
            }
            b >>= e.bits;
            k -= e.bits;
            e = sub_table(literal_table, e)[b & bit_mask[e.op - OP_LINK]];
        }
        b >>= e.bits;
        k -= e.bits;
        if (e.op >= OP_END_OF_BLOCK) {
            if (e.op == OP_END_OF_BLOCK) {
                result = FAST_END_OF_BLOCK;
                goto done;
            }
            *out++ = static_cast<uint8_t>(e.value);  // a literal from a sub-table
            continue;
        }
        const uint32_t length = e.value + low_bits(b, e.op);
        b >>= e.op;
        k -= e.op;

        b = refill(b, k, ip);
        HuffEntry d = distance_table[b & distance_mask];
        while (d.op > OP_LINK) {
            if (d.op == OP_INVALID) {
                result = FAST_INVALID;
                goto done;
            }
            b >>= d.bits;
            k -= d.bits;
            d = sub_table(distance_table, d)[b & bit_mask[d.op - OP_LINK]];
        }
        b >>= d.bits;
        k -= d.bits;
        const uint32_t distance = d.value + low_bits(b, d.op);
        b >>= d.op;
        k -= d.op;
        copy_match(out, distance, length);
        out += length;
    }
done:
    window_pos = static_cast<uint32_t>(out - window);
    c.b = b;
    c.k = k;
    c.pos = static_cast<uint32_t>(ip - c.in);
    return result;
}

}  // namespace

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
    const uint32_t literal_mask = (1u << lwidth) - 1;
    const uint32_t distance_mask = (1u << dwidth) - 1;

    for (;;) {
        const int fast = decode_fast(c, window, w, literal_table, distance_table, literal_mask,
                                     distance_mask);
        if (fast == FAST_INVALID) break;
        if (w >= WINDOW_SIZE) {
            s.input_pos = c.pos;
            s.window_pos = w;
            wrap_window();
            window = s.window;
            w = s.window_pos;
        }
        if (fast == FAST_END_OF_BLOCK) {
            s.bit_buffer = c.b;
            s.bit_count = c.k;
            s.input_pos = c.pos;
            s.window_pos = w;
            return DECODE_OK;
        }
        if (c.size - c.pos >= FAST_INPUT_MARGIN) continue;
        // Near the end of the chunk or of the output area: one code at a time.
        const HuffEntry* e = lookup(c, literal_table, lwidth);
        if (e == nullptr) break;
        if (e->op == OP_LITERAL) {
            window[w++] = static_cast<uint8_t>(e->value);
            if (w == WINDOW_SIZE) {
                s.input_pos = c.pos;
                s.window_pos = w;
                wrap_window();
                window = s.window;
                w = 0;
            }
            continue;
        }
        if (e->op == OP_END_OF_BLOCK) {
            s.bit_buffer = c.b;
            s.bit_count = c.k;
            s.input_pos = c.pos;
            s.window_pos = w;
            return DECODE_OK;
        }
        if (!need(c, e->op)) break;
        uint32_t length = e->value + low_bits(c.b, e->op);
        drop(c, e->op);

        if (distance_table == nullptr) break;
        const HuffEntry* d = lookup(c, distance_table, dwidth);
        if (d == nullptr || !need(c, d->op)) break;
        const uint32_t distance = d->value + low_bits(c.b, d->op);
        drop(c, d->op);

        if (length < WINDOW_SIZE - w) {
            copy_match(window + w, distance, length);
            w += length;
            continue;
        }
        // The match fills the output area: copy up to its end, write it out,
        // and go on below it, where the history now sits.
        while (length > 0) {
            const uint32_t piece = length < WINDOW_SIZE - w ? length : WINDOW_SIZE - w;
            copy_match(window + w, distance, piece);
            w += piece;
            length -= piece;
            if (w == WINDOW_SIZE) {
                s.input_pos = c.pos;
                s.window_pos = w;
                wrap_window();
                window = s.window;
                w = 0;
            }
        }
    }
    s.input_pos = c.pos;
    return DECODE_INVALID;
}
