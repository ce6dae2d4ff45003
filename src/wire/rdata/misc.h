// CAA (RFC 8659), TLSA (RFC 6698), SSHFP (RFC 4255), HINFO (RFC 1035 §3.3.2), NSEC3 and NSEC3PARAM
// (RFC 5155 §3-§4) and DNAME (RFC 6672).
#pragma once

#include "wire/rdata/common.h"

namespace recursor::rdata::misc {

struct CAA {
    std::uint8_t flags { 0 };
    Bytes tag; // written with its length byte: at most 255 bytes
    Bytes value;
    static WireResult<CAA> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct TLSA {
    std::uint8_t usage { 0 };
    std::uint8_t selector { 0 };
    std::uint8_t matching_type { 0 };
    Bytes cert_data;
    static WireResult<TLSA> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct SSHFP {
    std::uint8_t algorithm { 0 };
    std::uint8_t fp_type { 0 };
    Bytes fingerprint;
    static WireResult<SSHFP> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct HINFO {
    Bytes cpu;
    Bytes os;
    static WireResult<HINFO> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct NSEC3 {
    std::uint8_t hash_algorithm { 0 };
    std::uint8_t flags { 0 };
    std::uint16_t iterations { 0 };
    Bytes salt;
    Bytes next_hashed;
    Bytes type_bitmaps;
    static WireResult<NSEC3> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct NSEC3PARAM {
    std::uint8_t hash_algorithm { 0 };
    std::uint8_t flags { 0 };
    std::uint16_t iterations { 0 };
    Bytes salt;
    static WireResult<NSEC3PARAM> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct DNAME {
    DnsName target;
    static WireResult<DNAME> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const; // in full (RFC 6672 §2.5)
};

} // namespace recursor::rdata::misc
