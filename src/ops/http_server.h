// STUB: replaced by the full HTTP metrics server.
#pragma once
#include <cstdint>
namespace recursor {
struct HttpServerConfig {
    std::uint32_t max_connections { 50 };
};
} // namespace recursor
