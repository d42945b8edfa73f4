// Shared records and helpers of the benchmark program: the corpus, the
// compressors that make it, and the few operating-system services (timing,
// files, child processes) the measurements need. Linux only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct libdeflate_decompressor;

// Uncompressed data of one kind (text, binaries, a mix of both).
struct CorpusSource {
    std::string name;
    Bytes data;
};

// One source compressed one way, kept in memory and on disk.
struct CorpusFile {
    std::string name;        // "<source>.<method>", the decompressed file's name
    size_t source;           // index into Corpus::sources
    Bytes compressed;
    std::string gz_path;     // the compressed file in the large tree
};

struct Corpus {
    std::vector<CorpusSource> sources;
    std::vector<CorpusFile> files;
};

// Median of a non-empty list.
double median(std::vector<double> values);
double geometric_mean(const std::vector<double>& values);

// corpus.cc
// Reads the sources from files any Debian machine has, compresses each with
// every method, and writes the large tree: gz_dir/<source>/<name>.gz and the
// decompressed twin plain_dir/<source>/<name>. Ends the program on failure.
Corpus build_corpus(const std::string& gz_dir, const std::string& plain_dir);
// Gzip framing, zlib at `level`; the header carries a fixed time so that
// kavrelt stamps its outputs as it does on real discs.
Bytes zlib_gzip(const Bytes& data, int level);
// Gzip framing, libdeflate at `level`.
Bytes libdeflate_gzip(const Bytes& data, int level);

// decode_bench.cc
// Prints the decoding table: every corpus file, every decoder.
void bench_decoding(const Corpus& corpus, const std::string& work_dir);
// Prints the CRC-32 table.
void bench_crc32();
// Seconds unzip_stream takes from the file at input_path to output_path.
// Ends the program if the decoder rejects the file.
double time_kavrelt(const std::string& input_path, const std::string& output_path);
// Seconds of one in-memory decode; `out` must have exactly the decompressed
// size. Ends the program if libdeflate fails.
double time_libdeflate(libdeflate_decompressor* decompressor, const Bytes& in, Bytes* out);

// tree_bench.cc
// Prints the whole-run and peak-memory tables. The large tree is the one
// build_corpus wrote; the small tree is made under work_dir.
void bench_trees(const std::string& kavrelt, const Corpus& corpus, const std::string& large_gz_dir,
                 const std::string& large_plain_dir, const std::string& work_dir);
// Only the whole runs on the disk file system `disk_dir`, with the trees
// made under work_dir.
void bench_disk_trees(const std::string& kavrelt, const Corpus& corpus, const std::string& work_dir,
                      const std::string& disk_dir);

// system.cc
// Monotonic seconds.
double now_seconds();
// Prints "bench: <message>" and ends the program with status 1.
[[noreturn]] void die(const std::string& message);
Bytes read_file_or_die(const std::string& path);
void write_file_or_die(const std::string& path, const Bytes& data);
void make_directories_or_die(const std::string& path);
int open_input_or_die(const std::string& path);
// Creates or truncates `path` for writing.
int open_output_or_die(const std::string& path);
void close_fd(int fd);
// Writes dirty pages back, so one measurement does not pay for the last.
void flush_file_system();

// Runs argv[0] (searched in PATH) with stdout and stderr sent to /dev/null
// and waits for it; returns its wall time in seconds. Ends the program
// unless it exits with status 0.
double run_or_die(const std::vector<std::string>& argv);

struct ChildRun {
    double seconds;
    int64_t max_rss_kib;     // peak resident set of this child alone
    double cpu_seconds;      // user and system time of this child
};
// As run_or_die, but started through measure_run, which also reports the
// child's peak memory; `result_path` is a scratch file for its report.
ChildRun run_measured_or_die(const std::vector<std::string>& argv, const std::string& result_path);
// cp -r from to, rm -rf path: shell tools, so the floor is what users get.
double copy_tree_or_die(const std::string& from, const std::string& to);
// cp -a: links stay links, as in a copy of a real tree.
double copy_tree_as_is_or_die(const std::string& from, const std::string& to);
void remove_tree_or_die(const std::string& path);
