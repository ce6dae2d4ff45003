#include "server/reply_shaping.h"

#include "server/query.h"
#include "server/udp_response.h"
#include "wire/header.h"

#include <algorithm>
#include <array>
#include <new>

namespace recursor {

namespace {

    constexpr std::size_t max_message_size = 0xFFFF;
    constexpr std::uint16_t option_extended_error = 15;

    bool askedWithDo(const QueryParseContext& ctx)
    {
        return ctx.edns_info && ctx.edns_info->dnssec_ok;
    }

    bool bitSet(const QueryParseContext& ctx, std::size_t index, std::uint8_t mask)
    {
        return (ctx.msg.header.bytes[index] & mask) != 0;
    }

    // The client's ID, RD and CD bits and its question name byte for byte (the stored packet carries
    // the spelling of whoever asked first, and a client that varies letter case checks it, RFC 5452
    // §9.1). AD stays only for a client that can make use of it, and never under CD: data handed out
    // unchecked must not look checked.
    void personalize(std::vector<std::uint8_t>& reply, const QueryParseContext& ctx)
    {
        reply[0] = static_cast<std::uint8_t>(ctx.query_id >> 8);
        reply[1] = static_cast<std::uint8_t>(ctx.query_id);
        setHeaderBit(reply, 2, 0x01, ctx.msg.header.rd());
        const bool cd = bitSet(ctx, 3, flag_cd);
        const bool wants_ad = askedWithDo(ctx) || bitSet(ctx, 3, flag_ad);
        setHeaderBit(reply, 3, flag_ad, (reply[3] & flag_ad) != 0 && wants_ad && !cd);
        setHeaderBit(reply, 3, flag_cd, cd);
        const auto asked = ctx.qname.wireBytes();
        if (reply.size() >= Header::size + asked.size() && readU16(std::span(reply).subspan(4, 2)) == 1)
            std::copy(asked.begin(), asked.end(), reply.begin() + Header::size);
    }

    // RFC 4035 §3.2.1: without DO, signatures and denial records go only to a client that asked for
    // that very type.
    WireResult<std::vector<std::uint8_t>> withoutDnssecRecords(
        std::span<const std::uint8_t> packet, const QueryParseContext& ctx)
    {
        return rewriteResponse(
            packet, max_message_size,
            [&](const DnsRecord& rec) {
                const bool dnssec_only
                    = rec.rtype == QType::rrsig || rec.rtype == QType::nsec || rec.rtype == QType::nsec3;
                return !dnssec_only || (rec.section == Section::answer && rec.rtype == ctx.qtype);
            },
            false, ctx.qname);
    }

    ServerError fromWire(WireError e)
    {
        return e == WireError::OutOfMemory ? ServerError::OutOfMemory : ServerError::BufferTooSmall;
    }

} // namespace

std::size_t replyLimit(const QueryParseContext& ctx, ReplyChannel channel, std::uint16_t edns_buffer_size)
{
    if (channel == ReplyChannel::stream)
        return max_message_size;
    if (!ctx.edns_info)
        return min_udp_payload;
    return clampUdpPayloadSize(std::min(ctx.edns_info->udp_payload_size, edns_buffer_size));
}

ServerResult<std::vector<std::uint8_t>> shapeReply(std::vector<std::uint8_t> packet,
    const QueryParseContext& ctx, bool has_dnssec_records, ReplyChannel channel,
    std::uint16_t edns_buffer_size)
{
    if (packet.size() < Header::size)
        return std::unexpected(ServerError::BufferTooSmall);
    try {
        personalize(packet, ctx);
        if (has_dnssec_records && !askedWithDo(ctx)) {
            auto stripped = withoutDnssecRecords(packet, ctx);
            if (!stripped)
                return std::unexpected(fromWire(stripped.error()));
            packet = std::move(*stripped);
        }
        if (ctx.edns_info)
            appendOptRecord(packet, edns_buffer_size, 0, askedWithDo(ctx));
    } catch (const std::bad_alloc&) {
        return std::unexpected(ServerError::OutOfMemory);
    }
    const std::size_t limit = replyLimit(ctx, channel, edns_buffer_size);
    if (packet.size() <= limit)
        return packet;
    auto truncated = truncateUdpResponse(packet, limit, ctx.qname);
    if (!truncated)
        return std::unexpected(fromWire(truncated.error()));
    return std::move(*truncated);
}

WireResult<std::vector<std::uint8_t>> buildRcodeReply(const QueryParseContext& ctx, std::uint16_t rcode,
    std::uint16_t edns_buffer_size, std::optional<std::uint16_t> extended_error)
{
    auto reply = TRY(buildResponse(ctx,
        ResponseOptions {
            .qclass = ctx.qclass,
            .authoritative = false,
            .recursion_desired = ctx.msg.header.rd(),
            .recursion_available = true,
        },
        static_cast<RCode>(rcode & 0x0F)));
    try {
        setHeaderBit(reply, 3, flag_cd, bitSet(ctx, 3, flag_cd));
        if (ctx.edns_info) {
            std::vector<std::uint8_t> options;
            if (extended_error) {
                options = { 0, option_extended_error, 0, 2, static_cast<std::uint8_t>(*extended_error >> 8),
                    static_cast<std::uint8_t>(*extended_error) };
            }
            appendOptRecord(
                reply, edns_buffer_size, static_cast<std::uint8_t>(rcode >> 4), askedWithDo(ctx), options);
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(WireError::OutOfMemory);
    }
    return reply;
}

} // namespace recursor
