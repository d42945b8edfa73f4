// Writes the fuzzers' seed corpora: gzip files (for fuzz_unzip) and raw
// Deflate streams (for fuzz_deflate) made with zlib at every level and
// strategy, small and about 100 KiB, hand-made streams at the edges of the
// format, header flag variants, several members, and the peer test vectors
// turned into both forms.
//   make_seeds UNZIP_DIR DEFLATE_DIR [PEERS_DIR]
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bit_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

std::string unzip_dir;
std::string deflate_dir;

void write_file(const std::string& path, const Bytes& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f) {
        std::printf("make_seeds: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

Bytes read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Deflate data from zlib: window_bits 8..15 raw (negated) or 16 + bits for gzip.
Bytes zlib_compress(const Bytes& data, int level, int strategy, int window_bits, int mem_level = 8)
{
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, window_bits, mem_level, strategy) != Z_OK) std::exit(1);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())) + 64);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::exit(1);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

Bytes trailer(const Bytes& data)
{
    const uint32_t crc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    const uint32_t size = static_cast<uint32_t>(data.size());
    Bytes t(8);
    for (int i = 0; i < 4; i++) {
        t[i] = static_cast<uint8_t>(crc >> (8 * i));
        t[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    }
    return t;
}

Bytes plain_header(uint8_t flags = 0) { return {0x1F, 0x8B, 8, flags, 0x12, 0x34, 0x56, 0x78, 0, 3}; }

// What zlib decodes from a raw stream, or nothing.
Bytes inflate_raw(const Bytes& deflate)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) std::exit(1);
    Bytes out;
    z.next_in = const_cast<Bytef*>(deflate.data());
    z.avail_in = static_cast<uInt>(deflate.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        Bytes chunk(65536);
        z.next_out = chunk.data();
        z.avail_out = static_cast<uInt>(chunk.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk.begin(), chunk.end() - z.avail_out);
    }
    inflateEnd(&z);
    return out;
}

// Both forms of one raw stream: as it is, and framed as a gzip member.
void seed_both(const std::string& name, const Bytes& deflate)
{
    write_file(deflate_dir + "/" + name + ".deflate", deflate);
    write_file(unzip_dir + "/" + name + ".gz",
               concat(concat(plain_header(), deflate), trailer(inflate_raw(deflate))));
}

Bytes text_bytes(size_t size, uint32_t seed)
{
    static const char* const words[] = {"the ", "window ", "holds ", "32768 ", "bytes, ", "and ",
                                        "a ", "match ", "reaches ", "back\n", "Deflate ", "of "};
    Bytes out;
    uint32_t x = seed;
    while (out.size() < size) {
        x = x * 1103515245u + 12345u;
        for (const char* w = words[(x >> 16) % 12]; *w != 0; w++) out.push_back(static_cast<uint8_t>(*w));
    }
    out.resize(size);
    return out;
}

