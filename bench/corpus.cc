// The benchmark corpus: text, binaries and a tar-like mix taken from files
// every Debian machine with a compiler has, always in the same order, each
// compressed with zlib (levels 1, 6, 9) and libdeflate (level 12), the mix
// also with zopfli.
#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <libdeflate.h>
#include <zlib.h>

namespace fs = std::filesystem;

constexpr size_t SOURCE_BYTES = 8u << 20;
// 2001-09-09, any fixed nonzero time: kavrelt then sets the output's times.
constexpr unsigned long HEADER_TIME = 1000000000;

// Library names in the order they are taken; missing ones are skipped.
static const char* const LIBRARIES[] = {
    "libstdc++.so.6", "libc.so.6", "libm.so.6", "libasan.so.8",
    "libgcc_s.so.1", "libz.so.1", "libdeflate.so.0",
};
static const char LIBRARY_DIR[] = "/usr/lib/x86_64-linux-gnu/";

// Appends whole files until `out` holds SOURCE_BYTES, then cuts it there.
static void append_files(Bytes* out, const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        if (out->size() >= SOURCE_BYTES) break;
        std::error_code error;
        if (!fs::is_regular_file(path, error)) continue;
        const Bytes data = read_file_or_die(path);
        out->insert(out->end(), data.begin(), data.end());
    }
    if (out->size() > SOURCE_BYTES) out->resize(SOURCE_BYTES);
}

static Bytes read_copyright_files()
{
    std::vector<std::string> paths;
    for (const fs::directory_entry& entry : fs::directory_iterator("/usr/share/doc")) {
        paths.push_back(entry.path().string() + "/copyright");
    }
    std::sort(paths.begin(), paths.end());
    Bytes out;
    append_files(&out, paths);
    return out;
}

static Bytes read_headers()
{
    std::vector<std::string> paths;
    const auto options = fs::directory_options::skip_permission_denied;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator("/usr/include", options)) {
        if (entry.is_regular_file() && entry.path().extension() == ".h") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    Bytes out;
    append_files(&out, paths);
    return out;
}

static Bytes read_libraries()
{
    std::vector<std::string> paths;
    for (const char* name : LIBRARIES) paths.push_back(std::string(LIBRARY_DIR) + name);
    Bytes out;
    append_files(&out, paths);
    return out;
}

// Half text, half binary, one after the other, as an archive of a source
// tree with its built libraries would be.
static Bytes make_mix(const Bytes& text, const Bytes& binary)
{
    const size_t half = SOURCE_BYTES / 2;
    Bytes out(text.begin(), text.begin() + static_cast<ptrdiff_t>(std::min(half, text.size())));
    out.insert(out.end(), binary.begin(), binary.begin() + static_cast<ptrdiff_t>(std::min(half, binary.size())));
    return out;
}

Bytes zlib_gzip(const Bytes& data, int level)
{
    z_stream stream{};
    // windowBits 15 + 16 asks for gzip framing.
    if (deflateInit2(&stream, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) die("deflateInit2 failed");
    gz_header header{};
    header.time = HEADER_TIME;
    header.os = 3;
    deflateSetHeader(&stream, &header);
    Bytes out(deflateBound(&stream, data.size()) + 64);
    stream.next_in = const_cast<uint8_t*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (rc != Z_STREAM_END) die("deflate failed");
    return out;
}

Bytes libdeflate_gzip(const Bytes& data, int level)
{
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    if (compressor == nullptr) die("libdeflate_alloc_compressor failed");
    Bytes out(libdeflate_gzip_compress_bound(compressor, data.size()));
    const size_t size = libdeflate_gzip_compress(compressor, data.data(), data.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    if (size == 0) die("libdeflate_gzip_compress failed");
    out.resize(size);
    return out;
}

// zopfli's output: many small blocks, each with its own code-length header
// and tables, so the per-block work weighs more than in any other method.
// One iteration: more would only make the bench slower to prepare.
static Bytes zopfli_gzip(const Bytes& data, const std::string& scratch)
{
    write_file_or_die(scratch, data);
    run_or_die({"zopfli", "--i1", "--gzip", scratch});
    Bytes out = read_file_or_die(scratch + ".gz");
    fs::remove(scratch);
    fs::remove(scratch + ".gz");
    return out;
}

static Bytes compress_with(const std::string& method, const Bytes& data, const std::string& scratch)
{
    if (method == "libdeflate12") return libdeflate_gzip(data, 12);
    if (method == "zopfli") return zopfli_gzip(data, scratch);
    return zlib_gzip(data, method.back() - '0');
}

Corpus build_corpus(const std::string& gz_dir, const std::string& plain_dir)
{
    Corpus corpus;
    corpus.sources.push_back({"text-copyright", read_copyright_files()});
    corpus.sources.push_back({"text-headers", read_headers()});
    corpus.sources.push_back({"binary", read_libraries()});
    corpus.sources.push_back({"mix", make_mix(corpus.sources[1].data, corpus.sources[2].data)});
    for (size_t s = 0; s < corpus.sources.size(); ++s) {
        const CorpusSource& source = corpus.sources[s];
        std::vector<const char*> methods = {"zlib1", "zlib6", "zlib9", "libdeflate12"};
        // The archive-like source only: zopfli takes seconds per megabyte.
        if (source.name == "mix") methods.push_back("zopfli");
        if (source.data.size() < (1u << 20)) die("too little data found for " + source.name);
        make_directories_or_die(gz_dir + "/" + source.name);
        make_directories_or_die(plain_dir + "/" + source.name);
        for (const char* method : methods) {
            fprintf(stderr, "bench: compressing %s with %s\n", source.name.c_str(), method);
            CorpusFile file;
            file.name = source.name + "." + method;
            file.source = s;
            file.compressed = compress_with(method, source.data, gz_dir + "/zopfli-input");
            file.gz_path = gz_dir + "/" + source.name + "/" + file.name + ".gz";
            write_file_or_die(file.gz_path, file.compressed);
            write_file_or_die(plain_dir + "/" + source.name + "/" + file.name, source.data);
            corpus.files.push_back(file);
        }
    }
    return corpus;
}
