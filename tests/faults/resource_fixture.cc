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
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

bool start_gzip(z_stream* stream, int level)
{
    *stream = z_stream{};
    if (deflateInit2(stream, level, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
    static gz_header header{};
    header.time = TIME;
    header.os = 3;
    return deflateSetHeader(stream, &header) == Z_OK;
}

// Compresses `size` bytes at `data` into `out`; `flush` Z_FINISH ends it.
bool deflate_to(z_stream* stream, const uint8_t* data, size_t size, int flush, FILE* out)
{
    static uint8_t buffer[1 << 16];
    stream->next_in = const_cast<Bytef*>(data);
    stream->avail_in = static_cast<uInt>(size);
    int rc = Z_OK;
    do {
        stream->next_out = buffer;
        stream->avail_out = sizeof buffer;
        rc = deflate(stream, flush);
        if (rc == Z_STREAM_ERROR) return false;
        const size_t produced = sizeof buffer - stream->avail_out;
        if (fwrite(buffer, 1, produced, out) != produced) return false;
    } while (stream->avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    return true;
}

int make_big(const char* path, long mib)
{
    FILE* out = fopen(path, "wb");
    z_stream stream;
    if (out == nullptr || mib <= 0 || !start_gzip(&stream, 6)) return 1;
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
        const int flush = i + 1 == mib ? Z_FINISH : Z_NO_FLUSH;
        if (!deflate_to(&stream, reinterpret_cast<const uint8_t*>(chunk.data()), CHUNK, flush, out)) return 1;
    }
    deflateEnd(&stream);
    return fclose(out) == 0 ? 0 : 1;
}

bool write_gzip(const std::string& path, const std::string& data)
{
    FILE* out = fopen(path.c_str(), "wb");
    z_stream stream;
    if (out == nullptr || !start_gzip(&stream, 6)) return false;
    const bool ok = deflate_to(&stream, reinterpret_cast<const uint8_t*>(data.data()), data.size(), Z_FINISH, out);
    deflateEnd(&stream);
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
