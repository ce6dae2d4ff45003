#include "wire/rdata/tsig.h"

namespace recursor::rdata::tsig {

namespace {

    WireResult<Bytes> readSizedBlob(PacketReader& reader)
    {
        const std::uint16_t len = TRY(reader.readU16());
        if (len == 0)
            return Bytes {};
        return reader.readBlob(len);
    }

    WireResult<void> writeSizedBlob(PacketWriter& pw, Bytes blob)
    {
        if (blob.size() > 0xFFFF)
            return std::unexpected(WireError::FieldTooLong);
        TRY_VOID(pw.writeU16(static_cast<std::uint16_t>(blob.size())));
        return pw.writeBlob(blob);
    }

} // namespace

WireResult<TSIG> TSIG::readFrom(PacketReader& reader, std::uint16_t rdlength)
{
    const std::size_t start = reader.pos();
    TSIG tsig;
    tsig.algorithm = TRY(reader.readName());
    const std::uint64_t high = TRY(reader.readU16());
    const std::uint64_t low = TRY(reader.readU32());
    tsig.time_signed = (high << 32) | low;
    tsig.fudge = TRY(reader.readU16());
    tsig.mac = TRY(readSizedBlob(reader));
    tsig.original_id = TRY(reader.readU16());
    tsig.error_code = TRY(reader.readU16());
    tsig.other_data = TRY(readSizedBlob(reader));
    if (reader.pos() - start != rdlength)
        return std::unexpected(WireError::RdataLengthMismatch);
    return tsig;
}

WireResult<void> TSIG::writeTo(PacketWriter& pw) const
{
    if (time_signed > max_time_signed)
        return std::unexpected(WireError::FieldTooLong);
    TRY_VOID(pw.writeName(algorithm, false));
    TRY_VOID(pw.writeU16(static_cast<std::uint16_t>(time_signed >> 32)));
    TRY_VOID(pw.writeU32(static_cast<std::uint32_t>(time_signed)));
    TRY_VOID(pw.writeU16(fudge));
    TRY_VOID(writeSizedBlob(pw, mac));
    TRY_VOID(pw.writeU16(original_id));
    TRY_VOID(pw.writeU16(error_code));
    return writeSizedBlob(pw, other_data);
}

} // namespace recursor::rdata::tsig
