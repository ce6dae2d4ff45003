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

// The key a client is counted under, as 16 bytes: an IPv4 (or IPv4-mapped IPv6) address as
// ::ffff:a.b.c.d, an IPv6 address cut to its first `ipv6_prefix_bits` bits, since one host commonly
// holds a whole prefix and could otherwise step through its addresses.
std::array<std::uint8_t, 16> clientKey(const SocketAddress& client, unsigned ipv6_prefix_bits);

// Questions per second per client, counted in whole seconds. A client is an IPv4 address, or an IPv6
// prefix (/56 by default): one host commonly holds a whole /64 or more, and could otherwise step through
// its addresses to multiply its rate. Each event loop has its own limiter, and a client's datagrams are
// spread over the loops, so each takes its share of the limit.
// The table is bounded and allocated once: a client's place is one of `ways` slots picked by a keyed
// hash, and a new client takes the place of the one seen least recently there. A flood of spoofed
// sources thus costs no memory, cannot aim at one client's place, and neither locks real clients out
// nor lets a heavy one through unmetered.
class ClientRateLimit {
public:
    struct Settings {
        std::uint32_t per_second { 0 }; // 0: no limit
        std::size_t loops { 1 };
        unsigned ipv6_prefix_bits { default_ipv6_prefix_bits };
        std::size_t capacity { default_capacity }; // clients tracked at once
    };
    static constexpr unsigned default_ipv6_prefix_bits = 56;
    static constexpr unsigned min_ipv6_prefix_bits = 32;
    static constexpr unsigned max_ipv6_prefix_bits = 128;
    static constexpr std::size_t default_capacity = 65536;
    static constexpr std::size_t ways = 8;

    explicit ClientRateLimit(Settings settings);
    ClientRateLimit(std::uint32_t per_second, std::size_t loops)
        : ClientRateLimit(Settings { .per_second = per_second, .loops = loops })
    {
    }
    // False when this client has asked its share this second already. Always true with no limit.
    bool admit(const SocketAddress& client, std::int64_t now_seconds);
    std::size_t trackedClients() const { return tracked_; }

private:
    using Key = std::array<std::uint8_t, 16>;
    struct Slot {
        Key key {};
        std::uint64_t last_seen { 0 }; // 0: empty
        std::int64_t second { 0 };
        std::uint32_t count { 0 };
    };

    Slot& slotFor(const Key& key);

    std::uint32_t share_;
    unsigned ipv6_prefix_bits_;
    std::size_t ways_ { 1 };
    std::size_t sets_ { 0 };
    std::vector<Slot> slots_; // sets_ runs of ways_ slots
    std::uint64_t clock_ { 0 }; // counts admit() calls: the order clients were last seen in
    std::size_t tracked_ { 0 };
};

} // namespace recursor
