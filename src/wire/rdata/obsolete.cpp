#include "wire/rdata/obsolete.h"

namespace recursor::rdata::obsolete {

WireResult<SIG> SIG::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    const auto fields = TRY(dnssec::RRSIG::readFields(reader, rdlength, WireError::RdataLengthMismatch));
    return SIG { fields.type_covered, fields.algorithm, fields.labels, fields.original_ttl,
        fields.sig_expiration, fields.sig_inception, fields.keytag, fields.signer_name, fields.signature };
}

WireResult<void> SIG::writeTo(PacketWriter& pw) const
{
    const dnssec::RRSIG same_layout { type_covered, algorithm, labels, original_ttl, signature_expiration,
        signature_inception, key_tag, signer_name, signature };
    return same_layout.writeTo(pw);
}

WireResult<KEY> KEY::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 4));
    const std::size_t start = reader.pos();
    KEY key;
    key.flags = TRY(reader.readU16());
    key.protocol = TRY(reader.readU8());
    key.algorithm = TRY(reader.readU8());
    key.public_key = TRY(readRest(reader, start, rdlength));
    return key;
}

WireResult<void> KEY::writeTo(PacketWriter& pw) const
{
    return writeU16U8U8Bytes(pw, flags, protocol, algorithm, public_key);
}

WireResult<A6> A6::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    const std::size_t start = reader.pos();
    A6 a6;
    a6.prefix_len = TRY(reader.readU8());
    if (a6.prefix_len > max_prefix_len)
        return std::unexpected(WireError::RdataLengthMismatch);
    a6.address_suffix = TRY(reader.readBlob(suffixSize(a6.prefix_len)));
    if (a6.prefix_len > 0)
        a6.prefix_name = TRY(reader.readName());
    if (reader.pos() - start != rdlength)
        return std::unexpected(WireError::RdataLengthMismatch);
    return a6;
}

WireResult<void> A6::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU8(prefix_len));
    TRY_VOID(pw.writeBlob(address_suffix));
    if (prefix_name)
        return pw.writeName(*prefix_name, false);
    return {};
}

WireResult<DLV> DLV::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 4));
    const std::size_t start = reader.pos();
    DLV dlv;
    dlv.key_tag = TRY(reader.readU16());
    dlv.algorithm = TRY(reader.readU8());
    dlv.digest_type = TRY(reader.readU8());
    dlv.digest = TRY(readRest(reader, start, rdlength));
    return dlv;
}

WireResult<void> DLV::writeTo(PacketWriter& pw) const
{
    return writeU16U8U8Bytes(pw, key_tag, algorithm, digest_type, digest);
}

WireResult<SPF> SPF::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    return SPF { TRY(reader.readBlob(rdlength)) };
}

WireResult<void> SPF::writeTo(PacketWriter& pw) const
{
    return writeRawRdata(pw, data);
}

} // namespace recursor::rdata::obsolete
