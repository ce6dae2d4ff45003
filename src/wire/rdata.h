// PLACEHOLDER until the record data types land: every record is carried as opaque data.
#pragma once

#include "wire/reader.h"
#include "wire/writer.h"

#include <span>

namespace recursor {

enum class RDataTag : std::uint8_t { unknown = 51 };

struct RData {
    struct Unknown {
        std::span<const std::uint8_t> data;
        QType rtype {};
    };
    static WireResult<RData> readFrom(QType rtype, PacketReader& reader, std::uint16_t rdlength);
    WireResult<void> writeTo(PacketWriter& pw) const;
    RDataTag tag() const { return RDataTag::unknown; }
    Unknown unknown;
};

} // namespace recursor
