// Reading a client request and building the error replies that need no resolution.
#pragma once

#include "server/edns.h"
#include "wire/record.h"

#include <optional>
#include <span>
#include <vector>

namespace recursor {

struct QueryParseContext {
    DnsMessage msg; // borrows the request packet
    std::optional<EdnsInfo> edns_info;
    QType qtype { QType::a };
    QClass qclass { QClass::in };
    std::uint16_t query_id { 0 };
    DnsName qname;
    bool valid_question { false }; // QDCOUNT is exactly 1
};

// Parses the request and its EDNS data; parser errors and MalformedEdns are passed on.
WireResult<QueryParseContext> parseQueryForAuthoritativeAnswer(std::span<const std::uint8_t> packet);

// An error reply for a raw request: with its question when it has one, else header only. When the
// request had a valid OPT, so has the reply: `udp_payload_size` (ours), version 0, DO echoed.
WireResult<std::vector<std::uint8_t>> buildErrorResponse(
    std::span<const std::uint8_t> packet, RCode rcode, std::uint16_t udp_payload_size);
// 12 bytes: the request's ID (0 when it is shorter than 12 bytes), QR and the RCODE.
std::vector<std::uint8_t> buildMinimalHeaderErrorResponse(std::span<const std::uint8_t> packet, RCode rcode);
WireResult<std::vector<std::uint8_t>> buildErrorResponseFromContext(const DnsMessage& request,
    const std::optional<EdnsInfo>& edns, RCode rcode, std::uint16_t udp_payload_size);
// 12 bytes, or 23 with an empty OPT record of `udp_payload_size` echoing the request's DO bit.
std::vector<std::uint8_t> buildHeaderOnlyErrorResponse(
    std::uint16_t id, const std::optional<EdnsInfo>& edns, RCode rcode, std::uint16_t udp_payload_size);

} // namespace recursor