Bytes random_bytes(size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t x = seed;
    for (uint8_t& b : out) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

// Text, random bytes and runs in turn, so zlib switches block types.
Bytes mixed_bytes(size_t size, uint32_t seed)
{
    Bytes out;
    for (uint32_t i = 0; out.size() < size; i++) {
        const size_t piece = 200 + (i * 977) % 3000;
        if (i % 3 == 0) out = concat(out, text_bytes(piece, seed + i));
        if (i % 3 == 1) out = concat(out, random_bytes(piece / 4, seed + i));
        if (i % 3 == 2) out = concat(out, Bytes(piece, static_cast<uint8_t>(i)));
    }
    out.resize(size);
    return out;
}

const int STRATEGIES[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};

void seed_levels_and_strategies()
{
    const struct {
        const char* name;
        Bytes data;
    } inputs[] = {{"empty", {}},
                  {"one", {'x'}},
                  {"text300", text_bytes(300, 1)},
                  {"mixed5k", mixed_bytes(5000, 2)},
                  {"random2k", random_bytes(2000, 3)},
                  {"zeros40k", Bytes(40000, 0)}};
    for (const auto& in : inputs)
        for (int level = 0; level <= 9; level++)
            for (int s = 0; s < 5; s++) {
                // Every level with the default strategy, every strategy at levels 1 and 9.
                if (s != 0 && level != 1 && level != 9) continue;
                const std::string name = std::string(in.name) + "-l" + std::to_string(level) + "-s" + std::to_string(s);
                seed_both(name, zlib_compress(in.data, level, STRATEGIES[s], -15));
            }
    // About 100 KiB, crossing several windows and input chunks.
    const Bytes big = mixed_bytes(100 * 1024, 4);
    for (int level : {0, 1, 6, 9}) seed_both("mixed100k-l" + std::to_string(level), zlib_compress(big, level, Z_DEFAULT_STRATEGY, -15));
    for (int s = 2; s < 5; s++) seed_both("mixed100k-s" + std::to_string(s), zlib_compress(big, 6, STRATEGIES[s], -15));
    seed_both("text100k-l9", zlib_compress(text_bytes(100 * 1024, 5), 9, Z_DEFAULT_STRATEGY, -15));
    // Small windows and little memory give short distances and many blocks.
    seed_both("mixed20k-w9", zlib_compress(mixed_bytes(20000, 6), 9, Z_DEFAULT_STRATEGY, -9, 1));
    seed_both("text20k-m9", zlib_compress(text_bytes(20000, 7), 6, Z_DEFAULT_STRATEGY, -15, 9));
}

// Fixed-code streams zlib never writes but the format allows.
void seed_hand_made_fixed()
{
    const Code fixed = fixed_literal_code();
    const Code fixed_distance = fixed_distance_code();
    {  // A match that reaches before the start: reads the zero window.
        BitWriter w;
        put_block_header(w, true, 1);
        put_symbol(w, fixed, 'A');
        put_length(w, fixed, 10);
        put_distance(w, fixed_distance, 100);
        put_symbol(w, fixed, 256);
        seed_both("before-start", finish_bits(w));
    }
    {  // Distance 32768 after a full window, length 258 at distance 1.
        BitWriter w;
        put_block_header(w, true, 1);
        for (int i = 0; i < 128; i++) {
            put_symbol(w, fixed, static_cast<uint32_t>('a' + i % 26));
            put_length(w, fixed, 258);
            put_distance(w, fixed_distance, 1);
        }
        put_length(w, fixed, 258);
        put_distance(w, fixed_distance, 32768);
        put_symbol(w, fixed, 256);
        seed_both("distance-32768", finish_bits(w));
    }
    {  // Empty stored blocks, then a stored block across the window's end.
        BitWriter w;
        put_stored_block(w, false, {});
        put_stored_block(w, false, random_bytes(40000, 8));
        put_stored_block(w, true, {});
        seed_both("stored", finish_bits(w));
    }
}

// Dynamic headers at the edges: the largest counts, lone codes.
void seed_hand_made_dynamic()
{
    {  // The largest counts and complete codes down to 15 bits: a chain of
       // ever longer codes fills the last 9-bit (and 5-bit) pattern.
        std::vector<uint32_t> literal(286, 8), distance(30, 4);
        for (uint32_t s = 232; s < 279; s++) literal[s] = 9;
        for (uint32_t s = 279; s < 285; s++) literal[s] = s - 269;
        literal[285] = 15;
        for (uint32_t s = 12; s < 19; s++) distance[s] = 5;
        for (uint32_t s = 19; s < 29; s++) distance[s] = s - 13;
        distance[29] = 15;
        const Code lc = canonical_code(literal);
        const Code dc = canonical_code(distance);
        BitWriter w;
        put_dynamic_header(w, true, literal, distance);
        put_symbol(w, lc, 'a');
        put_symbol(w, lc, 285);  // length 258, the longest literal/length code
        put_symbol(w, dc, 0);    // distance 1
        put_symbol(w, lc, 284);  // length 227 + 5 extra bits
        put_bits(w, 31, 5);
        put_symbol(w, dc, 29);   // distance 24577 + 13 extra bits: before the start
        put_bits(w, 100, 13);
        put_symbol(w, lc, 256);
        seed_both("dynamic-wide", finish_bits(w));
    }
    {  // A code-length code of one 1-bit code: all 258 lengths come out
       // as 9, an incomplete literal/length code, so the block is refused.
        BitWriter w;
        std::vector<uint32_t> cl(19, 0);
        cl[9] = 1;
        put_dynamic_header_raw(w, true, 0, 0, 15, cl, std::vector<LengthSymbol>(258, LengthSymbol{9, 0}));
        seed_both("lone-code-length-code", finish_bits(w));
    }
    {  // A distance code of one 1-bit code, used once.
        std::vector<uint32_t> literal(258, 0), distance(1, 1);
        literal['a'] = 1;
        literal[256] = 2;
        literal[257] = 2;
        const Code lc = canonical_code(literal);
        BitWriter w;
        put_dynamic_header(w, true, literal, distance);
        put_symbol(w, lc, 'a');
        put_symbol(w, lc, 257);
        put_symbol(w, canonical_code(distance), 0);
        put_symbol(w, lc, 256);
        seed_both("lone-distance-code", finish_bits(w));
    }
}

void seed_headers_and_members()
{
    const Bytes data = text_bytes(3000, 9);
    const Bytes body = zlib_compress(data, 6, Z_DEFAULT_STRATEGY, -15);
    const Bytes member = concat(concat(plain_header(), body), trailer(data));
    const Bytes name = {'n', 'a', 'm', 'e', '.', 't', 'x', 't', 0};
    const Bytes comment = {'a', ' ', 'c', 'o', 'm', 'm', 'e', 'n', 't', 0};
    const Bytes extra = {6, 0, 'A', 'B', 2, 0, 'x', 'y'};
    const struct {
        const char* name;
        uint8_t flags;
        Bytes fields;
    } headers[] = {{"ftext", 0x01, {}},
                   {"fhcrc", 0x02, {0xAA, 0x55}},
                   {"fextra", 0x04, extra},
                   {"fextra-empty", 0x04, {0, 0}},
                   {"fname", 0x08, name},
                   {"fcomment", 0x10, comment},
                   {"all-flags", 0x1F, concat(concat(extra, name), concat(comment, {0x12, 0x34}))},
                   {"reserved-flags", 0xE0, {}}};
    for (const auto& h : headers)
        write_file(unzip_dir + "/header-" + h.name + ".gz",
                   concat(concat(concat(plain_header(h.flags), h.fields), body), trailer(data)));
    Bytes negative_time = member;
    negative_time[4] = 0, negative_time[5] = 0, negative_time[6] = 0, negative_time[7] = 0x80;
    write_file(unzip_dir + "/header-negative-time.gz", negative_time);

    const Bytes empty = zlib_compress({}, 6, Z_DEFAULT_STRATEGY, 31);
    write_file(unzip_dir + "/members-two.gz", concat(member, member));
    write_file(unzip_dir + "/members-three-empty-middle.gz", concat(concat(member, empty), member));
    write_file(unzip_dir + "/members-zero-padding.gz", concat(member, Bytes(512, 0)));
    write_file(unzip_dir + "/members-junk.gz", concat(member, text_bytes(40, 10)));
    write_file(unzip_dir + "/members-lone-1f.gz", concat(member, {0x1F}));
    write_file(unzip_dir + "/members-truncated.gz", Bytes(member.begin(), member.end() - 1));
}

// Peer vectors: gzip files go to fuzz_unzip as they are (the scripts also
// hand the folder itself to it); every vector's Deflate data goes to
// fuzz_deflate, and raw Deflate ones also framed as gzip to fuzz_unzip.
void seed_peers(const std::string& peers)
{
    std::ifstream manifest(peers + "/MANIFEST.tsv");
    std::string line;
    std::getline(manifest, line);  // column names
    int count = 0;
    while (std::getline(manifest, line)) {
        const std::string file = line.substr(0, line.find('\t'));
        const std::string rest = line.substr(line.find('\t') + 1);
        const std::string format = rest.substr(0, rest.find('\t'));
        const Bytes bytes = read_file(peers + "/" + file);
        std::string name = "peer-" + file;
        for (char& c : name)
            if (c == '/') c = '-';
        Bytes deflate;
        if (format == "deflate") deflate = bytes;
        if (format == "zlib" && bytes.size() > 6) deflate = Bytes(bytes.begin() + 2, bytes.end() - 4);
        // Optional gzip header fields, if any, stay in front as noise.
        if (format == "gzip" && bytes.size() > 18) deflate = Bytes(bytes.begin() + 10, bytes.end() - 8);
        if (format == "deflate") seed_both(name, deflate);
        else write_file(deflate_dir + "/" + name + ".deflate", deflate);
        count++;
    }
    std::printf("make_seeds: %d peer vectors\n", count);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::printf("usage: make_seeds UNZIP_DIR DEFLATE_DIR [PEERS_DIR]\n");
        return 2;
    }
    unzip_dir = argv[1];
    deflate_dir = argv[2];
    seed_levels_and_strategies();
    seed_hand_made_fixed();
    seed_hand_made_dynamic();
    seed_headers_and_members();
    if (argc > 3) seed_peers(argv[3]);
    return 0;
}
