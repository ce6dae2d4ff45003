#include "wire/header.h"

#include <algorithm>

namespace recursor {

std::uint16_t readU16(std::span<const std::uint8_t> bytes)
{
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

std::uint32_t readU32(std::span<const std::uint8_t> bytes)
{
    return (std::uint32_t { bytes[0] } << 24) | (std::uint32_t { bytes[1] } << 16)
        | (std::uint32_t { bytes[2] } << 8) | bytes[3];
}

Header Header::fromSlice(std::span<const std::uint8_t> slice)
{
    Header h;
    std::copy_n(slice.begin(), size, h.bytes.begin());
    return h;
}

void Header::setId(std::uint16_t id)
{
    bytes[0] = static_cast<std::uint8_t>(id >> 8);
    bytes[1] = static_cast<std::uint8_t>(id);
}

void setHeaderBit(std::span<std::uint8_t> header, std::size_t index, std::uint8_t mask, bool val)
{
    header[index] = val ? static_cast<std::uint8_t>(header[index] | mask)
                        : static_cast<std::uint8_t>(header[index] & ~mask);
}

void setHeaderRcode(std::span<std::uint8_t> header, RCode rc)
{
    header[3] = static_cast<std::uint8_t>((header[3] & 0xF0) | (static_cast<std::uint8_t>(rc) & 0x0F));
}

WireResult<RecordHeader> RecordHeader::fromSlice(std::span<const std::uint8_t> slice)
{
    if (slice.size() < size)
        return std::unexpected(WireError::PacketTooShort);
    return RecordHeader {
        .rtype = static_cast<QType>(readU16(slice.subspan(0, 2))),
        .rclass = static_cast<QClass>(readU16(slice.subspan(2, 2))),
        .ttl = readU32(slice.subspan(4, 4)),
        .rdlength = readU16(slice.subspan(8, 2)),
    };
}

} // namespace recursor
