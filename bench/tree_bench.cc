// Whole runs of the kavrelt executable over a tree of large files and a tree
// of 5,000 small ones, against `cp -r` of the already decompressed tree (what
// the file system costs at least) and, for the large tree, libdeflate's
// in-memory decoding plus that copy. Then kavrelt's peak memory.
#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <libdeflate.h>

constexpr int TREE_ROUNDS = 3;
constexpr int SMALL_FILE_COUNT = 5000;
constexpr int SMALL_FILES_PER_DIRECTORY = 100;
constexpr int SUBDIRECTORIES = 5;
constexpr size_t SMALL_MIN_BYTES = 1024;
constexpr size_t SMALL_MAX_BYTES = 65536;
constexpr int LARGE_FILE_COPIES = 2;

// A compressed tree and its decompressed twin.
struct TreePair {
    std::string gz_dir;
    std::string plain_dir;
    std::vector<std::string> outputs;  // decompressed files, relative to either root
    size_t plain_bytes;
};

// Measurements of one tree; every list holds one value per round.
struct TreeTimes {
    std::vector<double> kavrelt;
    std::vector<double> copy;
    std::vector<double> libdeflate_and_copy;
    int64_t max_rss_kib;
};

// Small deterministic generator (xorshift64), so every run builds the same tree.
static uint64_t next_random(uint64_t* state)
{
    *state ^= *state << 13;
    *state ^= *state >> 7;
    *state ^= *state << 17;
    return *state;
}

// 5,000 files of 1 to 64 KiB cut from the corpus, in 10 x 5 directories.
// Every fifth is a ".hlp" whose ".gz" was stripped, as on a disc, so the run
// also renames; the rest end in ".gz".
static TreePair make_small_tree(const Corpus& corpus, const std::string& work_dir)
{
    TreePair tree{work_dir + "/small-gz", work_dir + "/small-plain", {}, 0};
    uint64_t state = 0x2545F4914F6CDD1Du;
    for (int i = 0; i < SMALL_FILE_COUNT; ++i) {
        const int directory = i / SMALL_FILES_PER_DIRECTORY;
        char relative_dir[32];
        snprintf(relative_dir, sizeof relative_dir, "d%02d/s%d", directory / SUBDIRECTORIES,
                 directory % SUBDIRECTORIES);
        const Bytes& source = corpus.sources[static_cast<size_t>(i) % corpus.sources.size()].data;
        const size_t size = SMALL_MIN_BYTES + next_random(&state) % (SMALL_MAX_BYTES - SMALL_MIN_BYTES + 1);
        const size_t offset = next_random(&state) % (source.size() - size + 1);
        const Bytes data(source.begin() + static_cast<ptrdiff_t>(offset),
                         source.begin() + static_cast<ptrdiff_t>(offset + size));
        char name[32];
        snprintf(name, sizeof name, i % 5 == 0 ? "f%04d.hlp" : "f%04d.txt", i);
        const std::string output = std::string(relative_dir) + "/" + name;
        const std::string compressed_name = i % 5 == 0 ? output : output + ".gz";
        make_directories_or_die(tree.gz_dir + "/" + relative_dir);
        make_directories_or_die(tree.plain_dir + "/" + relative_dir);
        write_file_or_die(tree.gz_dir + "/" + compressed_name, zlib_gzip(data, 6));
        write_file_or_die(tree.plain_dir + "/" + output, data);
        tree.outputs.push_back(output);
        tree.plain_bytes += size;
    }
    return tree;
}

static TreePair large_tree(const Corpus& corpus, const std::string& gz_dir, const std::string& plain_dir)
{
    TreePair tree{gz_dir, plain_dir, {}, 0};
    for (const CorpusFile& file : corpus.files) {
        tree.outputs.push_back(corpus.sources[file.source].name + "/" + file.name);
        tree.plain_bytes += corpus.sources[file.source].data.size();
    }
    return tree;
}

// Every output holds the original bytes, no compressed file is left, and
// the run wrote its completion marker.
static void check_converted_tree(const TreePair& tree, const std::string& run_dir)
{
    for (const std::string& output : tree.outputs) {
        if (read_file_or_die(run_dir + "/" + output) != read_file_or_die(tree.plain_dir + "/" + output)) {
            die("kavrelt's output differs from the original: " + output);
        }
        if (std::filesystem::exists(run_dir + "/" + output + ".gz")) die("kavrelt left " + output + ".gz");
    }
    if (!std::filesystem::exists(run_dir + "/filesok.orv")) die("kavrelt wrote no marker in " + run_dir);
}

static void time_kavrelt_tree(const std::string& kavrelt, const TreePair& tree, const std::string& run_dir,
                              bool check, TreeTimes* times)
{
    remove_tree_or_die(run_dir);
    copy_tree_or_die(tree.gz_dir, run_dir);
    flush_file_system();
    const ChildRun run = run_measured_or_die({kavrelt, run_dir}, run_dir + ".measure");
    if (check) check_converted_tree(tree, run_dir);
    remove_tree_or_die(run_dir);
    times->kavrelt.push_back(run.seconds);
    times->max_rss_kib = std::max(times->max_rss_kib, run.max_rss_kib);
}

