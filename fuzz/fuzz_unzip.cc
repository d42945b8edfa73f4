// Fuzz target: arbitrary bytes as a gzip file, decoded by unzip_stream and
// held against zlib (see checks.cc for what must agree).
#include <cstddef>
#include <cstdint>

#include "oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    check_decoder(data, size);
    return 0;
}
