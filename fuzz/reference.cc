// zlib as the reference decoder, made to read a file the way kavrelt's
// decoder is meant to. The gzip framing is parsed here, the Deflate data is
// inflated by zlib's raw mode, and every member is checked once more by
// zlib's own gzip mode so that the framing parse cannot drift from zlib's.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oracle.h"

namespace {

// ---- Where kavrelt's decoder departs from zlib on purpose ----------------
// The oracle allows these and nothing else:
//  1. A back-reference before the member's first byte reads zeros (every
//     member starts with a zero-filled window): zlib inflates after a
//     dictionary of 32 KiB of zeros (reference_inflate).
//  2. Bytes after a good member that do not begin with 1F 8B are ignored,
//     so padding after the last member loses nothing: the member loop of
//     reference_unzip stops there.
//  3. Reserved header flag bits are ignored, so a damaged flags byte does not
//     lose a file whose data is intact: IGNORED_FLAG_BITS.
//  4. The header CRC (flag 0x02) is skipped, not checked; the trailer's
//     CRC-32 guards the data: parse_header.
//  5. A code-length code made of one 1-bit code is accepted, both bit
//     patterns decoding as its symbol; zlib refuses it. Nothing is allowed
//     for it: with one code-length symbol every length of the block is the
//     same (or 0), and 257 to 286 equal lengths never form a usable
//     literal/length code, so the block fails either way.
// One 1-bit literal/length or distance code is no departure: zlib takes it.
constexpr uint8_t IGNORED_FLAG_BITS = 0xE0;

constexpr uint8_t FLAG_HEADER_CRC = 0x02;
constexpr uint8_t FLAG_EXTRA = 0x04;
constexpr uint8_t FLAG_NAME = 0x08;
constexpr uint8_t FLAG_COMMENT = 0x10;
constexpr size_t GZIP_FIXED_HEADER = 10;
constexpr size_t TRAILER_SIZE = 8;
constexpr uInt WINDOW_SIZE = 32768;
// zlib is given at most this much input or output space per call, so that
// sizes always fit its 32-bit counters.
constexpr size_t ZLIB_STEP = 1 << 20;

[[noreturn]] void reference_broken(const char* what)
{
    std::fprintf(stderr, "REFERENCE BROKEN: %s\n", what);
    std::abort();
}

uint32_t load_le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct Header {
    bool ok;        // complete, magic and method right
    size_t length;  // bytes up to the Deflate data
    size_t crc_at;  // offset of the header CRC, 0 when there is none
    int64_t mtime;
};

// RFC 1952, 2.3: the optional fields in the order they are written.
Header parse_header(const uint8_t* p, size_t n)
{
    Header h{};
    if (n < GZIP_FIXED_HEADER || p[0] != 0x1F || p[1] != 0x8B || p[2] != 8) return h;
    const uint8_t flags = p[3];
    h.mtime = static_cast<int32_t>(load_le32(p + 4));
    size_t pos = GZIP_FIXED_HEADER;
    if (flags & FLAG_EXTRA) {
        if (n - pos < 2) return h;
        const size_t extra = p[pos] | static_cast<size_t>(p[pos + 1]) << 8;
        pos += 2;
        if (n - pos < extra) return h;
        pos += extra;
    }
    for (const uint8_t flag : {FLAG_NAME, FLAG_COMMENT}) {
        if (!(flags & flag)) continue;
        while (pos < n && p[pos] != 0) pos++;
        if (pos == n) return h;
        pos++;
    }
    if (flags & FLAG_HEADER_CRC) {
        if (n - pos < 2) return h;
        h.crc_at = pos;
        pos += 2;
    }
    h.ok = true;
    h.length = pos;
    return h;
}

// Runs inflate until it ends, fails or wants input; output appended to `out`.
int inflate_into(z_stream& z, std::vector<uint8_t>& out, int flush)
{
    for (;;) {
        const size_t had = out.size();
        out.resize(had + 65536);
        z.next_out = out.data() + had;
        z.avail_out = 65536;
        const int rc = inflate(&z, flush);
        out.resize(out.size() - z.avail_out);
        if (rc != Z_OK || z.avail_out != 0) return rc;
    }
}

// Feeds data[fed, size) to `z` in ZLIB_STEP pieces while zlib wants more,
// starting from the result `rc` of the call before; returns the last result.
int feed_in_steps(z_stream& z, const uint8_t* data, size_t size, size_t& fed, int rc,
                  std::vector<uint8_t>& output)
{
    while ((rc == Z_OK || rc == Z_BUF_ERROR) && z.avail_in == 0 && fed < size) {
        const size_t step = size - fed < ZLIB_STEP ? size - fed : ZLIB_STEP;
        z.next_in = const_cast<Bytef*>(data + fed);
        z.avail_in = static_cast<uInt>(step);
        fed += step;
        rc = inflate_into(z, output, Z_NO_FLUSH);
    }
    return rc;
}

}  // namespace

