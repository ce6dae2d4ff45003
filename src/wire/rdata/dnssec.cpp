#include "wire/rdata/dnssec.h"

#include <new>

namespace recursor::rdata::dnssec {

WireResult<DNSKEY> DNSKEY::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 4));
    const std::size_t start = reader.pos();
    DNSKEY key;
    key.flags = TRY(reader.readU16());
    key.protocol = TRY(reader.readU8());
    key.algorithm = TRY(reader.readU8());
    key.public_key = TRY(readRest(reader, start, rdlength));
    return key;
}

WireResult<void> DNSKEY::writeTo(PacketWriter& pw) const
{
    return writeU16U8U8Bytes(pw, flags, protocol, algorithm, public_key);
}

WireResult<OwnedDnskey> DNSKEY::copyOwned() const
{
    OwnedDnskey owned;
    owned.flags_ = flags;
    owned.protocol_ = protocol;
    owned.algorithm_ = algorithm;
    try {
        owned.public_key_.assign(public_key.begin(), public_key.end());
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }
    return owned;
}

WireResult<DS> DS::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, 4));
    const std::size_t start = reader.pos();
    DS ds;
    ds.keytag = TRY(reader.readU16());
    ds.algorithm = TRY(reader.readU8());
    ds.digest_type = TRY(reader.readU8());
    ds.digest = TRY(readRest(reader, start, rdlength));
    return ds;
}

WireResult<void> DS::writeTo(PacketWriter& pw) const
{
    return writeU16U8U8Bytes(pw, keytag, algorithm, digest_type, digest);
}

WireResult<RRSIG> RRSIG::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    TRY_VOID(requireMinLength(rdlength, min_rdlength));
    return readFields(reader, rdlength, WireError::PacketTooShort);
}

WireResult<RRSIG> RRSIG::readFields(PacketReader& reader, std::uint16_t rdlength, WireError overrun)
{
    const std::size_t start = reader.pos();
    RRSIG sig;
    sig.type_covered = TRY(reader.readU16());
    sig.algorithm = TRY(reader.readU8());
    sig.labels = TRY(reader.readU8());
    sig.original_ttl = TRY(reader.readU32());
    sig.sig_expiration = TRY(reader.readU32());
    sig.sig_inception = TRY(reader.readU32());
    sig.keytag = TRY(reader.readU16());
    sig.signer_name = TRY(reader.readName());
    sig.signature = TRY(readRest(reader, start, rdlength, overrun));
    return sig;
}

WireResult<void> RRSIG::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeU16(type_covered));
    TRY_VOID(pw.writeU8(algorithm));
    TRY_VOID(pw.writeU8(labels));
    TRY_VOID(pw.writeU32(original_ttl));
    TRY_VOID(pw.writeU32(sig_expiration));
    TRY_VOID(pw.writeU32(sig_inception));
    TRY_VOID(pw.writeU16(keytag));
    TRY_VOID(pw.writeName(signer_name, false));
    return pw.writeBlob(signature);
}

WireResult<NSEC> NSEC::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    const std::size_t start = reader.pos();
    NSEC nsec;
    nsec.next_name = TRY(reader.readName());
    nsec.type_bitmaps = TRY(readRest(reader, start, rdlength));
    return nsec;
}

WireResult<void> NSEC::writeTo(PacketWriter& pw) const
{
    TRY_VOID(pw.writeName(next_name, false));
    return pw.writeBlob(type_bitmaps);
}

} // namespace recursor::rdata::dnssec
