// Everything between the resolver's answer and the bytes one client gets: its ID, RD bit and spelling of
// the name; DNSSEC records only when it set DO (RFC 4035 §3.2.1); AD only for secure data it asked AD or
// DO for, never under CD (RFC 6840 §5.7, §5.9); CD echoed; an OPT record exactly when it sent one
// (RFC 6891 §6.1.1); and no more bytes than its channel carries.
#pragma once

#include "server/authoritative_protocol.h"
#include "server/server_error.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace recursor {

enum class ReplyChannel : std::uint8_t { datagram, stream };

// RFC 6891 §7: 16 in the extended RCODE space, 0 in the header and 1 in the OPT record.
inline constexpr std::uint16_t rcode_badvers = 16;
// The UDP size we advertise and answer up to by default: what fits unfragmented on common paths.
inline constexpr std::uint16_t default_edns_buffer_size = 1232;

// Over a stream, a message's whole 16-bit length; over UDP the client's EDNS size capped at ours, or 512.
std::size_t replyLimit(const QueryParseContext& ctx, ReplyChannel channel, std::uint16_t edns_buffer_size);

// The resolver's packet (ID 0, AD when validated, no OPT) shaped for the client of `ctx`.
ServerResult<std::vector<std::uint8_t>> shapeReply(std::vector<std::uint8_t> packet,
    const QueryParseContext& ctx, bool has_dnssec_records, ReplyChannel channel,
    std::uint16_t edns_buffer_size);

// A reply with the question and no records (SERVFAIL, REFUSED, NOTIMP, BADVERS): ID, RD, CD, RA, and
// an OPT record when the request had one, carrying the upper bits of `rcode` and, when given, an
// extended DNS error (RFC 8914).
WireResult<std::vector<std::uint8_t>> buildRcodeReply(const QueryParseContext& ctx, std::uint16_t rcode,
    std::uint16_t edns_buffer_size, std::optional<std::uint16_t> extended_error = std::nullopt);

} // namespace recursor
