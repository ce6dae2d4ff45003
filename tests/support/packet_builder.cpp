#include "support/packet_builder.h"

namespace recursor::test {

PacketBuilder& PacketBuilder::header(std::uint16_t id, std::uint16_t flags, std::uint16_t qdcount,
    std::uint16_t ancount, std::uint16_t nscount, std::uint16_t arcount)
{
    return u16(id).u16(flags).u16(qdcount).u16(ancount).u16(nscount).u16(arcount);
}

PacketBuilder& PacketBuilder::u8(std::uint8_t v)
{
    bytes_.push_back(v);
    return *this;
}

PacketBuilder& PacketBuilder::u16(std::uint16_t v)
{
    return u8(static_cast<std::uint8_t>(v >> 8)).u8(static_cast<std::uint8_t>(v));
}

PacketBuilder& PacketBuilder::u32(std::uint32_t v)
{
    return u16(static_cast<std::uint16_t>(v >> 16)).u16(static_cast<std::uint16_t>(v));
}

PacketBuilder& PacketBuilder::raw(std::span<const std::uint8_t> bytes)
{
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

PacketBuilder& PacketBuilder::raw(std::initializer_list<std::uint8_t> bytes)
{
    return raw(std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
}

PacketBuilder& PacketBuilder::zeros(std::size_t n)
{
    bytes_.resize(bytes_.size() + n, 0);
    return *this;
}

PacketBuilder& PacketBuilder::label(std::string_view text)
{
    u8(static_cast<std::uint8_t>(text.size()));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
}

PacketBuilder& PacketBuilder::name(std::string_view dotted)
{
    return raw(wireName(dotted));
}

PacketBuilder& PacketBuilder::pointer(std::uint16_t offset)
{
    return u8(static_cast<std::uint8_t>(0xC0 | (offset >> 8))).u8(static_cast<std::uint8_t>(offset));
}

PacketBuilder& PacketBuilder::question(std::string_view qname, QType qtype, QClass qclass)
{
    return name(qname).u16(toU16(qtype)).u16(toU16(qclass));
}

PacketBuilder& PacketBuilder::fixed(QType rtype, QClass rclass, std::uint32_t ttl, std::uint16_t rdlength)
{
    return u16(toU16(rtype)).u16(toU16(rclass)).u32(ttl).u16(rdlength);
}

PacketBuilder& PacketBuilder::record(std::string_view owner, QType rtype, QClass rclass, std::uint32_t ttl,
    std::span<const std::uint8_t> rdata)
{
    return name(owner).fixed(rtype, rclass, ttl, static_cast<std::uint16_t>(rdata.size())).raw(rdata);
}

PacketBuilder& PacketBuilder::patchU16(std::size_t offset, std::uint16_t v)
{
    bytes_.at(offset) = static_cast<std::uint8_t>(v >> 8);
    bytes_.at(offset + 1) = static_cast<std::uint8_t>(v);
    return *this;
}

std::vector<std::uint8_t> wireName(std::string_view dotted)
{
    std::vector<std::uint8_t> out;
    if (!dotted.empty() && dotted.back() == '.')
        dotted.remove_suffix(1);
    while (!dotted.empty()) {
        const std::size_t dot = dotted.find('.');
        const std::string_view label = dotted.substr(0, dot);
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
        dotted = dot == std::string_view::npos ? std::string_view {} : dotted.substr(dot + 1);
    }
    out.push_back(0);
    return out;
}

} // namespace recursor::test
