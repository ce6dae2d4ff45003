#include "server/authoritative_protocol.h"

namespace recursor {

namespace {

    void putU16(std::vector<std::uint8_t>& out, std::size_t offset, std::uint16_t val)
    {
        out[offset] = static_cast<std::uint8_t>(val >> 8);
        out[offset + 1] = static_cast<std::uint8_t>(val);
    }

    std::vector<std::uint8_t> errorHeader(std::uint16_t id, RCode rcode)
    {
        std::vector<std::uint8_t> out(Header::size, 0);
        putU16(out, 0, id);
        out[2] = flag_qr;
        out[3] = static_cast<std::uint8_t>(rcode) & 0x0F;
        return out;
    }

} // namespace

WireResult<QueryParseContext> parseQueryForAuthoritativeAnswer(std::span<const std::uint8_t> packet)
{
    QueryParseContext ctx;
    ctx.msg = TRY(DnsMessage::parse(packet));
    ctx.edns_info = TRY(EdnsInfo::fromQuery(ctx.msg));
    ctx.qname = ctx.msg.question_name;
    ctx.qtype = ctx.msg.question_type;
    ctx.qclass = ctx.msg.question_class;
    ctx.query_id = ctx.msg.header.id();
    ctx.valid_question = ctx.msg.header.qdCount() == 1;
    return ctx;
}

std::vector<std::uint8_t> buildMinimalHeaderErrorResponse(std::span<const std::uint8_t> packet, RCode rcode)
{
    const std::uint16_t id = packet.size() >= Header::size ? readU16(packet) : 0;
    return errorHeader(id, rcode);
}

WireResult<std::vector<std::uint8_t>> buildErrorResponseFromContext(const DnsMessage& request,
    const std::optional<EdnsInfo>& edns, RCode rcode, std::uint16_t udp_payload_size)
{
    auto writer
        = TRY(PacketWriter::init(request.question_name, request.question_type, request.question_class));
    auto header = writer.getHeader();
    header[0] = request.header.bytes[0];
    header[1] = request.header.bytes[1];
    header[2] = flag_qr;
    setHeaderRcode(header, rcode);
    if (edns) {
        TRY_VOID(addOpt(writer, udp_payload_size,
            AddOptOptions { .options = {}, .ext_rcode = 0, .version = 0, .dnssec_ok = edns->dnssec_ok }));
    }
    return writer.finish();
}

std::vector<std::uint8_t> buildHeaderOnlyErrorResponse(
    std::uint16_t id, const std::optional<EdnsInfo>& edns, RCode rcode, std::uint16_t udp_payload_size)
{
    std::vector<std::uint8_t> out = errorHeader(id, rcode);
    if (edns)
        appendOptRecord(out, udp_payload_size, 0, edns->dnssec_ok);
    return out;
}

WireResult<std::vector<std::uint8_t>> buildErrorResponse(
    std::span<const std::uint8_t> packet, RCode rcode, std::uint16_t udp_payload_size)
{
    auto request = DnsMessage::parse(packet);
    if (!request) {
        if (request.error() == WireError::OutOfMemory)
            return std::unexpected(WireError::OutOfMemory);
        return buildMinimalHeaderErrorResponse(packet, rcode);
    }
    const std::optional<EdnsInfo> edns = EdnsInfo::fromResponse(*request);
    if (request->header.qdCount() == 1)
        return buildErrorResponseFromContext(*request, edns, rcode, udp_payload_size);
    return buildHeaderOnlyErrorResponse(request->header.id(), edns, rcode, udp_payload_size);
}

} // namespace recursor
