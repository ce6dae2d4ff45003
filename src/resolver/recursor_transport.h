// Upstream transport settings, one per server, read-only after start-up.
#pragma once

#include <cstdint>

namespace recursor {

struct UpstreamEngine {
    std::uint32_t timeout_ms { 3000 };
    std::uint8_t attempts { 1 };
    bool tcp_fallback { true };
};

} // namespace recursor
