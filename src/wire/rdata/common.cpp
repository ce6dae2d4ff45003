#include "wire/rdata/common.h"

namespace recursor::rdata {

WireResult<void> requireMinLength(std::uint16_t rdlength, std::uint16_t min)
{
    if (rdlength < min)
        return std::unexpected(WireError::PacketTooShort);
    return {};
}

WireResult<Bytes> readRest(PacketReader& reader, std::size_t start, std::uint16_t rdlength, WireError overrun)
{
    const std::size_t consumed = reader.pos() - start;
    if (consumed > rdlength)
        return std::unexpected(overrun);
    return reader.readBlob(rdlength - consumed);
}

WireResult<Bytes> readString(PacketReader& reader)
{
    const std::uint8_t len = TRY(reader.readU8());
    return reader.readBlob(len);
}

WireResult<void> writeString(PacketWriter& pw, Bytes text)
{
    if (text.size() > 0xFF)
        return std::unexpected(WireError::FieldTooLong);
    TRY_VOID(pw.writeU8(static_cast<std::uint8_t>(text.size())));
    return pw.writeBlob(text);
}

WireResult<void> writeRawRdata(PacketWriter& pw, Bytes data)
{
    return pw.writeBlob(data);
}

WireResult<void> writeU16U8U8Bytes(
    PacketWriter& pw, std::uint16_t first, std::uint8_t second, std::uint8_t third, Bytes rest)
{
    TRY_VOID(pw.writeU16(first));
    TRY_VOID(pw.writeU8(second));
    TRY_VOID(pw.writeU8(third));
    return pw.writeBlob(rest);
}

WireResult<void> writeU8U8U8Bytes(
    PacketWriter& pw, std::uint8_t first, std::uint8_t second, std::uint8_t third, Bytes rest)
{
    TRY_VOID(pw.writeU8(first));
    TRY_VOID(pw.writeU8(second));
    TRY_VOID(pw.writeU8(third));
    return pw.writeBlob(rest);
}

WireResult<void> writeU16Name(PacketWriter& pw, std::uint16_t value, const DnsName& name)
{
    TRY_VOID(pw.writeU16(value));
    return pw.writeName(name, false);
}

} // namespace recursor::rdata

namespace recursor::rdata::common {

namespace {
    constexpr bool compressed = true;
    constexpr bool in_full = false;
}

WireResult<A> A::readFrom(PacketReader& reader)
{
    return A { TRY(reader.readIPv4()) };
}

WireResult<void> A::writeTo(PacketWriter& pw) const
{
    return pw.writeIPv4(addr);
}

WireResult<AAAA> AAAA::readFrom(PacketReader& reader)
{
    return AAAA { TRY(reader.readIPv6()) };
}

WireResult<void> AAAA::writeTo(PacketWriter& pw) const
{
    return pw.writeIPv6(addr);
}

WireResult<NS> NS::readFrom(PacketReader& reader)
{
    return NS { TRY(reader.readName()) };
}

WireResult<void> NS::writeTo(PacketWriter& pw) const
{
    return pw.writeName(nsdname, compressed);
}

WireResult<CNAME> CNAME::readFrom(PacketReader& reader)
{
    return CNAME { TRY(reader.readName()) };
}

WireResult<void> CNAME::writeTo(PacketWriter& pw) const
{
    return pw.writeName(target, compressed);
}

WireResult<PTR> PTR::readFrom(PacketReader& reader)
{
    return PTR { TRY(reader.readName()) };
}

WireResult<void> PTR::writeTo(PacketWriter& pw) const
{
    return pw.writeName(target, compressed);
}

WireResult<MX> MX::readFrom(PacketReader& reader)
{
    MX mx;
    mx.preference = TRY(reader.readU16());
    mx.exchange = TRY(reader.readName());
    return mx;
}

WireResult<void> MX::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(preference));
    return pw.writeName(exchange, compressed);
}

WireResult<SOA> SOA::readFrom(PacketReader& reader)
{
    SOA soa;
    soa.mname = TRY(reader.readName());
    soa.rname = TRY(reader.readName());
    soa.serial = TRY(reader.readU32());
    soa.refresh = TRY(reader.readU32());
    soa.retry = TRY(reader.readU32());
    soa.expire = TRY(reader.readU32());
    soa.minimum = TRY(reader.readU32());
    return soa;
}

WireResult<void> SOA::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeName(mname, compressed));
    TRY_VOID(pw.writeName(rname, compressed));
    TRY_VOID(pw.writeU32(serial));
    TRY_VOID(pw.writeU32(refresh));
    TRY_VOID(pw.writeU32(retry));
    TRY_VOID(pw.writeU32(expire));
    return pw.writeU32(minimum);
}

WireResult<SRV> SRV::readFrom(PacketReader& reader)
{
    SRV srv;
    srv.priority = TRY(reader.readU16());
    srv.weight = TRY(reader.readU16());
    srv.port = TRY(reader.readU16());
    srv.target = TRY(reader.readName());
    return srv;
}

WireResult<void> SRV::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(priority));
    TRY_VOID(pw.writeU16(weight));
    TRY_VOID(pw.writeU16(port));
    return pw.writeName(target, in_full); // RFC 2782: no compression of the target
}

