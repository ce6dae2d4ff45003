#include "wire/rdata.h"

#include <array>
#include <type_traits>

namespace recursor {

namespace {

    constexpr std::size_t known_count = static_cast<std::size_t>(RDataTag::unknown);

    // The type code of each known tag, indexed by tag.
    constexpr std::array<QType, known_count> type_of_tag = {
        QType::a,
        QType::aaaa,
        QType::ns,
        QType::cname,
        QType::ptr,
        QType::mx,
        QType::soa,
        QType::srv,
        QType::loc,
        QType::cert,
        QType::ipseckey,
        QType::apl,
        QType::csync,
        QType::zonemd,
        QType::txt,
        QType::dnskey,
        QType::cdnskey,
        QType::ds,
        QType::cds,
        QType::rrsig,
        QType::nsec,
        QType::caa,
        QType::tlsa,
        QType::sshfp,
        QType::hinfo,
        QType::nsec3,
        QType::nsec3param,
        QType::dname,
        QType::rp,
        QType::afsdb,
        QType::kx,
        QType::naptr,
        QType::uri,
        QType::openpgpkey,
        QType::dhcid,
        QType::smimea,
        QType::mb,
        QType::mg,
        QType::mr,
        QType::minfo,
        QType::svcb,
        QType::https,
        QType::tsig,
        QType::alias,
        QType::lua,
        QType::ent,
        QType::sig,
        QType::key,
        QType::a6,
        QType::dlv,
        QType::spf,
    };
    static_assert(std::variant_size_v<RData::Value> == known_count + 1);
    static_assert(type_of_tag[static_cast<std::size_t>(RDataTag::spf)] == QType::spf);
    // Records are copied freely into lists and caches.
    static_assert(std::is_trivially_copyable_v<RData>);

    template <std::size_t I>
    WireResult<RData> readVariant(QType rtype, PacketReader& reader, std::uint16_t rdlength)
    {
        constexpr auto tag = static_cast<RDataTag>(I);
        using Payload = RData::Payload<tag>;
        if constexpr (tag == RDataTag::unknown)
            return RData::make<tag>(RData::Unknown { TRY(reader.readBlob(rdlength)), rtype });
        else if constexpr (requires { Payload::readFrom(reader, rdlength); })
            return RData::make<tag>(TRY(Payload::readFrom(reader, rdlength)));
        else
            return RData::make<tag>(TRY(Payload::readFrom(reader)));
    }

    using VariantReader = WireResult<RData> (*)(QType, PacketReader&, std::uint16_t);

    constexpr auto variant_readers = []<std::size_t... I>(std::index_sequence<I...>)
    {
        return std::array<VariantReader, sizeof...(I)> { &readVariant<I>... };
    }
    (std::make_index_sequence<known_count + 1> {});

} // namespace

RDataTag tagForType(QType rtype)
{
    for (std::size_t i = 0; i < type_of_tag.size(); ++i) {
        if (type_of_tag[i] == rtype)
            return static_cast<RDataTag>(i);
    }
    return RDataTag::unknown;
}

WireResult<RData> RData::readFrom(QType rtype, PacketReader& reader, std::uint16_t rdlength)
{
    return variant_readers[static_cast<std::size_t>(tagForType(rtype))](rtype, reader, rdlength);
}

WireResult<void> RData::writeTo(PacketWriter& pw) const
{
    return std::visit([&pw](const auto& payload) { return payload.writeTo(pw); }, value_);
}

QType RData::rtype() const
{
    if (const Unknown* unknown = getIf<RDataTag::unknown>())
        return unknown->rtype;
    return type_of_tag[value_.index()];
}

} // namespace recursor
