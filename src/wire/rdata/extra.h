// Less common record data: RP and AFSDB (RFC 1183), KX (RFC 2230), NAPTR (RFC 3403), URI (RFC 7553),
// OPENPGPKEY (RFC 7929), DHCID (RFC 4701), SMIMEA (RFC 8162), the experimental mailbox types MB, MG, MR
// and MINFO (RFC 1035 §3.3), and this program's private-use ALIAS, LUA and ENT.
#pragma once

#include "wire/rdata/common.h"

namespace recursor::rdata::extra {

struct RP {
    DnsName mbox;
    DnsName txt_dname;
    static WireResult<RP> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct AFSDB {
    std::uint16_t subtype { 0 };
    DnsName hostname;
    static WireResult<AFSDB> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct KX {
    std::uint16_t preference { 0 };
    DnsName exchanger;
    static WireResult<KX> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct NAPTR {
    std::uint16_t order { 0 };
    std::uint16_t preference { 0 };
    Bytes flags;
    Bytes services;
    Bytes regexp;
    DnsName replacement;
    static WireResult<NAPTR> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct URI {
    std::uint16_t priority { 0 };
    std::uint16_t weight { 0 };
    Bytes target;
    static WireResult<URI> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct OPENPGPKEY {
    Bytes public_key;
    static WireResult<OPENPGPKEY> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct DHCID {
    Bytes data;
    static WireResult<DHCID> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct SMIMEA {
    std::uint8_t usage { 0 };
    std::uint8_t selector { 0 };
    std::uint8_t matching_type { 0 };
    Bytes cert_data;
    static WireResult<SMIMEA> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct MB {
    DnsName madname;
    static WireResult<MB> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct MG {
    DnsName mgmname;
    static WireResult<MG> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct MR {
    DnsName newname;
    static WireResult<MR> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct MINFO {
    DnsName rmailbx;
    DnsName emailbx;
    static WireResult<MINFO> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct ALIAS {
    DnsName target;
    static WireResult<ALIAS> readFrom(PacketReader& reader);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

struct LUA {
    std::uint16_t target_type { 0 };
    Bytes script_code;
    static WireResult<LUA> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

// An empty non-terminal: a name that exists only because names below it do. Its RDATA is empty.
struct ENT {
    static WireResult<ENT> readFrom(PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
};

} // namespace recursor::rdata::extra
