// The trees the fault tests break runs on: a small one with one file of each
// kind, for trying every single call, and one of about 200 files, for kills
// spread over a long run.
#include "trees.h"

#include "harness.h"

namespace {

constexpr uint32_t TIME = 1300000000;  // 2011-03-13
constexpr uint32_t FILE_MODE = 0644;

// Text that compresses well, different for each seed.
std::string text_of(size_t size, uint32_t seed)
{
    std::string text;
    for (uint32_t line = 0; text.size() < size; ++line) {
        text += "line " + std::to_string(line) + " of file " + std::to_string(seed) + ": the quick brown fox\n";
    }
    text.resize(size);
    return text;
}

TreeFile compressed(const std::string& path, const std::string& decoded, uint32_t mtime, uint32_t mode = FILE_MODE)
{
    return {path, zlib_gzip(decoded, mtime), mtime, mode, true, decoded};
}

TreeFile plain(const std::string& path, const std::string& bytes, uint32_t mtime)
{
    return {path, bytes, mtime, FILE_MODE, false, ""};
}

}  // namespace

std::vector<TreeFile> sample_tree()
{
    // Several output areas of windows and several reads of input.
    const std::string big = text_of(100000, 1) + random_bytes(300000, 2) + text_of(40000, 3);
    // The first member fills the first read exactly, so the look for a
    // second member starts a new read.
    const std::string first = random_bytes(INPUT_CHUNK_BYTES - 10 - 2 * 5 - 8, 4);
    const std::string second = text_of(3000, 5);
    TreeFile multi = {"multi.gz", stored_member(first, TIME + 5) + zlib_gzip(second, TIME + 6),
                      TIME + 5, FILE_MODE, true, first + second};
    return {
        compressed("a.gz", text_of(500, 6), TIME + 1, 0640),
        compressed("big.gz", big, TIME + 2),
        compressed("help.hlp", text_of(5000, 7), TIME + 3),
        compressed("data.tar", text_of(9000, 8), TIME + 4, 0600),
        multi,
        plain("plain.hlp", "plain help text\n", TIME + 10),
        plain("empty.tar", "", TIME + 11),
        plain("notes.txt", zlib_gzip("a gzip file under another suffix\n", TIME), TIME + 12),
        compressed("sub/b.gz", text_of(2000, 9), TIME + 20),
        compressed("sub/manual.hlp", text_of(40000, 10), TIME + 21),
        plain("sub/readme", "no suffix\n", TIME + 22),
        compressed("sub/deeper/c.gz", text_of(700, 11), TIME + 30),
        compressed("sub/deeper/d.tar", text_of(1200, 12), TIME + 31),
        compressed("sub/deeper/empty.gz", "", TIME + 32),
    };
}

std::vector<TreeFile> crash_tree()
{
    static const char* const DIRECTORIES[] = {"", "d0/", "d1/", "d1/e/", "d2/"};
    std::vector<TreeFile> files;
    for (uint32_t i = 0; i < CRASH_TREE_FILES; ++i) {
        const std::string stem = std::string(DIRECTORIES[i % 5]) + "f" + std::to_string(i);
        const uint32_t mtime = TIME + 100 * i;
        // Two files of several windows, so kills land inside long outputs.
        const size_t size = i % 97 == 3 ? 150000 : (i * 37) % 3000;
        const std::string decoded = text_of(size, i) + random_bytes(i % 7 == 0 ? 500 : 0, i);
        switch (i % 10) {
        case 6: files.push_back(compressed(stem + ".hlp", decoded, mtime)); break;
        case 7: files.push_back(compressed(stem + ".tar", decoded, mtime)); break;
        case 8: files.push_back(plain(stem + ".txt", decoded, mtime)); break;
        case 9: files.push_back(plain(stem + ".hlp", decoded, mtime)); break;
        default: files.push_back(compressed(stem + ".gz", decoded, mtime)); break;
        }
    }
    // Two members in one file.
    const std::string tail = text_of(800, 999);
    TreeFile& last = files[0];
    last.bytes += zlib_gzip(tail, TIME);
    last.decoded += tail;
    return files;
}
