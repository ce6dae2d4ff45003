#include "server/query.h"

namespace recursor {

WireResult<std::vector<std::uint8_t>> buildResponse(
    const QueryParseContext& ctx, const ResponseOptions& options, RCode rcode)
{
    auto writer = TRY(PacketWriter::init(ctx.qname, ctx.qtype, options.qclass));
    auto header = writer.getHeader();
    header[0] = static_cast<std::uint8_t>(ctx.query_id >> 8);
    header[1] = static_cast<std::uint8_t>(ctx.query_id);
    setHeaderBit(header, 2, flag_qr, true);
    setHeaderBit(header, 2, 0x04, options.authoritative);
    setHeaderBit(header, 2, 0x01, options.recursion_desired);
    setHeaderBit(header, 3, 0x80, options.recursion_available);
    setHeaderRcode(header, rcode);
    return writer.finish();
}

} // namespace recursor
