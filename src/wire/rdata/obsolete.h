// Record data kept for old zones and old servers: SIG and KEY (RFC 2535, superseded by RRSIG and
// DNSKEY), A6 (RFC 2874, historic per RFC 6563), DLV (RFC 4431, retired by RFC 8749) and SPF (RFC 7208
// §14.1).
#pragma once

#include "wire/rdata/dnssec.h"

#include <optional>

namespace recursor::rdata::obsolete {

// The layout of RRSIG, but with no minimum length and a signer name that overruns the RDATA
// reported as RdataLengthMismatch.
struct SIG {
    std::uint16_t type_covered { 0 };
    std::uint8_t algorithm { 0 };
    std::uint8_t labels { 0 };
    std::uint32_t original_ttl { 0 };
    std::uint32_t signature_expiration { 0 };
    std::uint32_t signature_inception { 0 };
    std::uint16_t key_tag { 0 };
    DnsName signer_name;
    Bytes signature;
    static WireResult<SIG> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct KEY {
    std::uint16_t flags { 0 };
    std::uint8_t protocol { 0 };
    std::uint8_t algorithm { 0 };
    Bytes public_key;
    static WireResult<KEY> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct A6 {
    static constexpr std::uint8_t max_prefix_len = 128;
    // The suffix holds the 128 − prefix_len low address bits, in whole bytes.
    static constexpr std::size_t suffixSize(std::uint8_t prefix_len) { return (135u - prefix_len) / 8; }

    std::uint8_t prefix_len { 0 };
    Bytes address_suffix;
    std::optional<DnsName> prefix_name; // present exactly when prefix_len is not 0
    // The fields must account for exactly `rdlength` bytes (RdataLengthMismatch).
    static WireResult<A6> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct DLV {
    std::uint16_t key_tag { 0 };
    std::uint8_t algorithm { 0 };
    std::uint8_t digest_type { 0 };
    Bytes digest;
    static WireResult<DLV> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct SPF {
    Bytes data;
    static WireResult<SPF> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

} // namespace recursor::rdata::obsolete
