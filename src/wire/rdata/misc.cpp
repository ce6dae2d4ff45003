#include "wire/rdata/misc.h"

namespace recursor::rdata::misc {

WireResult<CAA> CAA::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 2));
    CAA caa;
    caa.flags = TRY(reader.readU8());
    const std::uint8_t tag_len = TRY(reader.readU8());
    if (tag_len + 2u > rdlength)
        return std::unexpected(WireError::PacketTooShort);
    caa.tag = TRY(reader.readBlob(tag_len));
    caa.value = TRY(reader.readBlob(rdlength - 2u - tag_len));
    return caa;
}

WireResult<void> CAA::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(flags));
    TRY_VOID(writeString(pw, tag));
    return pw.writeBlob(value);
}

WireResult<TLSA> TLSA::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 3));
    const std::size_t start = reader.pos();
    TLSA tlsa;
    tlsa.usage = TRY(reader.readU8());
    tlsa.selector = TRY(reader.readU8());
    tlsa.matching_type = TRY(reader.readU8());
    tlsa.cert_data = TRY(readRest(reader, start, rdlength));
    return tlsa;
}

WireResult<void> TLSA::writeTo(PacketWriter& pw) const
{
    return writeU8U8U8Bytes(pw, usage, selector, matching_type, cert_data);
}

WireResult<SSHFP> SSHFP::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 2));
    const std::size_t start = reader.pos();
    SSHFP sshfp;
    sshfp.algorithm = TRY(reader.readU8());
    sshfp.fp_type = TRY(reader.readU8());
    sshfp.fingerprint = TRY(readRest(reader, start, rdlength));
    return sshfp;
}

WireResult<void> SSHFP::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(algorithm));
    TRY_VOID(pw.writeU8(fp_type));
    return pw.writeBlob(fingerprint);
}

WireResult<HINFO> HINFO::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 2));
    HINFO hinfo;
    hinfo.cpu = TRY(readString(reader));
    hinfo.os = TRY(readString(reader));
    return hinfo;
}

WireResult<void> HINFO::writeTo(PacketWriter& pw) const
{
    TRY_VOID(writeString(pw, cpu));
    return writeString(pw, os);
}

WireResult<NSEC3> NSEC3::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 5));
    const std::size_t start = reader.pos();
    NSEC3 nsec3;
    nsec3.hash_algorithm = TRY(reader.readU8());
    nsec3.flags = TRY(reader.readU8());
    nsec3.iterations = TRY(reader.readU16());
    nsec3.salt = TRY(readString(reader));
    nsec3.next_hashed = TRY(readString(reader));
    nsec3.type_bitmaps = TRY(readRest(reader, start, rdlength));
    return nsec3;
}

WireResult<void> NSEC3::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(hash_algorithm));
    TRY_VOID(pw.writeU8(flags));
    TRY_VOID(pw.writeU16(iterations));
    TRY_VOID(writeString(pw, salt));
    TRY_VOID(writeString(pw, next_hashed));
    return pw.writeBlob(type_bitmaps);
}

WireResult<NSEC3PARAM> NSEC3PARAM::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 5));
    NSEC3PARAM param;
    param.hash_algorithm = TRY(reader.readU8());
    param.flags = TRY(reader.readU8());
    param.iterations = TRY(reader.readU16());
    param.salt = TRY(readString(reader));
    return param;
}

WireResult<void> NSEC3PARAM::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(hash_algorithm));
    TRY_VOID(pw.writeU8(flags));
    TRY_VOID(pw.writeU16(iterations));
    return writeString(pw, salt);
}

WireResult<DNAME> DNAME::readFrom(PacketReader& reader)
{
    return DNAME { TRY(reader.readName()) };
}

WireResult<void> DNAME::writeTo(PacketWriter& pw) const
{
    return pw.writeName(target, false);
}

} // namespace recursor::rdata::misc
