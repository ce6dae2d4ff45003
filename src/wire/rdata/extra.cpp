#include "wire/rdata/extra.h"

namespace recursor::rdata::extra {

namespace {
    constexpr bool compressed = true;
    constexpr bool in_full = false;
}

WireResult<RP> RP::readFrom(PacketReader& reader)
{
    RP rp;
    rp.mbox = TRY(reader.readName());
    rp.txt_dname = TRY(reader.readName());
    return rp;
}

WireResult<void> RP::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeName(mbox, in_full));
    return pw.writeName(txt_dname, in_full);
}

WireResult<AFSDB> AFSDB::readFrom(PacketReader& reader)
{
    AFSDB afsdb;
    afsdb.subtype = TRY(reader.readU16());
    afsdb.hostname = TRY(reader.readName());
    return afsdb;
}

WireResult<void> AFSDB::writeTo(PacketWriter& pw) const
{
    return writeU16Name(pw, subtype, hostname);
}

WireResult<KX> KX::readFrom(PacketReader& reader)
{
    KX kx;
    kx.preference = TRY(reader.readU16());
    kx.exchanger = TRY(reader.readName());
    return kx;
}

WireResult<void> KX::writeTo(PacketWriter& pw) const
{
    return writeU16Name(pw, preference, exchanger);
}

WireResult<NAPTR> NAPTR::readFrom(PacketReader& reader)
{
    NAPTR naptr;
    naptr.order = TRY(reader.readU16());
    naptr.preference = TRY(reader.readU16());
    naptr.flags = TRY(readString(reader));
    naptr.services = TRY(readString(reader));
    naptr.regexp = TRY(readString(reader));
    naptr.replacement = TRY(reader.readName());
    return naptr;
}

WireResult<void> NAPTR::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(order));
    TRY_VOID(pw.writeU16(preference));
    TRY_VOID(writeString(pw, flags));
    TRY_VOID(writeString(pw, services));
    TRY_VOID(writeString(pw, regexp));
    return pw.writeName(replacement, in_full);
}

WireResult<URI> URI::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 4));
    const std::size_t start = reader.pos();
    URI uri;
    uri.priority = TRY(reader.readU16());
    uri.weight = TRY(reader.readU16());
    uri.target = TRY(readRest(reader, start, rdlength));
    return uri;
}

WireResult<void> URI::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(priority));
    TRY_VOID(pw.writeU16(weight));
    return pw.writeBlob(target);
}

WireResult<OPENPGPKEY> OPENPGPKEY::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    return OPENPGPKEY { TRY(reader.readBlob(rdlength)) };
}

WireResult<void> OPENPGPKEY::writeTo(PacketWriter& pw) const
{
    return writeRawRdata(pw, public_key);
}

WireResult<DHCID> DHCID::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    return DHCID { TRY(reader.readBlob(rdlength)) };
}

WireResult<void> DHCID::writeTo(PacketWriter& pw) const
{
    return writeRawRdata(pw, data);
}

WireResult<SMIMEA> SMIMEA::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 3));
    const std::size_t start = reader.pos();
    SMIMEA smimea;
    smimea.usage = TRY(reader.readU8());
    smimea.selector = TRY(reader.readU8());
    smimea.matching_type = TRY(reader.readU8());
    smimea.cert_data = TRY(readRest(reader, start, rdlength));
    return smimea;
}

WireResult<void> SMIMEA::writeTo(PacketWriter& pw) const
{
    return writeU8U8U8Bytes(pw, usage, selector, matching_type, cert_data);
}

WireResult<MB> MB::readFrom(PacketReader& reader)
{
    return MB { TRY(reader.readName()) };
}

WireResult<void> MB::writeTo(PacketWriter& pw) const
{
    return pw.writeName(madname, compressed);
}

WireResult<MG> MG::readFrom(PacketReader& reader)
{
    return MG { TRY(reader.readName()) };
}

WireResult<void> MG::writeTo(PacketWriter& pw) const
{
    return pw.writeName(mgmname, compressed);
}

WireResult<MR> MR::readFrom(PacketReader& reader)
{
    return MR { TRY(reader.readName()) };
}

WireResult<void> MR::writeTo(PacketWriter& pw) const
{
    return pw.writeName(newname, compressed);
}

WireResult<MINFO> MINFO::readFrom(PacketReader& reader)
{
    MINFO minfo;
    minfo.rmailbx = TRY(reader.readName());
    minfo.emailbx = TRY(reader.readName());
    return minfo;
}

WireResult<void> MINFO::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeName(rmailbx, compressed));
    return pw.writeName(emailbx, compressed);
}

WireResult<ALIAS> ALIAS::readFrom(PacketReader& reader)
{
    return ALIAS { TRY(reader.readName()) };
}

WireResult<void> ALIAS::writeTo(PacketWriter& pw) const
{
    return pw.writeName(target, in_full);
}

WireResult<LUA> LUA::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 2));
    const std::size_t start = reader.pos();
    LUA lua;
    lua.target_type = TRY(reader.readU16());
    lua.script_code = TRY(readRest(reader, start, rdlength));
    return lua;
}

WireResult<void> LUA::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(target_type));
    return pw.writeBlob(script_code);
}

WireResult<ENT> ENT::readFrom(PacketReader&, std::uint16_t rdlength)
{
    if (rdlength != 0)
        return std::unexpected(WireError::RdataLengthMismatch);
    return ENT {};
}

WireResult<void> ENT::writeTo(PacketWriter&) const
{
    return {};
}

} // namespace recursor::rdata::extra
