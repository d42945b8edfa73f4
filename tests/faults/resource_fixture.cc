// Inputs and measurements for scripts/resources:
//   resource_fixture big FILE MIB     a gzip file whose output is MIB MiB, made
//                                     chunk by chunk (never held in memory)
//   resource_fixture tree DIR COUNT   COUNT small files, 1000 per directory
//   resource_fixture rss PROGRAM ARG...
//                                     runs PROGRAM with stdout discarded and
//                                     prints "peak_rss_kib N status S"
// zlib only makes the inputs.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zlib_gzip.h"

namespace {

constexpr uint32_t TIME = 1300000000;
constexpr size_t CHUNK = 1 << 20;
constexpr size_t RANDOM_PART = CHUNK / 16;  // the rest compresses well
constexpr uint32_t FILES_PER_DIRECTORY = 1000;

uint64_t xorshift_state = 88172645463325252ull;

uint8_t next_random()
{
    xorshift_state ^= xorshift_state << 13;
    xorshift_state ^= xorshift_state >> 7;
    xorshift_state ^= xorshift_state << 17;
    return static_cast<uint8_t>(xorshift_state);
}

// Writes what zlib made of the data so far to `out`.
bool write_out(std::string* made, FILE* out)
{
    const bool ok = fwrite(made->data(), 1, made->size(), out) == made->size();
    made->clear();
    return ok;
}

int make_big(const char* path, long mib)
{
    FILE* out = fopen(path, "wb");
    ZlibGzipStream gzip;
    if (out == nullptr || mib <= 0 || !zlib_gzip_begin(&gzip, TIME, 6)) return 1;
    std::string made;
    std::string chunk(CHUNK, '\0');
    for (long i = 0; i < mib; ++i) {
        size_t pos = 0;
        for (uint32_t line = 0; pos < CHUNK - RANDOM_PART; ++line) {
            char text[96];
            const int length = snprintf(text, sizeof text, "chunk %ld line %u: all work and no play\n", i, line);
            const size_t count = std::min(static_cast<size_t>(length), CHUNK - RANDOM_PART - pos);
            memcpy(&chunk[pos], text, count);
            pos += count;
        }
        for (; pos < CHUNK; ++pos) chunk[pos] = static_cast<char>(next_random());
        if (!zlib_gzip_add(&gzip, chunk.data(), CHUNK, i + 1 == mib, &made) || !write_out(&made, out)) return 1;
    }
    return fclose(out) == 0 ? 0 : 1;
}

bool write_gzip(const std::string& path, const std::string& data)
{
    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    std::string made = zlib_gzip(data, TIME);
    const bool ok = !made.empty() && write_out(&made, out);
    return fclose(out) == 0 && ok;
}

// Mostly ".gz" files, every fifth a stripped ".hlp", every tenth plain text.
int make_tree(const char* root, long count)
{
    if (count <= 0) return 1;
    mkdir(root, 0755);
    for (long i = 0; i < count; ++i) {
        const std::string dir = std::string(root) + "/d" + std::to_string(i / FILES_PER_DIRECTORY);
        if (i % FILES_PER_DIRECTORY == 0) mkdir(dir.c_str(), 0755);
        std::string data;
        for (long line = 0; line < 1 + i % 40; ++line) data += "file " + std::to_string(i) + " line\n";
        const std::string stem = dir + "/f" + std::to_string(i);
        if (i % 10 == 9) {
            FILE* out = fopen((stem + ".txt").c_str(), "wb");
            if (out == nullptr || fwrite(data.data(), 1, data.size(), out) != data.size()) return 1;
            fclose(out);
        } else if (!write_gzip(stem + (i % 5 == 4 ? ".hlp" : ".gz"), data)) {
            return 1;
        }
    }
    return 0;
}

int measure(char** command)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, 1);
        execvp(command[0], command);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return 1;
    printf("peak_rss_kib %ld status %d\n", usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && strcmp(argv[1], "big") == 0) return make_big(argv[2], atol(argv[3]));
    if (argc == 4 && strcmp(argv[1], "tree") == 0) return make_tree(argv[2], atol(argv[3]));
    if (argc >= 3 && strcmp(argv[1], "rss") == 0) return measure(argv + 2);
    fprintf(stderr, "usage: resource_fixture big FILE MIB | tree DIR COUNT | rss PROGRAM ARG...\n");
    return 2;
}
