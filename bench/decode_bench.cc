// Decoding speed file by file: kavrelt's decoder from a file on disk into a
// file and into /dev/null, zlib, libdeflate and ISA-L from memory into memory; then
// CRC-32 speed. Rounds run over every file and every decoder in turn, so a
// burst of load from elsewhere hits all of them alike; medians are reported.
#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <memory>
#include <zlib.h>

#include "crc32.h"
#include "gzip_decoder.h"

constexpr int DECODE_ROUNDS = 7;
constexpr int CRC_ROUNDS = 5;
constexpr size_t CRC_BUFFER_BYTES = 64u << 20;

// The decoders compared, in the order each round runs them.
constexpr int KAVRELT_FILE = 0;
constexpr int KAVRELT_NULL = 1;
constexpr int ZLIB = 2;
constexpr int LIBDEFLATE = 3;
constexpr int ISAL = 4;
constexpr int DECODER_COUNT = 5;

double time_kavrelt(const std::string& input_path, const std::string& output_path)
{
    const int input = open_input_or_die(input_path);
    const int output = open_output_or_die(output_path);
    const double start = now_seconds();
    const int rc = unzip_stream(input, output);
    const double seconds = now_seconds() - start;
    close_fd(output);
    close_fd(input);
    if (rc != 0) die("kavrelt's decoder rejected " + input_path);
    return seconds;
}

// `out` must have exactly the decompressed size.
static double time_zlib(const Bytes& in, Bytes* out)
{
    const double start = now_seconds();
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) die("inflateInit2 failed");
    stream.next_in = const_cast<uint8_t*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    stream.next_out = out->data();
    stream.avail_out = static_cast<uInt>(out->size());
    const int rc = inflate(&stream, Z_FINISH);
    const uLong produced = stream.total_out;
    inflateEnd(&stream);
    const double seconds = now_seconds() - start;
    if (rc != Z_STREAM_END || produced != out->size()) die("zlib could not decode the corpus");
    return seconds;
}

double time_libdeflate(libdeflate_decompressor* decompressor, const Bytes& in, Bytes* out)
{
    size_t produced = 0;
    const double start = now_seconds();
    const libdeflate_result rc =
        libdeflate_gzip_decompress(decompressor, in.data(), in.size(), out->data(), out->size(), &produced);
    const double seconds = now_seconds() - start;
    if (rc != LIBDEFLATE_SUCCESS || produced != out->size()) die("libdeflate could not decode the corpus");
    return seconds;
}

// `out` must have exactly the decompressed size. ISA-L checks the gzip
// header and the trailer's CRC-32 itself in this mode.
static double time_isal(inflate_state* state, const Bytes& in, Bytes* out)
{
    const double start = now_seconds();
    isal_inflate_init(state);
    state->crc_flag = ISAL_GZIP;
    state->next_in = const_cast<uint8_t*>(in.data());
    state->avail_in = static_cast<uint32_t>(in.size());
    state->next_out = out->data();
    state->avail_out = static_cast<uint32_t>(out->size());
    const int rc = isal_inflate_stateless(state);
    const double seconds = now_seconds() - start;
    if (rc != ISAL_DECOMP_OK || state->total_out != out->size()) die("ISA-L could not decode the corpus");
    return seconds;
}

static void check_same(const Bytes& got, const Bytes& expected, const std::string& what)
{
    if (got != expected) die(what + ": decoded bytes differ from the original");
}

// One round over every file; the first round also checks every output.
// `outputs` holds a buffer of the right size per source, touched before the
// first round so that no decoder pays for first-use page faults.
static void run_decode_round(const Corpus& corpus, const std::string& work_dir, bool check,
                             libdeflate_decompressor* decompressor, inflate_state* isal_state,
                             std::vector<Bytes>* outputs,
                             std::vector<std::vector<double>>* seconds)
{
    const std::string decoded_path = work_dir + "/decoded.bin";
    for (size_t f = 0; f < corpus.files.size(); ++f) {
        const CorpusFile& file = corpus.files[f];
        const Bytes& original = corpus.sources[file.source].data;
        Bytes* out = &(*outputs)[file.source];
        std::vector<double>* times = &(*seconds)[f * DECODER_COUNT];
        times[KAVRELT_FILE].push_back(time_kavrelt(file.gz_path, decoded_path));
        if (check) check_same(read_file_or_die(decoded_path), original, "kavrelt " + file.name);
        times[KAVRELT_NULL].push_back(time_kavrelt(file.gz_path, "/dev/null"));
        // Zeros before a checked decode: a decoder that wrote nothing must
        // not pass on an earlier decoder's output.
        if (check) std::fill(out->begin(), out->end(), 0);
        times[ZLIB].push_back(time_zlib(file.compressed, out));
        if (check) check_same(*out, original, "zlib " + file.name);
        if (check) std::fill(out->begin(), out->end(), 0);
        times[LIBDEFLATE].push_back(time_libdeflate(decompressor, file.compressed, out));
        if (check) check_same(*out, original, "libdeflate " + file.name);
        if (check) std::fill(out->begin(), out->end(), 0);
        times[ISAL].push_back(time_isal(isal_state, file.compressed, out));
        if (check) check_same(*out, original, "ISA-L " + file.name);
    }
}

static double megabytes_per_second(size_t bytes, const std::vector<double>& seconds)
{
    return static_cast<double>(bytes) / 1e6 / median(seconds);
}

