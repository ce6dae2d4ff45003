// STUB: replaced by the full control socket.
#pragma once
#include <cstdint>
namespace recursor {
struct ControlSocketConfig {
    std::uint32_t max_connections { 10 };
    std::uint32_t socket_mode { 0600 };
    std::uint32_t read_timeout_ms { 1000 };
    std::uint32_t write_timeout_ms { 1000 };
};
} // namespace recursor
