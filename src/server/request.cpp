#include "server/request.h"

namespace recursor {

WireResult<QueryParseContext> parseRequest(std::span<const std::uint8_t> packet)
{
    QueryParseContext ctx;
    ctx.msg = TRY(DnsMessage::parse(packet));
    ctx.edns_info = TRY(EdnsInfo::fromQuery(ctx.msg));
    if (ctx.edns_info) {
        auto cookie = findCookieOption(ctx.edns_info->options_data);
        if (!cookie)
            return std::unexpected(WireError::MalformedEdns);
        ctx.cookie = *cookie;
    }
    ctx.qname = ctx.msg.question_name;
    ctx.qtype = ctx.msg.question_type;
    ctx.qclass = ctx.msg.question_class;
    ctx.query_id = ctx.msg.header.id();
    ctx.valid_question = ctx.msg.header.qdCount() == 1;
    return ctx;
}

} // namespace recursor
