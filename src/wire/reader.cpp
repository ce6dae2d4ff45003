#include "wire/reader.h"

#include <algorithm>

namespace recursor {

WireResult<std::uint8_t> PacketReader::readU8()
{
    if (!has(1))
        return std::unexpected(WireError::PacketTooShort);
    return packet_[pos_++];
}

WireResult<std::uint16_t> PacketReader::readU16()
{
    if (!has(2))
        return std::unexpected(WireError::PacketTooShort);
    const auto v = recursor::readU16(packet_.subspan(pos_, 2));
    pos_ += 2;
    return v;
}

WireResult<std::uint32_t> PacketReader::readU32()
{
    if (!has(4))
        return std::unexpected(WireError::PacketTooShort);
    const auto v = recursor::readU32(packet_.subspan(pos_, 4));
    pos_ += 4;
    return v;
}

WireResult<std::array<std::uint8_t, 4>> PacketReader::readIPv4()
{
    const auto blob = TRY(readBlob(4));
    std::array<std::uint8_t, 4> out;
    std::copy(blob.begin(), blob.end(), out.begin());
    return out;
}

WireResult<std::array<std::uint8_t, 16>> PacketReader::readIPv6()
{
    const auto blob = TRY(readBlob(16));
    std::array<std::uint8_t, 16> out;
    std::copy(blob.begin(), blob.end(), out.begin());
    return out;
}

WireResult<std::span<const std::uint8_t>> PacketReader::readBlob(std::size_t len)
{
    if (!has(len))
        return std::unexpected(WireError::PacketTooShort);
    auto view = packet_.subspan(pos_, len);
    pos_ += len;
    return view;
}

WireResult<void> PacketReader::skip(std::size_t n)
{
    if (!has(n))
        return std::unexpected(WireError::PacketTooShort);
    pos_ += n;
    return {};
}

WireResult<RecordHeader> PacketReader::readRecordHeader()
{
    if (!has(RecordHeader::size))
        return std::unexpected(WireError::PacketTooShort);
    auto rh = TRY(RecordHeader::fromSlice(packet_.subspan(pos_, RecordHeader::size)));
    pos_ += RecordHeader::size;
    return rh;
}

WireResult<DnsName> PacketReader::readName()
{
    auto decoded = TRY(DnsName::fromPacket(packet_, pos_, min_offset_));
    pos_ += decoded.consumed;
    return decoded.name;
}

} // namespace recursor
