// Whole runs of the kavrelt executable over six trees: the large corpus
// files, 5,000 small files, a mix of both, one large file, 2,000
// directories of 3 small files, and a copy of this machine's
// /usr/share/doc. Each is timed with the default thread count and with
// KAVRELT_THREADS=1, against `cp -r` of the already decompressed tree (what
// the file system costs at least), libdeflate's in-memory decoding plus that
// copy, and the command-line peers igzip and libdeflate-gunzip doing the
// same job: `find` gives them every compressed file of the tree, in one
// process where the command line holds them. Then kavrelt's peak memory. KAVRELT_BENCH_BASELINE may
// name another build of kavrelt (say of the commit before a change): it is
// timed in the same rounds, and the report gives kavrelt's speed against it.
// Where KAVRELT_BENCH_DISK_DIR names a directory on a disk file system
// (scripts/bench mounts an ext4 image there), the small-file, mixed and
// many-directory trees are converted there too: kavrelt, whose run is
// durable by itself, against the peers followed by `sync -f`.
#include "bench.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <libdeflate.h>

#include "gzip_decoder.h"

// Rounds of whole runs, 3 unless KAVRELT_BENCH_ROUNDS says more: a machine
// shared with others may need more for medians that hold still.
static int rounds()
{
    const char* const value = getenv("KAVRELT_BENCH_ROUNDS");
    const int n = value != nullptr ? atoi(value) : 0;
    return n >= 3 ? n : 3;
}
constexpr int SMALL_FILE_COUNT = 5000;
constexpr int MIXED_SMALL_FILE_COUNT = 400;
constexpr int MIXED_LARGE_FILE_COUNT = 6;
constexpr int SMALL_FILES_PER_DIRECTORY = 100;
constexpr int SUBDIRECTORIES = 5;
constexpr size_t SMALL_MIN_BYTES = 1024;
constexpr size_t SMALL_MAX_BYTES = 65536;
constexpr int LARGE_FILE_COPIES = 2;
constexpr int MANY_DIRECTORIES = 2000;
constexpr int FILES_PER_SMALL_DIRECTORY = 3;
constexpr size_t TINY_MAX_BYTES = 8192;
constexpr size_t TREE_COUNT = 6;

// A compressed tree and its decompressed twin.
struct TreePair {
    std::string gz_dir;
    std::string plain_dir;
    std::string peer_dir;              // gz_dir with every compressed file named *.gz
    std::vector<std::string> outputs;  // decompressed files, relative to either root
    size_t plain_bytes;
    size_t compressed_files = 0;       // where `outputs` does not list them
};

