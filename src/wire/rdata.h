// The decoded data of one resource record: one variant per record type the resolver knows, and
// `unknown` for every other type code, carried byte for byte (RFC 3597 §4).
// Decoding allocates nothing: names are values and every byte field is a view into the packet, so the
// packet must outlive the RData and every copy of it.
#pragma once

#include "wire/rdata/common.h"
#include "wire/rdata/dnssec.h"
#include "wire/rdata/extra.h"
#include "wire/rdata/misc.h"
#include "wire/rdata/obsolete.h"
#include "wire/rdata/tsig.h"

#include <cstdlib>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>

namespace recursor {

// The variant index of RData: do not reorder.
enum class RDataTag : std::uint8_t {
    a,
    aaaa,
    ns,
    cname,
    ptr,
    mx,
    soa,
    srv,
    loc,
    cert,
    ipseckey,
    apl,
    csync,
    zonemd,
    txt,
    dnskey,
    cdnskey,
    ds,
    cds,
    rrsig,
    nsec,
    caa,
    tlsa,
    sshfp,
    hinfo,
    nsec3,
    nsec3param,
    dname,
    rp,
    afsdb,
    kx,
    naptr,
    uri,
    openpgpkey,
    dhcid,
    smimea,
    mb,
    mg,
    mr,
    minfo,
    svcb,
    https,
    tsig,
    alias,
    lua,
    ent,
    sig,
    key,
    a6,
    dlv,
    spf,
    unknown = 51,
};

// The tag that reads records of type `rtype`; `unknown` for every type without a variant (OPT included).
RDataTag tagForType(QType rtype);

struct RData {
    struct Unknown {
        std::span<const std::uint8_t> data; // the whole RDATA
        QType rtype {};
        WireResult<void> writeTo(PacketWriter& pw) const { return pw.writeBlob(data); }
    };

    // Alternative I is the payload of RDataTag I.
    using Value = std::variant<rdata::common::A, rdata::common::AAAA, rdata::common::NS, rdata::common::CNAME,
        rdata::common::PTR, rdata::common::MX, rdata::common::SOA, rdata::common::SRV, rdata::common::LOC,
        rdata::common::CERT, rdata::common::IPSECKEY, rdata::common::APL, rdata::common::CSYNC,
        rdata::common::ZONEMD, rdata::common::TXT, rdata::dnssec::DNSKEY, rdata::dnssec::DNSKEY,
        rdata::dnssec::DS, rdata::dnssec::DS, rdata::dnssec::RRSIG, rdata::dnssec::NSEC, rdata::misc::CAA,
        rdata::misc::TLSA, rdata::misc::SSHFP, rdata::misc::HINFO, rdata::misc::NSEC3,
        rdata::misc::NSEC3PARAM, rdata::misc::DNAME, rdata::extra::RP, rdata::extra::AFSDB, rdata::extra::KX,
        rdata::extra::NAPTR, rdata::extra::URI, rdata::extra::OPENPGPKEY, rdata::extra::DHCID,
        rdata::extra::SMIMEA, rdata::extra::MB, rdata::extra::MG, rdata::extra::MR, rdata::extra::MINFO,
        rdata::common::SVCB, rdata::common::SVCB, rdata::tsig::TSIG, rdata::extra::ALIAS, rdata::extra::LUA,
        rdata::extra::ENT, rdata::obsolete::SIG, rdata::obsolete::KEY, rdata::obsolete::A6,
        rdata::obsolete::DLV, rdata::obsolete::SPF, Unknown>;

    template <RDataTag T> using Payload = std::variant_alternative_t<static_cast<std::size_t>(T), Value>;

    // An empty `unknown`.
    RData() = default;

    template <RDataTag T, typename... Args> static RData make(Args&&... args)
    {
        RData r;
        r.value_.template emplace<static_cast<std::size_t>(T)>(std::forward<Args>(args)...);
        return r;
    }

    // Decodes the RDATA at the reader's position by `rtype`. The caller compares what was consumed
    // with `rdlength`: a decoder may stop short of it, or (for types without a rest field) read past it.
    static WireResult<RData> readFrom(QType rtype, PacketReader& reader, std::uint16_t rdlength);
    // Appends the RDATA to the open record of `pw`: FieldTooLong, OutOfMemory.
    WireResult<void> writeTo(PacketWriter& pw) const;

    RDataTag tag() const { return static_cast<RDataTag>(value_.index()); }
    // The type code of the record this data belongs to (for `unknown`, the code it was read with).
    QType rtype() const;

    template <RDataTag T> const Payload<T>* getIf() const
    {
        return std::get_if<static_cast<std::size_t>(T)>(&value_);
    }
    // Asking for a tag the data does not hold is a programming error and stops the process.
    template <RDataTag T> const Payload<T>& get() const
    {
        const auto* payload = getIf<T>();
        if (payload == nullptr)
            std::abort();
        return *payload;
    }

    // By payload type, whichever tag holds it: getIf<rdata::dnssec::DNSKEY>() finds dnskey and cdnskey alike.
    template <typename T> const T* getIf() const
    {
        return std::visit(
            [](const auto& payload) -> const T* {
                if constexpr (std::is_same_v<std::decay_t<decltype(payload)>, T>)
                    return &payload;
                else
                    return nullptr;
            },
            value_);
    }
    template <typename T> const T& get() const
    {
        const T* payload = getIf<T>();
        if (payload == nullptr)
            std::abort();
        return *payload;
    }

    const Value& value() const { return value_; }

private:
    Value value_ { std::in_place_index<static_cast<std::size_t>(RDataTag::unknown)> };
};

} // namespace recursor
