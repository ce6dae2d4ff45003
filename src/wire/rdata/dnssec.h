// DNSSEC record data (RFC 4034 §2-§5; CDNSKEY and CDS of RFC 7344 reuse DNSKEY and DS).
// Field values (protocol, algorithms, bitmaps) are taken as they come: judging them is the validator's job.
#pragma once

#include "wire/rdata/common.h"

#include <vector>

namespace recursor::rdata::dnssec {

class OwnedDnskey;

struct DNSKEY {
    std::uint16_t flags { 0 };
    std::uint8_t protocol { 0 };
    std::uint8_t algorithm { 0 };
    Bytes public_key;
    static WireResult<DNSKEY> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
    // A copy whose key bytes no longer depend on the packet (OutOfMemory).
    WireResult<OwnedDnskey> copyOwned() const;
};

// A DNSKEY that owns its key bytes, for keys kept beyond the life of a packet (trust anchors,
// authenticated keys). Moves keep the heap block, so a view taken before a move stays valid;
// copies are explicit through view().copyOwned().
class OwnedDnskey {
public:
    OwnedDnskey() = default;
    OwnedDnskey(const OwnedDnskey&) = delete;
    OwnedDnskey& operator=(const OwnedDnskey&) = delete;
    OwnedDnskey(OwnedDnskey&&) noexcept = default;
    OwnedDnskey& operator=(OwnedDnskey&&) noexcept = default;

    // Borrows from this object: valid while it lives and is not assigned to.
    DNSKEY view() const { return { flags_, protocol_, algorithm_, public_key_ }; }

private:
    friend struct DNSKEY;
    std::uint16_t flags_ { 0 };
    std::uint8_t protocol_ { 0 };
    std::uint8_t algorithm_ { 0 };
    std::vector<std::uint8_t> public_key_;
};

struct DS {
    std::uint16_t keytag { 0 };
    std::uint8_t algorithm { 0 };
    std::uint8_t digest_type { 0 };
    Bytes digest;
    static WireResult<DS> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct RRSIG {
    static constexpr std::uint16_t min_rdlength = 19; // the fixed fields and a root signer name
    std::uint16_t type_covered { 0 };
    std::uint8_t algorithm { 0 };
    std::uint8_t labels { 0 };
    std::uint32_t original_ttl { 0 };
    std::uint32_t sig_expiration { 0 };
    std::uint32_t sig_inception { 0 };
    std::uint16_t keytag { 0 };
    DnsName signer_name;
    Bytes signature;
    static WireResult<RRSIG> readFrom(PacketReader& reader, std::uint16_t rdlength);
    // The fields without the minimum-length check; a signer name that runs past the RDATA is `overrun`.
    // Also reads the older SIG, which has the same layout.
    static WireResult<RRSIG> readFields(PacketReader& reader, std::uint16_t rdlength, WireError overrun);
    WireResult<void> writeTo(PacketWriter& pw) const; // signer name in full (RFC 4034 §3.1.7)
};

struct NSEC {
    DnsName next_name;
    Bytes type_bitmaps;
    static WireResult<NSEC> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const; // next name in full (RFC 4034 §4.1.1)
};

} // namespace recursor::rdata::dnssec
