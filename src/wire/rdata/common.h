// Everyday record data types (RFC 1035 §3.3, RFC 3596, RFC 2782, RFC 1876, RFC 4398, RFC 4025,
// RFC 3123, RFC 7477, RFC 8976, RFC 9460), and the field readers and writers shared by every group.
// Byte fields are views into the packet the record was read from; names are copies.
#pragma once

#include "wire/reader.h"
#include "wire/writer.h"

#include <array>
#include <cstdint>
#include <span>
#include <variant>

namespace recursor::rdata {

using Bytes = std::span<const std::uint8_t>;

// Fails with PacketTooShort, before anything is read, when the RDATA cannot hold the fixed fields.
[[nodiscard]] WireResult<void> requireMinLength(std::uint16_t rdlength, std::uint16_t min);
// The RDATA bytes not yet read since `start`. Having read past the RDATA already is `overrun`.
[[nodiscard]] WireResult<Bytes> readRest(PacketReader& reader, std::size_t start, std::uint16_t rdlength,
    WireError overrun = WireError::PacketTooShort);
// <character-string> (RFC 1035 §3.3): a length byte and that many bytes.
[[nodiscard]] WireResult<Bytes> readString(PacketReader& reader);
[[nodiscard]] WireResult<void> writeString(PacketWriter& pw, Bytes text); // FieldTooLong above 255 bytes

// Writers for layouts that several types share.
// TXT, APL, OPENPGPKEY, DHCID, SPF: the whole RDATA as it came.
[[nodiscard]] WireResult<void> writeRawRdata(PacketWriter& pw, Bytes data);
// DNSKEY, DS, KEY, DLV: u16, u8, u8, then bytes.
[[nodiscard]] WireResult<void> writeU16U8U8Bytes(
    PacketWriter& pw, std::uint16_t first, std::uint8_t second, std::uint8_t third, Bytes rest);
// TLSA, SMIMEA: u8, u8, u8, then bytes.
[[nodiscard]] WireResult<void> writeU8U8U8Bytes(
    PacketWriter& pw, std::uint8_t first, std::uint8_t second, std::uint8_t third, Bytes rest);
// AFSDB, KX: u16, then a name written in full.
[[nodiscard]] WireResult<void> writeU16Name(PacketWriter& pw, std::uint16_t value, const DnsName& name);

} // namespace recursor::rdata

namespace recursor::rdata::common {

struct A {
    std::array<std::uint8_t, 4> addr {};
    static WireResult<A> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct AAAA {
    std::array<std::uint8_t, 16> addr {};
    static WireResult<AAAA> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct NS {
    DnsName nsdname;
    static WireResult<NS> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct CNAME {
    DnsName target;
    static WireResult<CNAME> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct PTR {
    DnsName target;
    static WireResult<PTR> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct MX {
    std::uint16_t preference { 0 };
    DnsName exchange;
    static WireResult<MX> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct SOA {
    DnsName mname;
    DnsName rname;
    std::uint32_t serial { 0 };
    std::uint32_t refresh { 0 };
    std::uint32_t retry { 0 };
    std::uint32_t expire { 0 };
    std::uint32_t minimum { 0 };
    static WireResult<SOA> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct SRV {
    std::uint16_t priority { 0 };
    std::uint16_t weight { 0 };
    std::uint16_t port { 0 };
    DnsName target;
    static WireResult<SRV> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

// RFC 1876: only version 0 exists, and its RDATA is always 16 bytes.
struct LOC {
    static constexpr std::uint16_t rdata_size = 16;
    std::uint8_t version { 0 };
    std::uint8_t size { 0 };
    std::uint8_t horiz_pre { 0 };
    std::uint8_t vert_pre { 0 };
    std::uint32_t latitude { 0 };
    std::uint32_t longitude { 0 };
    std::uint32_t altitude { 0 };
    static WireResult<LOC> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct CERT {
    std::uint16_t cert_type { 0 };
    std::uint16_t key_tag { 0 };
    std::uint8_t algorithm { 0 };
    Bytes certificate;
    static WireResult<CERT> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct IPSECKEY {
    enum class GatewayType : std::uint8_t { none = 0, ipv4 = 1, ipv6 = 2, domain = 3 };
    // The alternative index is the GatewayType.
    using Gateway
        = std::variant<std::monostate, std::array<std::uint8_t, 4>, std::array<std::uint8_t, 16>, DnsName>;

    std::uint8_t precedence { 0 };
    std::uint8_t gateway_type { 0 }; // written as stored, whatever `gateway` holds
    std::uint8_t algorithm { 0 };
    Gateway gateway;
    Bytes public_key;
    static WireResult<IPSECKEY> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct APL {
    Bytes data;
    static WireResult<APL> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct CSYNC {
    std::uint32_t soa_serial { 0 };
    std::uint16_t flags { 0 };
    Bytes type_bitmaps;
    static WireResult<CSYNC> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct ZONEMD {
    std::uint32_t serial { 0 };
    std::uint8_t scheme { 0 };
    std::uint8_t hash_algorithm { 0 };
    Bytes digest;
    static WireResult<ZONEMD> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

// The character-strings are kept together as one view of the whole RDATA.
struct TXT {
    Bytes data;
    static WireResult<TXT> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

// SVCB and HTTPS (RFC 9460); the SvcParams stay undecoded.
struct SVCB {
    std::uint16_t priority { 0 };
    DnsName target;
    Bytes params;
    static WireResult<SVCB> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

} // namespace recursor::rdata::common
