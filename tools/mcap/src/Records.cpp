#include "Wire.hpp"

#include <zlib.h>

#include <limits>

namespace qara::nimb::mcap {

std::string compressionName(Compression compression)
{
    switch (compression)
    {
        case Compression::Zstd:
            return "zstd";
        case Compression::Lz4:
            return "lz4";
        case Compression::None:
            break;
    }
    return "";
}

Compression compressionFromName(const std::string& name)
{
    for (const Compression c : {Compression::None, Compression::Zstd, Compression::Lz4})
    {
        if (compressionName(c) == name)
        {
            return c;
        }
    }
    throw std::invalid_argument("unknown compression '" + name + "' (known: zstd, lz4, none)");
}

FormatError::FormatError(uint64_t offset, const std::string& what)
    : std::runtime_error("offset " + std::to_string(offset) + ": " + what), m_offset(offset), m_reason(what)
{
}

namespace wire {

const uint8_t* In::take(uint64_t size)
{
    if (size > left())
    {
        throw FormatError(offset(), "field of " + std::to_string(size) + " bytes runs past the end of its record (" +
                                        std::to_string(left()) + " bytes left)");
    }
    const uint8_t* start = m_data + m_position;
    m_position += static_cast<std::size_t>(size);
    return start;
}

std::string record(Opcode opcode, const std::string& content)
{
    Out out;
    out(static_cast<uint8_t>(opcode), static_cast<uint64_t>(content.size()));
    out.bytes() += content;
    return std::move(out.bytes());
}

uint32_t crc32(uint32_t crc, const void* data, std::size_t size)
{
    // zlib takes at most uInt bytes at a time.
    const auto* bytes = static_cast<const Bytef*>(data);
    uLong value = crc;
    while (size > 0)
    {
        const std::size_t step = std::min<std::size_t>(size, std::numeric_limits<uInt>::max());
        value = ::crc32(value, bytes, static_cast<uInt>(step));
        bytes += step;
        size -= step;
    }
    return static_cast<uint32_t>(value);
}

}  // namespace wire

}  // namespace qara::nimb::mcap