RawInflate reference_inflate(const uint8_t* data, size_t size)
{
    RawInflate r{};
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) reference_broken("inflateInit2");
    static const uint8_t zeros[WINDOW_SIZE] = {};
    if (inflateSetDictionary(&z, zeros, WINDOW_SIZE) != Z_OK) reference_broken("dictionary");
    size_t fed = 0;
    const int rc = feed_in_steps(z, data, size, fed, Z_BUF_ERROR, r.output);
    r.ok = rc == Z_STREAM_END;
    r.consumed = fed - z.avail_in;
    r.message = z.msg;
    inflateEnd(&z);
    return r;
}

namespace {

struct GzipModeMember {
    bool ok;
    std::vector<uint8_t> output;
    size_t consumed;
    const char* message;
};

// zlib's gzip mode over the member at `p`, with the header normalised where
// kavrelt reads it more leniently: reserved flag bits cleared and the header
// CRC made right.
GzipModeMember gzip_mode_member(const uint8_t* p, size_t n, const Header& h)
{
    std::vector<uint8_t> head(p, p + (h.ok ? h.length : (n < 4 ? n : 4)));
    if (head.size() >= 4) head[3] &= static_cast<uint8_t>(~IGNORED_FLAG_BITS);
    if (h.crc_at != 0) {
        const uint32_t crc = static_cast<uint32_t>(crc32(0, head.data(), static_cast<uInt>(h.crc_at)));
        head[h.crc_at] = static_cast<uint8_t>(crc);
        head[h.crc_at + 1] = static_cast<uint8_t>(crc >> 8);
    }
    GzipModeMember g{};
    z_stream z{};
    if (inflateInit2(&z, 16 + 15) != Z_OK) reference_broken("inflateInit2 gzip");
    z.next_in = head.data();
    z.avail_in = static_cast<uInt>(head.size());
    size_t fed = head.size();
    const int rc = feed_in_steps(z, p, n, fed, inflate_into(z, g.output, Z_NO_FLUSH), g.output);
    g.ok = rc == Z_STREAM_END;
    g.consumed = fed - z.avail_in;
    g.message = z.msg;
    inflateEnd(&z);
    return g;
}

// Holds the member just decoded (ok with `length` bytes, or failed) against
// zlib's gzip mode: the framing parse here must agree with zlib's, except
// where a zero window lets a back-reference through.
void cross_check_member(const uint8_t* p, size_t n, const Header& h, bool ok, size_t length,
                        const uint8_t* output, size_t output_size)
{
    const GzipModeMember g = gzip_mode_member(p, n, h);
    if (g.ok) {
        if (!ok) reference_broken("zlib's gzip mode accepts a member the reference refuses");
        if (g.consumed != length) reference_broken("member lengths differ from zlib's gzip mode");
        if (g.output.size() != output_size ||
            (output_size > 0 && std::memcmp(g.output.data(), output, output_size) != 0))
            reference_broken("member output differs from zlib's gzip mode");
    } else if (ok && (g.message == nullptr ||
                      std::strcmp(g.message, "invalid distance too far back") != 0)) {
        reference_broken("zlib's gzip mode refuses a member the reference accepts");
    }
}

}  // namespace

std::vector<uint8_t> trailer_for(const std::vector<uint8_t>& data)
{
    uint32_t crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
    for (size_t at = 0; at < data.size(); at += ZLIB_STEP) {
        const size_t step = data.size() - at < ZLIB_STEP ? data.size() - at : ZLIB_STEP;
        crc = static_cast<uint32_t>(crc32(crc, data.data() + at, static_cast<uInt>(step)));
    }
    const uint32_t size = static_cast<uint32_t>(data.size());
    std::vector<uint8_t> t(TRAILER_SIZE);
    for (int i = 0; i < 4; i++) {
        t[i] = static_cast<uint8_t>(crc >> (8 * i));
        t[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    return t;
}

// Members one after another: the first must be there; another follows only
// where the two bytes after a good member are the gzip magic.
Reference reference_unzip(const uint8_t* data, size_t size)
{
    Reference r{};
    size_t pos = 0;
    for (bool first = true;; first = false) {
        const uint8_t* const p = data + pos;
        const size_t n = size - pos;
        const size_t output_before = r.output.size();
        const Header h = parse_header(p, n);
        if (!h.ok) {
            cross_check_member(p, n, h, false, 0, nullptr, 0);
            return r;
        }
        if (first) r.mtime = h.mtime;
        const RawInflate in = reference_inflate(p + h.length, n - h.length);
        r.output.insert(r.output.end(), in.output.begin(), in.output.end());
        const size_t trailer_at = h.length + in.consumed;
        const bool ok = in.ok && n - trailer_at >= TRAILER_SIZE &&
                        std::memcmp(p + trailer_at, trailer_for(in.output).data(), TRAILER_SIZE) == 0;
        cross_check_member(p, n, h, ok, trailer_at + TRAILER_SIZE, r.output.data() + output_before,
                           in.output.size());
        if (!ok) return r;
        pos += trailer_at + TRAILER_SIZE;
        if (size - pos < 2 || data[pos] != 0x1F || data[pos + 1] != 0x8B) {
            r.ok = true;
            return r;
        }
    }
}
