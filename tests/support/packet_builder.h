// Hand-builds DNS packets byte by byte for parser tests. Nothing is validated or computed behind the
// caller's back (except RDLENGTH in `record`), so hostile packets are as easy to write as valid ones.
#pragma once

#include "wire/constants.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>
#include <vector>

namespace recursor::test {

class PacketBuilder {
public:
    // The 12 header bytes: ID, flags word (bytes 2-3), then QDCOUNT, ANCOUNT, NSCOUNT, ARCOUNT.
    PacketBuilder& header(std::uint16_t id, std::uint16_t flags, std::uint16_t qdcount, std::uint16_t ancount,
        std::uint16_t nscount, std::uint16_t arcount);

    PacketBuilder& u8(std::uint8_t v);
    PacketBuilder& u16(std::uint16_t v);
    PacketBuilder& u32(std::uint32_t v);
    PacketBuilder& raw(std::span<const std::uint8_t> bytes);
    PacketBuilder& raw(std::initializer_list<std::uint8_t> bytes);
    PacketBuilder& zeros(std::size_t n);

    // One length byte (the text's size, truncated to 8 bits) and the text; no terminating zero.
    PacketBuilder& label(std::string_view text);
    // The labels of a dotted name ("a.b.c", no escapes) and the terminating zero; "" and "." are the root.
    PacketBuilder& name(std::string_view dotted);
    // A compression pointer: 0xC0 | high 6 bits of `offset`, then its low byte.
    PacketBuilder& pointer(std::uint16_t offset);

    PacketBuilder& question(std::string_view qname, QType qtype, QClass qclass);
    // The 10 fixed bytes after an owner name.
    PacketBuilder& fixed(QType rtype, QClass rclass, std::uint32_t ttl, std::uint16_t rdlength);
    // Owner name, fixed bytes with RDLENGTH = rdata size, then the RDATA.
    PacketBuilder& record(std::string_view owner, QType rtype, QClass rclass, std::uint32_t ttl,
        std::span<const std::uint8_t> rdata);

    // Overwrites two bytes already written, big-endian (for example a header count).
    PacketBuilder& patchU16(std::size_t offset, std::uint16_t v);

    // The current length, which is the offset the next byte will have.
    std::size_t size() const { return bytes_.size(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    std::span<const std::uint8_t> span() const { return bytes_; }

private:
    std::vector<std::uint8_t> bytes_;
};

// Uncompressed wire form of a dotted name, as PacketBuilder::name writes it.
std::vector<std::uint8_t> wireName(std::string_view dotted);

// A type code no record data decoder knows (private-use range, not one of the program's own codes).
inline constexpr QType unknown_type { 0xFF00 };

} // namespace recursor::test