void bench_decoding(const Corpus& corpus, const std::string& work_dir)
{
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) die("libdeflate_alloc_decompressor failed");
    const auto isal_state = std::make_unique<inflate_state>();
    std::vector<Bytes> outputs;
    for (const CorpusSource& source : corpus.sources) outputs.emplace_back(source.data.size());
    std::vector<std::vector<double>> seconds(corpus.files.size() * DECODER_COUNT);
    for (int round = 0; round < DECODE_ROUNDS; ++round) {
        fprintf(stderr, "bench: decoding round %d of %d\n", round + 1, DECODE_ROUNDS);
        run_decode_round(corpus, work_dir, round == 0, decompressor, isal_state.get(), &outputs, &seconds);
    }
    libdeflate_free_decompressor(decompressor);

    printf("\n1. Decoding speed, MB/s of decompressed data (1 MB = 10^6 bytes), median of %d interleaved rounds\n",
           DECODE_ROUNDS);
    printf("   kavrelt: unzip_stream from a file, into a file on the same file system / into /dev/null\n");
    printf("   zlib, libdeflate, ISA-L: whole buffer in memory; k/zlib, k/ldf, k/isal use kavrelt into /dev/null\n");
    printf("   ratio: decompressed size / compressed size\n\n");
    printf("%-28s %6s %6s %8s %8s %8s %8s %8s %7s %7s %7s\n", "file", "MiB", "ratio", "k>file", "k>null",
           "zlib", "libdefl", "isa-l", "k/zlib", "k/ldf", "k/isal");
    std::vector<double> vs_zlib, vs_libdeflate, vs_isal, file_vs_null;
    for (size_t f = 0; f < corpus.files.size(); ++f) {
        const CorpusFile& file = corpus.files[f];
        const size_t size = corpus.sources[file.source].data.size();
        double speed[DECODER_COUNT];
        for (int d = 0; d < DECODER_COUNT; ++d) speed[d] = megabytes_per_second(size, seconds[f * DECODER_COUNT + d]);
        vs_zlib.push_back(speed[KAVRELT_NULL] / speed[ZLIB]);
        vs_libdeflate.push_back(speed[KAVRELT_NULL] / speed[LIBDEFLATE]);
        vs_isal.push_back(speed[KAVRELT_NULL] / speed[ISAL]);
        file_vs_null.push_back(speed[KAVRELT_FILE] / speed[KAVRELT_NULL]);
        printf("%-28s %6.2f %6.2f %8.1f %8.1f %8.1f %8.1f %8.1f %7.2f %7.2f %7.2f\n", file.name.c_str(),
               static_cast<double>(size) / (1 << 20), static_cast<double>(size) / static_cast<double>(file.compressed.size()),
               speed[KAVRELT_FILE], speed[KAVRELT_NULL], speed[ZLIB], speed[LIBDEFLATE], speed[ISAL], vs_zlib.back(),
               vs_libdeflate.back(), vs_isal.back());
    }
    const auto lowest = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
    printf("%-28s %6s %6s %8s %8s %8s %8s %8s %7.2f %7.2f %7.2f\n", "geometric mean", "", "", "", "", "", "", "",
           geometric_mean(vs_zlib), geometric_mean(vs_libdeflate), geometric_mean(vs_isal));
    printf("%-28s %6s %6s %8s %8s %8s %8s %8s %7.2f %7.2f %7.2f\n", "lowest", "", "", "", "", "", "", "",
           lowest(vs_zlib), lowest(vs_libdeflate), lowest(vs_isal));
    printf("   kavrelt into a file / into /dev/null, geometric mean: %.2f\n", geometric_mean(file_vs_null));
}

// Deterministic bytes without structure, so no CRC shortcut can apply.
static Bytes make_noise(size_t size)
{
    Bytes out(size);
    uint64_t x = 0x9E3779B97F4A7C15u;
    for (uint8_t& byte : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return out;
}

void bench_crc32()
{
    const Bytes buffer = make_noise(CRC_BUFFER_BYTES);
    const char* const names[] = {"kavrelt crc32_update", "zlib crc32", "libdeflate_crc32"};
    std::vector<double> seconds[3];
    uint32_t results[3] = {};
    fprintf(stderr, "bench: CRC-32\n");
    for (int round = 0; round < CRC_ROUNDS; ++round) {
        for (int way = 0; way < 3; ++way) {
            const double start = now_seconds();
            if (way == 0) results[way] = crc32_update(0, buffer.data(), buffer.size());
            if (way == 1) results[way] = static_cast<uint32_t>(crc32(0, buffer.data(), static_cast<uInt>(buffer.size())));
            if (way == 2) results[way] = libdeflate_crc32(0, buffer.data(), buffer.size());
            seconds[way].push_back(now_seconds() - start);
        }
    }
    if (results[0] != results[1] || results[0] != results[2]) die("the CRC-32 results differ");
    printf("\n2. CRC-32 over a 64 MiB buffer, GB/s (10^9 bytes), median of %d interleaved rounds\n\n", CRC_ROUNDS);
    const double kavrelt_speed = static_cast<double>(CRC_BUFFER_BYTES) / 1e9 / median(seconds[0]);
    for (int way = 0; way < 3; ++way) {
        const double speed = static_cast<double>(CRC_BUFFER_BYTES) / 1e9 / median(seconds[way]);
        printf("%-28s %8.2f GB/s   kavrelt/this %.2f\n", names[way], speed, kavrelt_speed / speed);
    }
}