// Measurements of one tree; every list holds one value per round.
struct TreeTimes {
    std::vector<double> kavrelt;
    std::vector<double> kavrelt_one_thread;
    std::vector<double> copy;
    std::vector<double> libdeflate_and_copy;
    std::vector<double> igzip;
    std::vector<double> libdeflate_gunzip;
    std::vector<double> baseline;
    std::vector<double> baseline_one_thread;
    std::vector<double> cpu;  // processor time of the default-thread runs
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

// File `i` of a tree of small files: up to `max_bytes` (at least 1 KiB) cut
// from the corpus, in `relative_dir` below gz_dir and plain_dir. Every fifth
// is a ".hlp" whose ".gz" was stripped, as on a disc, so the run also
// renames; the rest end in ".gz".
static void add_small_file(const Corpus& corpus, int i, size_t max_bytes, const std::string& relative_dir,
                           uint64_t* state, TreePair* tree)
{
    const Bytes& source = corpus.sources[static_cast<size_t>(i) % corpus.sources.size()].data;
    const size_t size = SMALL_MIN_BYTES + next_random(state) % (max_bytes - SMALL_MIN_BYTES + 1);
    const size_t offset = next_random(state) % (source.size() - size + 1);
    const Bytes data(source.begin() + static_cast<ptrdiff_t>(offset),
                     source.begin() + static_cast<ptrdiff_t>(offset + size));
    char name[32];
    snprintf(name, sizeof name, i % 5 == 0 ? "f%05d.hlp" : "f%05d.txt", i);
    const std::string output = relative_dir + "/" + name;
    const std::string compressed_name = i % 5 == 0 ? output : output + ".gz";
    make_directories_or_die(tree->gz_dir + "/" + relative_dir);
    make_directories_or_die(tree->plain_dir + "/" + relative_dir);
    write_file_or_die(tree->gz_dir + "/" + compressed_name, zlib_gzip(data, 6));
    write_file_or_die(tree->plain_dir + "/" + output, data);
    tree->outputs.push_back(output);
    tree->plain_bytes += size;
}

// `count` files of 1 to 64 KiB, 100 to a directory, in directories of five,
// under `prefix`.
static void add_small_files(const Corpus& corpus, int count, const std::string& prefix, TreePair* tree)
{
    uint64_t state = 0x2545F4914F6CDD1Du;
    for (int i = 0; i < count; ++i) {
        const int directory = i / SMALL_FILES_PER_DIRECTORY;
        char relative_dir[48];
        snprintf(relative_dir, sizeof relative_dir, "%sd%02d/s%d", prefix.c_str(), directory / SUBDIRECTORIES,
                 directory % SUBDIRECTORIES);
        add_small_file(corpus, i, SMALL_MAX_BYTES, relative_dir, &state, tree);
    }
}

// `directories` directories of `per_directory` files of 1 to 8 KiB, as a
// distribution's documentation tree has them (a few files per package),
// fifty to a parent directory.
static void add_small_directories(const Corpus& corpus, int directories, int per_directory, TreePair* tree)
{
    uint64_t state = 0x9E3779B97F4A7C15u;
    for (int d = 0; d < directories; ++d) {
        char relative_dir[48];
        snprintf(relative_dir, sizeof relative_dir, "p%02d/package%04d", d / 50, d);
        for (int f = 0; f < per_directory; ++f) {
            add_small_file(corpus, d * per_directory + f, TINY_MAX_BYTES, relative_dir, &state, tree);
        }
    }
}

// A copy of /usr/share/doc as it is (links included). Its decompressed twin
// is the copy converted by kavrelt itself (checked elsewhere against zlib,
// by scripts/real-tree); its size counts what kavrelt decoded.
static bool add_documentation_copy(const std::string& kavrelt, TreePair* tree)
{
    const std::string source = "/usr/share/doc";
    if (!std::filesystem::is_directory(source)) return false;
    remove_tree_or_die(tree->gz_dir);
    remove_tree_or_die(tree->plain_dir);
    copy_tree_as_is_or_die(source, tree->gz_dir);
    uint64_t compressed_bytes = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree->gz_dir)) {
        if (entry.is_regular_file() && !entry.is_symlink() && entry.path().extension() == ".gz") {
            compressed_bytes += entry.file_size();
            tree->compressed_files++;
        }
    }
    copy_tree_as_is_or_die(tree->gz_dir, tree->plain_dir);
    run_measured_or_die({kavrelt, tree->plain_dir}, tree->plain_dir + ".measure");
    uint64_t before = 0;
    uint64_t after = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree->gz_dir)) {
        if (entry.is_regular_file() && !entry.is_symlink()) before += entry.file_size();
    }
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree->plain_dir)) {
        if (entry.is_regular_file() && !entry.is_symlink()) after += entry.file_size();
    }
    std::filesystem::remove(tree->plain_dir + "/filesok.orv");
    // Every byte the tree grew by, plus the compressed bytes it lost, came
    // out of the decoder.
    tree->plain_bytes = after - before + compressed_bytes;
    return true;
}

// Corpus files `first` to `first + count - 1`, each in a directory named
// after its source, as build_corpus wrote them below its own directories.
static void add_large_files(const Corpus& corpus, size_t first, size_t count, const std::string& large_gz_dir,
                            TreePair* tree)
{
    for (size_t f = first; f < first + count && f < corpus.files.size(); ++f) {
        const CorpusFile& file = corpus.files[f];
        const Bytes& data = corpus.sources[file.source].data;
        const std::string output = corpus.sources[file.source].name + "/" + file.name;
        make_directories_or_die(tree->gz_dir + "/" + corpus.sources[file.source].name);
        make_directories_or_die(tree->plain_dir + "/" + corpus.sources[file.source].name);
        if (tree->gz_dir != large_gz_dir) write_file_or_die(tree->gz_dir + "/" + output + ".gz", file.compressed);
        write_file_or_die(tree->plain_dir + "/" + output, data);
        tree->outputs.push_back(output);
        tree->plain_bytes += data.size();
    }
}

