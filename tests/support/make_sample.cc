// Writes the sample disc tree of sample/disc: gzip files made with zlib, one
// kept as ".gz", two with the suffix stripped (".hlp", ".tar"), and plain
// files that a run leaves alone. Fixed header times make the bytes
// reproducible. Usage: make_sample DIRECTORY (which must exist).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "zlib_gzip.h"

constexpr uint32_t SAMPLE_MTIME = 1262304000;  // 2010-01-01 00:00:00 UTC

// Level 9, the stored name in the header, as the disc's files have them.
static std::string gzip_bytes(const std::string& data, uint32_t mtime, const char* stored_name)
{
    return zlib_gzip(data, mtime, 9, Z_DEFAULT_STRATEGY, 15, 8, stored_name);
}

// A one-file ustar archive, so the restored ".tar" is a real archive.
static std::string tar_bytes(const char* name, const std::string& content, uint32_t mtime)
{
    char header[512] = {};
    snprintf(header, 100, "%s", name);
    snprintf(header + 100, 8, "%07o", 0644);
    snprintf(header + 108, 8, "%07o", 0);
    snprintf(header + 116, 8, "%07o", 0);
    snprintf(header + 124, 12, "%011o", static_cast<unsigned>(content.size()));
    snprintf(header + 136, 12, "%011o", mtime);
    memset(header + 148, ' ', 8);
    header[156] = '0';
    memcpy(header + 257, "ustar", 6);
    memcpy(header + 263, "00", 2);
    unsigned checksum = 0;
    for (unsigned char c : header) checksum += c;
    snprintf(header + 148, 8, "%06o", checksum);
    std::string archive(header, sizeof header);
    archive += content;
    archive.append((512 - content.size() % 512) % 512, '\0');
    archive.append(1024, '\0');
    return archive;
}

static bool write_file(const std::string& path, const std::string& bytes)
{
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && ok;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: make_sample DIRECTORY\n");
        return 2;
    }
    const std::string root = argv[1];
    const std::string manual =
        "Installation manual\n\nCopy the disc to a directory of your choice and run the\n"
        "converter on it. Every compressed file is restored in place.\n";
    const std::string help = "Help topics\n\n1. Starting\n2. Options\n3. Messages\n";
    const std::string readme = "This file is plain text and stays as it is.\n";
    std::string table;
    for (int i = 1; i <= 200; ++i) table += "row " + std::to_string(i) + ": " + std::to_string(i * i) + "\n";
    const std::string guide = "Guide\n\nThe guide lives one level below the top of the disc.\n";

    bool ok = mkdir((root + "/docs").c_str(), 0755) == 0;
    ok = ok && write_file(root + "/manual.txt.gz", gzip_bytes(manual, SAMPLE_MTIME, "manual.txt"));
    ok = ok && write_file(root + "/help.hlp", gzip_bytes(help, SAMPLE_MTIME + 60, "help.hlp"));
    ok = ok && write_file(root + "/tables.tar",
                          gzip_bytes(tar_bytes("tables.txt", table, SAMPLE_MTIME), SAMPLE_MTIME + 120, "tables.tar"));
    ok = ok && write_file(root + "/notes.hlp", "These notes were never compressed.\n");
    ok = ok && write_file(root + "/readme.txt", readme);
    ok = ok && write_file(root + "/docs/guide.hlp", gzip_bytes(guide, SAMPLE_MTIME + 180, "guide.hlp"));
    if (!ok) {
        fprintf(stderr, "make_sample: could not write the tree below %s\n", argv[1]);
        return 1;
    }
    return 0;
}