static double time_copy_tree(const TreePair& tree, const std::string& run_dir)
{
    remove_tree_or_die(run_dir);
    flush_file_system();
    const double seconds = copy_tree_or_die(tree.plain_dir, run_dir);
    remove_tree_or_die(run_dir);
    return seconds;
}

static double time_libdeflate_corpus(const Corpus& corpus, libdeflate_decompressor* decompressor,
                                     std::vector<Bytes>* outputs)
{
    double seconds = 0;
    for (const CorpusFile& file : corpus.files) {
        seconds += time_libdeflate(decompressor, file.compressed, &(*outputs)[file.source]);
    }
    return seconds;
}

static void print_tree_row(const char* label, const TreePair& tree, const TreeTimes& times)
{
    const double megabytes = static_cast<double>(tree.plain_bytes) / 1e6;
    const double kavrelt = megabytes / median(times.kavrelt);
    const double copy = megabytes / median(times.copy);
    printf("%-24s %6zu %8.1f %10.1f %10.1f %9.2f", label, tree.outputs.size(), megabytes, kavrelt, copy,
           kavrelt / copy);
    if (times.libdeflate_and_copy.empty()) {
        printf(" %10s %9s", "-", "-");
    } else {
        const double libdeflate = megabytes / median(times.libdeflate_and_copy);
        printf(" %10.1f %9.2f", libdeflate, kavrelt / libdeflate);
    }
    printf(" %9lld\n", static_cast<long long>(times.max_rss_kib));
}

// Peak memory of kavrelt converting a tree that holds one file of `data`.
static int64_t peak_memory_kib(const std::string& kavrelt, const std::string& run_dir, const Bytes& data)
{
    remove_tree_or_die(run_dir);
    make_directories_or_die(run_dir);
    write_file_or_die(run_dir + "/only.bin.gz", zlib_gzip(data, 1));
    const ChildRun run = run_measured_or_die({kavrelt, run_dir}, run_dir + ".measure");
    remove_tree_or_die(run_dir);
    return run.max_rss_kib;
}

static void bench_memory(const std::string& kavrelt, const Corpus& corpus, const std::string& work_dir)
{
    fprintf(stderr, "bench: peak memory\n");
    const Bytes& text = corpus.sources[0].data;
    const Bytes small(text.begin(), text.begin() + 1024);
    Bytes large;
    for (int copy = 0; copy < LARGE_FILE_COPIES; ++copy) {
        for (const CorpusSource& source : corpus.sources) large.insert(large.end(), source.data.begin(), source.data.end());
    }
    const int64_t small_kib = peak_memory_kib(kavrelt, work_dir + "/memory", small);
    const int64_t large_kib = peak_memory_kib(kavrelt, work_dir + "/memory", large);
    printf("\n4. Peak memory (max RSS of the kavrelt process) converting a tree of one file\n\n");
    printf("%-28s %9lld KiB\n", "1 KiB decompressed", static_cast<long long>(small_kib));
    printf("%-28s %9lld KiB   (%.1f MiB decompressed)\n", "large file", static_cast<long long>(large_kib),
           static_cast<double>(large.size()) / (1 << 20));
}

void bench_trees(const std::string& kavrelt, const Corpus& corpus, const std::string& large_gz_dir,
                 const std::string& large_plain_dir, const std::string& work_dir)
{
    fprintf(stderr, "bench: making the tree of %d small files\n", SMALL_FILE_COUNT);
    const TreePair large = large_tree(corpus, large_gz_dir, large_plain_dir);
    const TreePair small = make_small_tree(corpus, work_dir);
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) die("libdeflate_alloc_decompressor failed");
    std::vector<Bytes> outputs;
    for (const CorpusSource& source : corpus.sources) outputs.emplace_back(source.data.size());

    const std::string run_dir = work_dir + "/run";
    TreeTimes large_times{{}, {}, {}, 0};
    TreeTimes small_times{{}, {}, {}, 0};
    for (int round = 0; round < TREE_ROUNDS; ++round) {
        fprintf(stderr, "bench: whole runs, round %d of %d\n", round + 1, TREE_ROUNDS);
        time_kavrelt_tree(kavrelt, large, run_dir, round == 0, &large_times);
        const double copy_seconds = time_copy_tree(large, run_dir);
        large_times.copy.push_back(copy_seconds);
        large_times.libdeflate_and_copy.push_back(copy_seconds + time_libdeflate_corpus(corpus, decompressor, &outputs));
        time_kavrelt_tree(kavrelt, small, run_dir, round == 0, &small_times);
        small_times.copy.push_back(time_copy_tree(small, run_dir));
    }
    libdeflate_free_decompressor(decompressor);

    printf("\n3. Whole runs of the kavrelt executable, MB/s of decompressed data, median of %d interleaved rounds\n",
           TREE_ROUNDS);
    printf("   each run on a fresh copy of the tree; cp -r copies the decompressed tree on the same file system;\n");
    printf("   ldf+cp = libdeflate's in-memory decoding of every file plus that copy\n\n");
    printf("%-24s %6s %8s %10s %10s %9s %10s %9s %9s\n", "tree", "files", "MB", "kavrelt", "cp -r", "k/cp",
           "ldf+cp", "k/ldf+cp", "RSS KiB");
    print_tree_row("(a) large corpus files", large, large_times);
    print_tree_row("(b) small files", small, small_times);
    bench_memory(kavrelt, corpus, work_dir);
}
