// Who may ask: client address prefixes (RFC 5358 §4: a resolver open to anyone serves attacks too),
// and how often one client address may ask.
#pragma once

#include "base/socket_address.h"
#include "server/server_error.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace recursor {

class AccessList {
public:
    // Prefixes as "192.0.2.0/24", "2001:db8::/32", or a single address. An empty list is
    // loopback only (127.0.0.0/8 and ::1). InvalidAddress for anything else.
    static ServerResult<AccessList> parse(std::span<const std::string> prefixes);
    static AccessList loopbackOnly();

    // IPv4-mapped IPv6 clients (a dual-stack socket) are matched as the IPv4 address they are.
    bool allows(const SocketAddress& client) const;

private:
    struct Prefix {
        std::array<std::uint8_t, 16> bytes {}; // IPv4 as its mapped IPv6 form
        unsigned length { 0 }; // in bits of the 16 bytes
    };
    std::vector<Prefix> prefixes_;
};

// The address as 16 bytes, IPv4 (and IPv4-mapped IPv6) as ::ffff:a.b.c.d, as the list matches it.
std::array<std::uint8_t, 16> clientAddressBytes(const SocketAddress& client);

// Questions per second per client address, counted in whole seconds. Each event loop has its own,
// and a client's datagrams are spread over the loops, so each takes its share of the limit. When more
// clients ask in one second than it keeps, the others are let through: spoofed sources must not lock
// real clients out.
class ClientRateLimit {
public:
    ClientRateLimit(std::uint32_t per_second, std::size_t loops);
    // False when this client has asked its share this second already. Always true with no limit.
    bool admit(const SocketAddress& client, std::int64_t now_seconds);

    static constexpr std::size_t max_clients_tracked = 65536;

private:
    std::uint32_t share_;
    std::int64_t second_ { 0 };
    std::unordered_map<std::string, std::uint32_t> counts_;
};

} // namespace recursor
