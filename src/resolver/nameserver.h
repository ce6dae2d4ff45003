// A fixed-capacity set of nameserver addresses, held by value (no allocation), and the root servers.
#pragma once

#include "base/socket_address.h"
#include "wire/name.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace recursor {

struct NameserverSet {
    static constexpr std::size_t capacity = 13;

    // Adding to a full set does nothing.
    void append(const SocketAddress& addr)
    {
        if (count < capacity)
            addrs[count++] = addr;
    }
    std::span<const SocketAddress> slice() const { return { addrs.data(), count }; }
    void replace(const NameserverSet& other) { *this = other; }
    // The 13 built-in IPv4 root server addresses, in table order, each with `port`.
    void loadRoots(std::uint16_t port);
    bool empty() const { return count == 0; }

    std::size_t count { 0 };
    std::array<SocketAddress, capacity> addrs {};
};

// The A and then the AAAA records of a root hints file (RFC 1034 master file lines, as in root.hints),
// each as an address with `port`; at most 13, anything else on the lines ignored.
NameserverSet parseRootHints(std::string_view text, std::uint16_t port);

// A zone and the addresses of its servers.
struct Delegation {
    DnsName zone;
    NameserverSet nameservers;
};

} // namespace recursor
