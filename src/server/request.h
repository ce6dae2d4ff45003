// A client's request as the server reads it: the parsed message, its EDNS data and its question.
#pragma once

#include "server/cookies.h"
#include "server/edns.h"
#include "wire/record.h"

#include <optional>
#include <span>

namespace recursor {

// Views into the request packet, which its holder keeps alive (a moved vector keeps its buffer).
struct QueryParseContext {
    DnsMessage msg; // borrows the request packet
    std::optional<EdnsInfo> edns_info;
    QType qtype { QType::a };
    QClass qclass { QClass::in };
    std::uint16_t query_id { 0 };
    DnsName qname;
    bool valid_question { false }; // QDCOUNT is exactly 1
    std::optional<CookieOption> cookie; // the client's COOKIE option (RFC 7873 §4)
    // The COOKIE option every reply to it carries: its client cookie and a fresh server cookie.
    std::optional<ReplyCookie> reply_cookie;
};

// Parses the request and its EDNS data; parser errors and MalformedEdns are passed on, the latter also
// for a COOKIE option of a length RFC 7873 §5.2.2 answers with FORMERR.
WireResult<QueryParseContext> parseRequest(std::span<const std::uint8_t> packet);

} // namespace recursor
