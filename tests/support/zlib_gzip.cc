// zlib's deflate with gzip framing (windowBits + 16) and a header of the
// caller's time; the operating system byte says Unix on every build, so
// that the bytes made are the same everywhere.
#include "zlib_gzip.h"

constexpr int GZIP_FRAMING = 16;
constexpr int OS_UNIX = 3;

static bool begin(ZlibGzipStream* gzip, uint32_t mtime, int level, int strategy, int window_bits, int mem_level,
                  const char* name)
{
    gzip->stream = z_stream{};
    gzip->header = gz_header{};
    if (deflateInit2(&gzip->stream, level, Z_DEFLATED, GZIP_FRAMING + window_bits, mem_level, strategy) != Z_OK) {
        return false;
    }
    gzip->header.time = mtime;
    gzip->header.os = OS_UNIX;
    gzip->header.name = reinterpret_cast<Bytef*>(const_cast<char*>(name));
    if (deflateSetHeader(&gzip->stream, &gzip->header) == Z_OK) return true;
    deflateEnd(&gzip->stream);
    return false;
}

bool zlib_gzip_begin(ZlibGzipStream* gzip, uint32_t mtime, int level)
{
    return begin(gzip, mtime, level, Z_DEFAULT_STRATEGY, 15, 8, nullptr);
}

bool zlib_gzip_add(ZlibGzipStream* gzip, const void* data, size_t size, bool last, std::string* out)
{
    z_stream& stream = gzip->stream;
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(data));
    stream.avail_in = static_cast<uInt>(size);
    const int flush = last ? Z_FINISH : Z_NO_FLUSH;
    int rc = Z_OK;
    do {
        Bytef buffer[1 << 16];
        stream.next_out = buffer;
        stream.avail_out = sizeof buffer;
        rc = deflate(&stream, flush);
        if (rc == Z_STREAM_ERROR) break;
        out->append(reinterpret_cast<const char*>(buffer), sizeof buffer - stream.avail_out);
    } while (stream.avail_out == 0 || (last && rc != Z_STREAM_END));
    if (last || rc == Z_STREAM_ERROR) deflateEnd(&stream);
    return rc != Z_STREAM_ERROR && (!last || rc == Z_STREAM_END);
}

std::string zlib_gzip(const std::string& data, uint32_t mtime, int level, int strategy, int window_bits,
                      int mem_level, const char* name)
{
    ZlibGzipStream gzip;
    if (!begin(&gzip, mtime, level, strategy, window_bits, mem_level, name)) return "";
    std::string out;
    return zlib_gzip_add(&gzip, data.data(), data.size(), true, &out) ? out : "";
}
