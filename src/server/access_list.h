// Who may ask: client address prefixes (RFC 5358 §4: a resolver open to anyone serves attacks too),
// and how often one client address may ask.
#pragma once

#include "base/socket_address.h"
#include "server/server_error.h"

#include <array>
#include <climits>
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

// Questions per second per client, counted in whole seconds. A client is an IPv4 address, or an IPv6
// prefix (/56 by default): one host commonly holds a whole /64 or more, and could otherwise step through
// its addresses to multiply its rate. Each event loop has its own limiter, and a client's datagrams are
// spread over the loops, so each takes its share of the limit. The table is bounded: when full, the
// client seen least recently is forgotten to make room, so a flood of spoofed sources costs a bounded
// amount of memory and neither locks real clients out nor lets a heavy one through unmetered.
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

    explicit ClientRateLimit(Settings settings);
    ClientRateLimit(std::uint32_t per_second, std::size_t loops)
        : ClientRateLimit(Settings { .per_second = per_second, .loops = loops })
    {
    }
    // False when this client has asked its share this second already. Always true with no limit.
    bool admit(const SocketAddress& client, std::int64_t now_seconds);
    std::size_t trackedClients() const { return index_.size(); }

private:
    using Key = std::array<std::uint8_t, 16>;
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    // A slot of the table, linked from the most recently seen client to the least.
    struct Slot {
        Key key {};
        std::int64_t second { 0 };
        std::uint32_t count { 0 };
        std::uint32_t newer { no_slot };
        std::uint32_t older { no_slot };
    };
    static constexpr std::uint32_t no_slot = UINT32_MAX;

    Key keyOf(const SocketAddress& client) const;
    std::uint32_t takeSlot(const Key& key);
    void unlink(std::uint32_t slot);
    void pushNewest(std::uint32_t slot);

    std::uint32_t share_;
    unsigned ipv6_prefix_bits_;
    std::size_t capacity_;
    std::vector<Slot> slots_;
    std::unordered_map<Key, std::uint32_t, KeyHash> index_;
    std::uint32_t newest_ { no_slot };
    std::uint32_t oldest_ { no_slot };
};

} // namespace recursor
