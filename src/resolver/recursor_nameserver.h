// A fixed-capacity set of nameserver addresses, held by value (no allocation).
#pragma once

#include "base/socket_address.h"

#include <array>
#include <cstddef>
#include <span>

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

    std::size_t count { 0 };
    std::array<SocketAddress, capacity> addrs {};
};

} // namespace recursor