WireResult<LOC> LOC::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    LOC loc;
    loc.version = TRY(reader.readU8());
    if (loc.version != 0)
        return std::unexpected(WireError::UnsupportedVersion);
    if (rdlength != rdata_size)
        return std::unexpected(WireError::LengthMismatch);
    loc.size = TRY(reader.readU8());
    loc.horiz_pre = TRY(reader.readU8());
    loc.vert_pre = TRY(reader.readU8());
    loc.latitude = TRY(reader.readU32());
    loc.longitude = TRY(reader.readU32());
    loc.altitude = TRY(reader.readU32());
    return loc;
}

WireResult<void> LOC::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(version));
    TRY_VOID(pw.writeU8(size));
    TRY_VOID(pw.writeU8(horiz_pre));
    TRY_VOID(pw.writeU8(vert_pre));
    TRY_VOID(pw.writeU32(latitude));
    TRY_VOID(pw.writeU32(longitude));
    return pw.writeU32(altitude);
}

WireResult<CERT> CERT::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 5));
    const std::size_t start = reader.pos();
    CERT cert;
    cert.cert_type = TRY(reader.readU16());
    cert.key_tag = TRY(reader.readU16());
    cert.algorithm = TRY(reader.readU8());
    cert.certificate = TRY(readRest(reader, start, rdlength));
    return cert;
}

WireResult<void> CERT::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(cert_type));
    TRY_VOID(pw.writeU16(key_tag));
    TRY_VOID(pw.writeU8(algorithm));
    return pw.writeBlob(certificate);
}

namespace {

    WireResult<IPSECKEY::Gateway> readGateway(PacketReader& reader, std::uint8_t gateway_type)
    {
        switch (static_cast<IPSECKEY::GatewayType>(gateway_type)) {
        case IPSECKEY::GatewayType::none:
            return IPSECKEY::Gateway {};
        case IPSECKEY::GatewayType::ipv4:
            return IPSECKEY::Gateway { TRY(reader.readIPv4()) };
        case IPSECKEY::GatewayType::ipv6:
            return IPSECKEY::Gateway { TRY(reader.readIPv6()) };
        case IPSECKEY::GatewayType::domain:
            return IPSECKEY::Gateway { TRY(reader.readName()) };
        }
        return std::unexpected(WireError::InvalidGatewayType);
    }

    struct GatewayWriter {
        PacketWriter& pw;
        WireResult<void> operator()(std::monostate) const { return {}; }
        WireResult<void> operator()(const std::array<std::uint8_t, 4>& addr) const
        {
            return pw.writeIPv4(addr);
        }
        WireResult<void> operator()(const std::array<std::uint8_t, 16>& addr) const
        {
            return pw.writeIPv6(addr);
        }
        // RFC 4025 §2.5: the gateway name is never compressed.
        WireResult<void> operator()(const DnsName& name) const { return pw.writeName(name, in_full); }
    };

} // namespace

WireResult<IPSECKEY> IPSECKEY::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    const std::size_t start = reader.pos();
    IPSECKEY key;
    key.precedence = TRY(reader.readU8());
    key.gateway_type = TRY(reader.readU8());
    key.algorithm = TRY(reader.readU8());
    key.gateway = TRY(readGateway(reader, key.gateway_type));
    key.public_key = TRY(readRest(reader, start, rdlength));
    return key;
}

WireResult<void> IPSECKEY::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(precedence));
    TRY_VOID(pw.writeU8(gateway_type));
    TRY_VOID(pw.writeU8(algorithm));
    TRY_VOID(std::visit(GatewayWriter { pw }, gateway));
    return pw.writeBlob(public_key);
}

WireResult<APL> APL::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    return APL { TRY(reader.readBlob(rdlength)) };
}

WireResult<void> APL::writeTo(PacketWriter& pw) const
{
    return writeRawRdata(pw, data);
}

WireResult<CSYNC> CSYNC::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 6));
    const std::size_t start = reader.pos();
    CSYNC csync;
    csync.soa_serial = TRY(reader.readU32());
    csync.flags = TRY(reader.readU16());
    csync.type_bitmaps = TRY(readRest(reader, start, rdlength));
    return csync;
}

WireResult<void> CSYNC::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU32(soa_serial));
    TRY_VOID(pw.writeU16(flags));
    return pw.writeBlob(type_bitmaps);
}

WireResult<ZONEMD> ZONEMD::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 6));
    const std::size_t start = reader.pos();
    ZONEMD zonemd;
    zonemd.serial = TRY(reader.readU32());
    zonemd.scheme = TRY(reader.readU8());
    zonemd.hash_algorithm = TRY(reader.readU8());
    zonemd.digest = TRY(readRest(reader, start, rdlength));
    return zonemd;
}

WireResult<void> ZONEMD::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU32(serial));
    TRY_VOID(pw.writeU8(scheme));
    TRY_VOID(pw.writeU8(hash_algorithm));
    return pw.writeBlob(digest);
}

WireResult<TXT> TXT::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    return TXT { TRY(reader.readBlob(rdlength)) };
}

WireResult<void> TXT::writeTo(PacketWriter& pw) const
{
    return writeRawRdata(pw, data);
}

WireResult<SVCB> SVCB::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    const std::size_t start = reader.pos();
    SVCB svcb;
    svcb.priority = TRY(reader.readU16());
    svcb.target = TRY(reader.readName());
    svcb.params = TRY(readRest(reader, start, rdlength));
    return svcb;
}

WireResult<void> SVCB::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(priority));
    TRY_VOID(pw.writeName(target, in_full)); // RFC 9460 §2.2: TargetName is never compressed
    return pw.writeBlob(params);
}

} // namespace recursor::rdata::common
