// The benchmark's entry: builds the corpus under a scratch directory and
// prints every table to stdout (progress goes to stderr).
//   kavrelt_bench SCRATCH_DIRECTORY [decode | disk]
// It times the kavrelt executable of its own build; "decode" runs only the
// decoding table, for quick comparisons while working on the decoder, and
// "disk" only the whole runs on the disk file system KAVRELT_BENCH_DISK_DIR.
#include "bench.h"

#include <cstdio>
#include <fstream>

// The processor's model name and the load when the run began: the numbers
// mean little without them on a shared machine.
static void print_machine()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            printf("cpu: %s\n", line.substr(line.find(':') + 2).c_str());
            break;
        }
    }
    std::ifstream loadavg("/proc/loadavg");
    std::string one, five, fifteen;
    loadavg >> one >> five >> fifteen;
    printf("load average at start: %s %s %s\n", one.c_str(), five.c_str(), fifteen.c_str());
}

static void print_corpus(const Corpus& corpus)
{
    printf("\ncorpus sources (each compressed with zlib 1, 6, 9 and libdeflate 12, the mix also with zopfli; gzip framing):\n");
    for (const CorpusSource& source : corpus.sources) {
        printf("  %-16s %6.2f MiB\n", source.name.c_str(), static_cast<double>(source.data.size()) / (1 << 20));
    }
}

int main(int argc, char** argv)
{
    const bool decode_only = argc == 3 && std::string(argv[2]) == "decode";
    const bool disk_only = argc == 3 && std::string(argv[2]) == "disk";
    const char* const disk_dir = getenv("KAVRELT_BENCH_DISK_DIR");
    if ((argc != 2 && !decode_only && !disk_only) || (disk_only && (disk_dir == nullptr || *disk_dir == '\0'))) {
        fprintf(stderr, "usage: kavrelt_bench SCRATCH_DIRECTORY [decode | disk]\n"
                        "       (disk needs KAVRELT_BENCH_DISK_DIR, a directory on a disk file system)\n");
        return 2;
    }
    const std::string kavrelt = KAVRELT_EXECUTABLE;
    const std::string work_dir = argv[1];
    const double start = now_seconds();
    printf("kavrelt benchmark\n");
    print_machine();
    const std::string large_gz_dir = work_dir + "/large-gz";
    const std::string large_plain_dir = work_dir + "/large-plain";
    const Corpus corpus = build_corpus(large_gz_dir, large_plain_dir);
    print_corpus(corpus);
    fflush(stdout);
    if (disk_only) {
        bench_disk_trees(kavrelt, corpus, work_dir, disk_dir);
        return 0;
    }
    bench_decoding(corpus, work_dir);
    fflush(stdout);
    if (decode_only) return 0;
    bench_crc32();
    fflush(stdout);
    bench_trees(kavrelt, corpus, large_gz_dir, large_plain_dir, work_dir);
    printf("\nbenchmark took %.0f s\n", now_seconds() - start);
    return 0;
}
