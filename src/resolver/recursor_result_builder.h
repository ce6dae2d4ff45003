// The resolver's answer to the server and the helpers that build it.
#pragma once

#include "wire/constants.h"

#include <cstdint>
#include <vector>

namespace recursor {

struct ResolveResult {
    std::vector<std::uint8_t> packet; // complete response: ID 0, no OPT record
    std::uint16_t answer_count { 0 };
    RCode rcode { RCode::no_error };
    bool from_cache { false };
    bool validated { false }; // equals the AD bit in `packet`
    bool has_dnssec_records { false };
};

} // namespace recursor
