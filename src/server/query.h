// Building a response to a parsed request without resolution data (SERVFAIL and friends).
#pragma once

#include "server/authoritative_protocol.h"

namespace recursor {

struct ResponseOptions {
    QClass qclass { QClass::in };
    bool authoritative { false };
    bool recursion_desired { false };
    bool recursion_available { false };
};

// Header and question only: the request's ID, QR set, the flags of `options` and `rcode`.
WireResult<std::vector<std::uint8_t>> buildResponse(
    const QueryParseContext& ctx, const ResponseOptions& options, RCode rcode);

} // namespace recursor
