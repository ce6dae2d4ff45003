// TSIG record data (RFC 8945 §4.2): the transaction signature of one message.
#pragma once

#include "wire/rdata/common.h"

namespace recursor::rdata::tsig {

struct TSIG {
    static constexpr std::uint64_t max_time_signed = 0xFFFF'FFFF'FFFFull; // a 48-bit field

    DnsName algorithm;
    std::uint64_t time_signed { 0 };
    std::uint16_t fudge { 0 };
    Bytes mac; // preceded on the wire by its 16-bit size
    std::uint16_t original_id { 0 };
    std::uint16_t error_code { 0 };
    Bytes other_data; // preceded on the wire by its 16-bit length
    // The fields must account for exactly `rdlength` bytes (RdataLengthMismatch).
    static WireResult<TSIG> readFrom(PacketReader& reader, std::uint16_t rdlength);
    // FieldTooLong when `time_signed` needs more than 48 bits or `mac` or `other_data` exceeds 65535 bytes.
    WireResult<void> writeTo(PacketWriter& pw) const;
};

} // namespace recursor::rdata::tsig
