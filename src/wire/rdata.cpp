#include "wire/rdata.h"

namespace recursor {

WireResult<RData> RData::readFrom(QType rtype, PacketReader& reader, std::uint16_t rdlength)
{
    RData r;
    r.unknown = { TRY(reader.readBlob(rdlength)), rtype };
    return r;
}

WireResult<void> RData::writeTo(PacketWriter& pw) const { return pw.writeBlob(unknown.data); }

} // namespace recursor
