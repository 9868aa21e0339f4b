#pragma once

#include <qara/nimb/mcap/Records.hpp>

#include <cstdint>
#include <string>

namespace qara::nimb::mcap {

// The chunk records compressed: a zstd frame, an LZ4 frame, or the bytes as they are.
std::string compress(Compression compression, const std::string& records);

// Decompresses exactly `uncompressedSize` bytes into `out`; std::runtime_error saying why when the data is
// not a valid frame of that size.
void decompress(Compression compression, const uint8_t* data, std::size_t size, uint64_t uncompressedSize,
                std::string& out);

}  // namespace qara::nimb::mcap
