#include "Compression.hpp"

#include <lz4frame.h>
#include <zstd.h>

#include <memory>
#include <stdexcept>

namespace qara::nimb::mcap {

namespace {

// Fast levels: a recorder compresses while samples keep arriving.
constexpr int kZstdLevel = 1;

void zstdDecompress(const uint8_t* data, std::size_t size, std::string& out)
{
    const std::size_t made = ZSTD_decompress(out.data(), out.size(), data, size);
    if (ZSTD_isError(made))
    {
        throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(made));
    }
    if (made != out.size())
    {
        throw std::runtime_error("zstd: " + std::to_string(made) + " bytes instead of " + std::to_string(out.size()));
    }
}

void lz4Decompress(const uint8_t* data, std::size_t size, std::string& out)
{
    LZ4F_dctx* raw = nullptr;
    if (LZ4F_isError(LZ4F_createDecompressionContext(&raw, LZ4F_VERSION)))
    {
        throw std::runtime_error("lz4: no decompression context");
    }
    const std::unique_ptr<LZ4F_dctx, decltype(&LZ4F_freeDecompressionContext)> context(raw,
                                                                                       &LZ4F_freeDecompressionContext);
    // The whole frame in one call: the output has room for exactly what the chunk says it holds.
    std::size_t made = out.size();
    std::size_t used = size;
    const std::size_t hint = LZ4F_decompress(context.get(), out.data(), &made, data, &used, nullptr);
    if (LZ4F_isError(hint))
    {
        throw std::runtime_error(std::string("lz4: ") + LZ4F_getErrorName(hint));
    }
    if (hint != 0)
    {
        throw std::runtime_error(used == size ? "lz4: frame ends early" : "lz4: frame larger than its chunk says");
    }
    if (made != out.size() || used != size)
    {
        throw std::runtime_error("lz4: " + std::to_string(made) + " bytes instead of " + std::to_string(out.size()));
    }
}

}  // namespace

std::string compress(Compression compression, const std::string& records)
{
    std::string out;
    std::size_t size = 0;
    switch (compression)
    {
        case Compression::Zstd:
            out.resize(ZSTD_compressBound(records.size()));
            size = ZSTD_compress(out.data(), out.size(), records.data(), records.size(), kZstdLevel);
            if (ZSTD_isError(size))
            {
                throw std::runtime_error(std::string("zstd: ") + ZSTD_getErrorName(size));
            }
            break;
        case Compression::Lz4:
        {
            LZ4F_preferences_t preferences{};
            preferences.frameInfo.contentSize = records.size();
            out.resize(LZ4F_compressFrameBound(records.size(), &preferences));
            size = LZ4F_compressFrame(out.data(), out.size(), records.data(), records.size(), &preferences);
            if (LZ4F_isError(size))
            {
                throw std::runtime_error(std::string("lz4: ") + LZ4F_getErrorName(size));
            }
            break;
        }
        case Compression::None:
            return records;
    }
    out.resize(size);
    return out;
}

void decompress(Compression compression, const uint8_t* data, std::size_t size, uint64_t uncompressedSize,
                std::string& out)
{
    out.resize(static_cast<std::size_t>(uncompressedSize));
    switch (compression)
    {
        case Compression::Zstd:
            zstdDecompress(data, size, out);
            return;
        case Compression::Lz4:
            lz4Decompress(data, size, out);
            return;
        case Compression::None:
            break;
    }
    if (size != uncompressedSize)
    {
        throw std::runtime_error("uncompressed chunk of " + std::to_string(size) + " bytes says it has " +
                                 std::to_string(uncompressedSize));
    }
    out.assign(reinterpret_cast<const char*>(data), size);
}

}  // namespace qara::nimb::mcap
