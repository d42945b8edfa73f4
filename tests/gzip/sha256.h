// SHA-256 (FIPS 180-4) of a byte string, as lowercase hex, for comparing
// decoded output with the published digests of the peer test vectors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::string sha256_hex(const std::vector<uint8_t>& data);
