// CRC-32 of RFC 1952, 8 (the gzip trailer's checksum).
#pragma once

#include <cstddef>
#include <cstdint>

// Continues the CRC-32 `crc` (0 for an empty message) over `length` bytes.
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t length);
