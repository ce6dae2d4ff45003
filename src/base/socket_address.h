// An IPv4 or IPv6 socket address (address plus port), held by value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace recursor {

class SocketAddress {
public:
    SocketAddress() = default;

    // Parses an IPv4 or IPv6 literal (no brackets, no zone name lookups); none for anything else.
    static std::optional<SocketAddress> fromIpLiteral(std::string_view host, std::uint16_t port);
    static std::optional<SocketAddress> fromSockaddr(const sockaddr* sa, socklen_t len);

    int family() const { return storage_.ss_family; }
    bool isIPv6() const { return family() == AF_INET6; }
    std::uint16_t port() const;
    void setPort(std::uint16_t port);
    const sockaddr* sockaddrPtr() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    sockaddr* sockaddrPtr() { return reinterpret_cast<sockaddr*>(&storage_); }
    socklen_t sockaddrLen() const;
    // "192.0.2.1:53" or "[2001:db8::1]:53".
    std::string toString() const;

    // Whether this address may not be asked as a nameserver learned from the network: loopback
    // (127/8, ::1; allowed when `allow_loopback`), unspecified and "this network" (0/8, ::), link-local
    // (169.254/16, fe80::/10), multicast (224/4, ff00::/8), the limited broadcast 255.255.255.255, and
    // IPv4-mapped IPv6 forms (::ffff:a.b.c.d) of the IPv4 ones. Also true for no address at all.
    bool isForbiddenUpstream(bool allow_loopback) const;

    bool operator==(const SocketAddress& other) const;

private:
    sockaddr_storage storage_ {};
};

} // namespace recursor