// The peers only decompress files named *.gz: their copy of the tree has the
// stripped ".gz" put back, as kavrelt's run does by itself.
static void make_peer_copy(TreePair* tree)
{
    tree->peer_dir = tree->gz_dir + "-peer";
    remove_tree_or_die(tree->peer_dir);
    copy_tree_as_is_or_die(tree->gz_dir, tree->peer_dir);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(tree->peer_dir)) {
        const std::string path = entry.path().string();
        if (entry.is_regular_file() && !entry.is_symlink() && entry.path().extension() == ".hlp") {
            std::filesystem::rename(path, path + ".gz");
        }
    }
}

static TreePair new_tree(const std::string& work_dir, const std::string& name)
{
    TreePair tree{work_dir + "/" + name + "-gz", work_dir + "/" + name + "-plain", "", {}, 0};
    make_directories_or_die(tree.gz_dir);
    make_directories_or_die(tree.plain_dir);
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

// One run with KAVRELT_THREADS set to `threads`, or unset for the default.
static void time_kavrelt_tree(const std::string& kavrelt, const TreePair& tree, const std::string& run_dir,
                              const char* threads, bool check, std::vector<double>* seconds, int64_t* max_rss_kib,
                              std::vector<double>* cpu_seconds = nullptr)
{
    remove_tree_or_die(run_dir);
    copy_tree_as_is_or_die(tree.gz_dir, run_dir);
    flush_file_system();
    if (threads != nullptr) setenv("KAVRELT_THREADS", threads, 1);
    const ChildRun run = run_measured_or_die({kavrelt, run_dir}, run_dir + ".measure");
    unsetenv("KAVRELT_THREADS");
    if (check) check_converted_tree(tree, run_dir);
    remove_tree_or_die(run_dir);
    seconds->push_back(run.seconds);
    if (cpu_seconds != nullptr) cpu_seconds->push_back(run.cpu_seconds);
    *max_rss_kib = std::max(*max_rss_kib, run.max_rss_kib);
}

static double time_copy_tree(const TreePair& tree, const std::string& run_dir)
{
    remove_tree_or_die(run_dir);
    flush_file_system();
    const double seconds = copy_tree_as_is_or_die(tree.plain_dir, run_dir);
    remove_tree_or_die(run_dir);
    return seconds;
}

// A peer program given every compressed file of a fresh copy of the peer
// tree by `find`, as a user would run it; the time includes the find.
static double time_peer(const std::string& command, const TreePair& tree, const std::string& run_dir)
{
    remove_tree_or_die(run_dir);
    copy_tree_as_is_or_die(tree.peer_dir, run_dir);
    flush_file_system();
    const double seconds =
        run_or_die({"sh", "-c", "find \"$0\" -type f -name '*.gz' -exec " + command + " {} +", run_dir});
    remove_tree_or_die(run_dir);
    return seconds;
}

static double time_libdeflate_tree(const Corpus& corpus, const TreePair& tree,
                                   libdeflate_decompressor* decompressor)
{
    double seconds = 0;
    for (const CorpusFile& file : corpus.files) {
        const std::string output = corpus.sources[file.source].name + "/" + file.name;
        if (std::find(tree.outputs.begin(), tree.outputs.end(), output) == tree.outputs.end()) continue;
        Bytes out(corpus.sources[file.source].data.size());
        seconds += time_libdeflate(decompressor, file.compressed, &out);
    }
    return seconds;
}

static double speed(const TreePair& tree, const std::vector<double>& seconds)
{
    return static_cast<double>(tree.plain_bytes) / 1e6 / median(seconds);
}

static void print_tree_row(const char* label, const TreePair& tree, const TreeTimes& times)
{
    const double kavrelt = speed(tree, times.kavrelt);
    const double one = speed(tree, times.kavrelt_one_thread);
    const double copy = speed(tree, times.copy);
    const double igzip = speed(tree, times.igzip);
    const double gunzip = speed(tree, times.libdeflate_gunzip);
    printf("%-20s %5zu %7.1f %8.1f %8.1f %8.1f %8.1f %8.1f", label,
           tree.compressed_files != 0 ? tree.compressed_files : tree.outputs.size(),
           static_cast<double>(tree.plain_bytes) / 1e6, kavrelt, one, copy, igzip, gunzip);
    if (times.libdeflate_and_copy.empty()) {
        printf(" %8s", "-");
    } else {
        printf(" %8.1f", speed(tree, times.libdeflate_and_copy));
    }
    printf(" %6.2f %6.2f", kavrelt / copy, one / copy);
    if (times.libdeflate_and_copy.empty()) {
        printf(" %7s", "-");
    } else {
        printf(" %7.2f", kavrelt / speed(tree, times.libdeflate_and_copy));
    }
    printf(" %7.2f %7.2f %8lld %5.2f\n", kavrelt / igzip, kavrelt / gunzip, static_cast<long long>(times.max_rss_kib),
           median(times.cpu) / median(times.kavrelt));
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

static Bytes all_sources(const Corpus& corpus, int copies)
{
    Bytes all;
    for (int copy = 0; copy < copies; ++copy) {
        for (const CorpusSource& source : corpus.sources) all.insert(all.end(), source.data.begin(), source.data.end());
    }
    return all;
}

static void bench_memory(const std::string& kavrelt, const Corpus& corpus, const std::string& work_dir)
{
    fprintf(stderr, "bench: peak memory\n");
    const Bytes& text = corpus.sources[0].data;
    const Bytes small(text.begin(), text.begin() + 1024);
    const Bytes large = all_sources(corpus, LARGE_FILE_COPIES);
    const int64_t small_kib = peak_memory_kib(kavrelt, work_dir + "/memory", small);
    const int64_t large_kib = peak_memory_kib(kavrelt, work_dir + "/memory", large);
    printf("\n5. Peak memory (max RSS of the kavrelt process) converting a tree of one file\n\n");
    printf("%-28s %9lld KiB\n", "1 KiB decompressed", static_cast<long long>(small_kib));
    printf("%-28s %9lld KiB   (%.1f MiB decompressed)\n", "large file", static_cast<long long>(large_kib),
           static_cast<double>(large.size()) / (1 << 20));
}

// A run on the disk file system, from a fresh copy whose writing is over
// before the clock starts: `command` is given the tree's root as $0.
static double time_on_disk(const std::string& command, const std::string& from, const std::string& run_dir)
{
    remove_tree_or_die(run_dir);
    copy_tree_as_is_or_die(from, run_dir);
    flush_file_system();
    const double seconds = run_or_die({"sh", "-c", command, run_dir});
    remove_tree_or_die(run_dir);
    flush_file_system();
    return seconds;
}

struct DiskTree {
    const char* label;
    const TreePair* tree;
};

static void bench_disk(const std::string& kavrelt, const std::vector<DiskTree>& trees, const std::string& disk_dir)
{
    const char* const baseline = getenv("KAVRELT_BENCH_BASELINE");
    const std::string run_dir = disk_dir + "/run";
    // $0 is the tree's root; the peers get every compressed file from find.
    const auto run_of = [](const std::string& program) { return "\"" + program + "\" \"$0\""; };
    const std::string durable_kavrelt = run_of(kavrelt);
    const std::string then_sync = " && sync -f \"$0\"";
    const auto peer = [](const char* program) {
        return std::string("find \"$0\" -type f -name '*.gz' -exec ") + program + " {} +";
    };
    printf("\n6. Whole runs on a disk file system (%s), MB/s, median of %d interleaved rounds, each on a fresh\n",
           disk_dir.c_str(), rounds());
    printf("   copy whose writing reached the disk first: kavrelt's run is durable by itself (nothing is deleted\n");
    printf("   before its output is on disk); each peer's run is followed by `sync -f` on the tree\n\n");
    printf("%-20s %8s %8s %8s %8s %7s %7s", "tree", "kavrelt", "k 1thr", "igzip+s", "ldfgz+s", "k/igz", "k/ldgz");
    printf(baseline != nullptr ? " %8s %8s %6s\n" : "\n", "base", "base+s", "k/b+s");
    for (const DiskTree& disk_tree : trees) {
        fprintf(stderr, "bench: on disk, %s\n", disk_tree.label);
        const TreePair& tree = *disk_tree.tree;
        std::vector<double> kavrelt_seconds, one_thread, igzip, gunzip, base, base_synced;
        for (int round = 0; round < rounds(); ++round) {
            kavrelt_seconds.push_back(time_on_disk(durable_kavrelt, tree.gz_dir, run_dir));
            setenv("KAVRELT_THREADS", "1", 1);
            one_thread.push_back(time_on_disk(durable_kavrelt, tree.gz_dir, run_dir));
            unsetenv("KAVRELT_THREADS");
            igzip.push_back(time_on_disk(peer("igzip -d --rm -q") + then_sync, tree.peer_dir, run_dir));
            gunzip.push_back(time_on_disk(peer("libdeflate-gunzip") + then_sync, tree.peer_dir, run_dir));
            if (baseline != nullptr) {
                const std::string base_run = run_of(baseline);
                base.push_back(time_on_disk(base_run, tree.gz_dir, run_dir));
                base_synced.push_back(time_on_disk(base_run + then_sync, tree.gz_dir, run_dir));
            }
        }
        const double k = speed(tree, kavrelt_seconds);
        printf("%-20s %8.1f %8.1f %8.1f %8.1f %7.2f %7.2f", disk_tree.label, k, speed(tree, one_thread),
               speed(tree, igzip), speed(tree, gunzip), k / speed(tree, igzip), k / speed(tree, gunzip));
        if (baseline != nullptr) {
            printf(" %8.1f %8.1f %6.2f\n", speed(tree, base), speed(tree, base_synced), k / speed(tree, base_synced));
        } else {
            printf("\n");
        }
    }
}

// Each large corpus file alone in a tree: kavrelt's whole run (default
// thread count) against `igzip -d --rm` on the same file and against
// unzip_stream decoding it into /dev/null in this process; median of the
// rounds, then the geometric means of the ratios.
static void bench_each_large_file(const std::string& kavrelt, const Corpus& corpus, const std::string& work_dir)
{
    fprintf(stderr, "bench: each large file alone\n");
    const std::string run_dir = work_dir + "/run";
    std::vector<double> vs_igzip;
    std::vector<double> vs_unzip;
    printf("\n   Each large file alone, MB/s, median of %d interleaved rounds: kavrelt's whole run (default\n",
           rounds());
    printf("   thread count), igzip -d --rm on the file, unzip_stream into /dev/null in memory\n\n");
    printf("%-28s %8s %8s %8s %7s %7s\n", "file", "kavrelt", "igzip", "unzip", "k/igz", "k/unzip");
    for (size_t f = 0; f < corpus.files.size(); ++f) {
        const CorpusFile& file = corpus.files[f];
        TreePair tree = new_tree(work_dir, "each");
        write_file_or_die(tree.gz_dir + "/" + file.name + ".gz", file.compressed);
        tree.plain_bytes = corpus.sources[file.source].data.size();
        make_peer_copy(&tree);
        std::vector<double> kavrelt_seconds;
        std::vector<double> igzip_seconds;
        std::vector<double> unzip_seconds;
        int64_t unused_kib = 0;
        for (int round = 0; round < rounds(); ++round) {
            time_kavrelt_tree(kavrelt, tree, run_dir, nullptr, false, &kavrelt_seconds, &unused_kib);
            igzip_seconds.push_back(time_peer("igzip -d --rm -q", tree, run_dir));
            unzip_seconds.push_back(time_kavrelt(file.gz_path, "/dev/null"));
        }
        const double k = speed(tree, kavrelt_seconds);
        const double igzip = speed(tree, igzip_seconds);
        const double unzip = speed(tree, unzip_seconds);
        vs_igzip.push_back(k / igzip);
        vs_unzip.push_back(k / unzip);
        printf("%-28s %8.1f %8.1f %8.1f %7.2f %7.2f\n", file.name.c_str(), k, igzip, unzip, k / igzip, k / unzip);
        remove_tree_or_die(tree.gz_dir);
        remove_tree_or_die(tree.plain_dir);
        remove_tree_or_die(tree.peer_dir);
    }
    printf("%-28s %8s %8s %8s %7.2f %7.2f\n", "geometric mean", "", "", "", geometric_mean(vs_igzip),
           geometric_mean(vs_unzip));
    fflush(stdout);
}

// The trees of small files, of large and small files mixed, and of many
// directories, below work_dir.
static void make_small_file_trees(const Corpus& corpus, const std::string& work_dir, TreePair* small,
                                  TreePair* mixed, TreePair* directories)
{
    *small = new_tree(work_dir, "small");
    add_small_files(corpus, SMALL_FILE_COUNT, "", small);
    *mixed = new_tree(work_dir, "mixed");
    // Large files of every source and level, not only the first source's.
    for (size_t f = 0; f < MIXED_LARGE_FILE_COUNT; ++f) add_large_files(corpus, f * 3 % corpus.files.size(), 1, "", mixed);
    add_small_files(corpus, MIXED_SMALL_FILE_COUNT, "small/", mixed);
    *directories = new_tree(work_dir, "directories");
    add_small_directories(corpus, MANY_DIRECTORIES, FILES_PER_SMALL_DIRECTORY, directories);
}

void bench_disk_trees(const std::string& kavrelt, const Corpus& corpus, const std::string& work_dir,
                      const std::string& disk_dir)
{
    fprintf(stderr, "bench: making the trees\n");
    TreePair small, mixed, directories;
    make_small_file_trees(corpus, work_dir, &small, &mixed, &directories);
    for (TreePair* tree : {&small, &mixed, &directories}) make_peer_copy(tree);
    bench_disk(kavrelt, {{"(b) small files", &small}, {"(c) mixed", &mixed}, {"(e) 2000 directories", &directories}},
               disk_dir);
}

void bench_trees(const std::string& kavrelt, const Corpus& corpus, const std::string& large_gz_dir,
                 const std::string& large_plain_dir, const std::string& work_dir)
{
    fprintf(stderr, "bench: making the trees\n");
    TreePair large{large_gz_dir, large_plain_dir, "", {}, 0};
    add_large_files(corpus, 0, corpus.files.size(), large_gz_dir, &large);
    TreePair small, mixed, directories;
    make_small_file_trees(corpus, work_dir, &small, &mixed, &directories);
    TreePair one = new_tree(work_dir, "one");
    Bytes one_data = all_sources(corpus, 1);
    write_file_or_die(one.gz_dir + "/all.bin.gz", zlib_gzip(one_data, 6));
    write_file_or_die(one.plain_dir + "/all.bin", one_data);
    one.outputs.push_back("all.bin");
    one.plain_bytes = one_data.size();
    TreePair doc = new_tree(work_dir, "doc");
    const bool have_doc = add_documentation_copy(kavrelt, &doc);
    TreePair* const trees[TREE_COUNT] = {&large, &small, &mixed, &one, &directories, &doc};
    const char* const labels[TREE_COUNT] = {"(a) large files", "(b) small files", "(c) mixed",
                                            "(d) one large file", "(e) 2000 directories", "(f) /usr/share/doc"};
    const size_t tree_count = have_doc ? TREE_COUNT : TREE_COUNT - 1;
    for (size_t t = 0; t < tree_count; ++t) make_peer_copy(trees[t]);

    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    if (decompressor == nullptr) die("libdeflate_alloc_decompressor failed");
    const std::string run_dir = work_dir + "/run";
    const char* const baseline = getenv("KAVRELT_BENCH_BASELINE");
    TreeTimes times[TREE_COUNT] = {};
    std::vector<double> unzip_seconds;
    for (int round = 0; round < rounds(); ++round) {
        fprintf(stderr, "bench: whole runs, round %d of %d\n", round + 1, rounds());
        for (size_t t = 0; t < tree_count; ++t) {
            TreePair& tree = *trees[t];
            TreeTimes& tt = times[t];
            time_kavrelt_tree(kavrelt, tree, run_dir, nullptr, round == 0, &tt.kavrelt, &tt.max_rss_kib, &tt.cpu);
            time_kavrelt_tree(kavrelt, tree, run_dir, "1", round == 0, &tt.kavrelt_one_thread, &tt.max_rss_kib);
            const double copy_seconds = time_copy_tree(tree, run_dir);
            tt.copy.push_back(copy_seconds);
            if (t != 1 && t < 4) {
                const double decode_seconds =
                    t == 3 ? time_libdeflate(decompressor, read_file_or_die(one.gz_dir + "/all.bin.gz"), &one_data)
                           : time_libdeflate_tree(corpus, tree, decompressor);
                tt.libdeflate_and_copy.push_back(copy_seconds + decode_seconds);
            }
            if (baseline != nullptr) {
                int64_t unused_kib = 0;
                time_kavrelt_tree(baseline, tree, run_dir, nullptr, round == 0, &tt.baseline, &unused_kib);
                time_kavrelt_tree(baseline, tree, run_dir, "1", round == 0, &tt.baseline_one_thread, &unused_kib);
            }
            tt.igzip.push_back(time_peer("igzip -d --rm -q", tree, run_dir));
            tt.libdeflate_gunzip.push_back(time_peer("libdeflate-gunzip", tree, run_dir));
        }
        unzip_seconds.push_back(time_kavrelt(one.gz_dir + "/all.bin.gz", "/dev/null"));
    }
    libdeflate_free_decompressor(decompressor);

    printf("\n3. Whole runs, MB/s of decompressed data, median of %d interleaved rounds, each on a fresh copy\n",
           rounds());
    printf("   kavrelt: default thread count (%s) / KAVRELT_THREADS=1; cp -r copies the decompressed tree on\n",
           "the processors it may use, at most 16");
    printf("   the same file system; igzip -d --rm and libdeflate-gunzip get every file of the tree (with the\n");
    printf("   stripped .gz put back) from find -exec {} +; ldf+cp = libdeflate's in-memory decoding plus cp -r;\n");
    printf("   cores = kavrelt's processor time (user + system) over its wall time, default thread count\n\n");
    printf("%-20s %5s %7s %8s %8s %8s %8s %8s %8s %6s %6s %7s %7s %7s %8s %5s\n", "tree", "files", "MB", "kavrelt",
           "k 1thr", "cp -r", "igzip", "ldf-gz", "ldf+cp", "k/cp", "k1/cp", "k/l+cp", "k/igz", "k/ldgz", "RSS KiB",
           "cores");
    for (size_t t = 0; t < tree_count; ++t) print_tree_row(labels[t], *trees[t], times[t]);
    if (baseline != nullptr) {
        printf("\n   Against the baseline %s, same rounds: speed ratio, default thread count / 1 thread\n", baseline);
        for (size_t t = 0; t < tree_count; ++t) {
            printf("%-20s %7.3f %7.3f\n", labels[t], speed(*trees[t], times[t].kavrelt) / speed(*trees[t], times[t].baseline),
                   speed(*trees[t], times[t].kavrelt_one_thread) / speed(*trees[t], times[t].baseline_one_thread));
        }
    }
    printf("\n4. One large file (%.1f MB): whole run / unzip_stream into /dev/null: %.2f (with 1 thread: %.2f)\n",
           static_cast<double>(one.plain_bytes) / 1e6, speed(one, times[3].kavrelt) / speed(one, unzip_seconds),
           speed(one, times[3].kavrelt_one_thread) / speed(one, unzip_seconds));
    fflush(stdout);
    bench_each_large_file(kavrelt, corpus, work_dir);
    bench_memory(kavrelt, corpus, work_dir);
    const char* const disk_dir = getenv("KAVRELT_BENCH_DISK_DIR");
    if (disk_dir != nullptr && *disk_dir != '\0') {
        bench_disk(kavrelt, {{"(b) small files", &small}, {"(c) mixed", &mixed}, {"(e) 2000 directories", &directories}},
                   disk_dir);
    }
}
