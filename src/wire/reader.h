// Bounds-checked big-endian cursor over one packet (RFC 1035 §4.1).
// Borrows `packet`: the holder keeps the bytes alive longer than the reader and every view it returns.
// Every read fails with PacketTooShort, without moving, when the packet does not hold the bytes.
#pragma once

#include "wire/header.h"
#include "wire/name.h"

#include <array>
#include <span>

namespace recursor {

class PacketReader {
public:
    explicit PacketReader(std::span<const std::uint8_t> packet, std::size_t pos = Header::size,
        std::size_t min_offset = Header::size)
        : packet_(packet)
        , pos_(pos)
        , min_offset_(min_offset)
    {
    }

    [[nodiscard]] WireResult<std::uint8_t> readU8();
    [[nodiscard]] WireResult<std::uint16_t> readU16();
    [[nodiscard]] WireResult<std::uint32_t> readU32();
    [[nodiscard]] WireResult<std::array<std::uint8_t, 4>> readIPv4();
    [[nodiscard]] WireResult<std::array<std::uint8_t, 16>> readIPv6();
    [[nodiscard]] WireResult<std::span<const std::uint8_t>> readBlob(std::size_t len);
    [[nodiscard]] WireResult<void> skip(std::size_t n);
    [[nodiscard]] WireResult<RecordHeader> readRecordHeader();
    // Decodes the name at pos and steps over it (after a pointer, right behind the pointer).
    [[nodiscard]] WireResult<DnsName> readName();

    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return atEnd() ? 0 : packet_.size() - pos_; }
    bool atEnd() const { return pos_ >= packet_.size(); }
    std::span<const std::uint8_t> packet() const { return packet_; }

private:
    bool has(std::size_t n) const { return pos_ <= packet_.size() && n <= packet_.size() - pos_; }

    std::span<const std::uint8_t> packet_;
    std::size_t pos_;
    std::size_t min_offset_;
};

} // namespace recursor
