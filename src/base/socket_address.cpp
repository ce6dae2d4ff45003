#include "base/socket_address.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

namespace recursor {

std::optional<SocketAddress> SocketAddress::fromIpLiteral(std::string_view host, std::uint16_t port)
{
    // inet_pton needs a terminated string; literals are short.
    if (host.empty() || host.size() >= INET6_ADDRSTRLEN)
        return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    std::memcpy(text, host.data(), host.size());

    SocketAddress out;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.storage_);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        return out;
    }
    out.storage_ = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.storage_);
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        return out;
    }
    return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::fromSockaddr(const sockaddr* sa, socklen_t len)
{
    SocketAddress out;
    if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
        std::memcpy(&out.storage_, sa, sizeof(sockaddr_in));
        return out;
    }
    if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
        std::memcpy(&out.storage_, sa, sizeof(sockaddr_in6));
        return out;
    }
    return std::nullopt;
}

std::uint16_t SocketAddress::port() const
{
    if (isIPv6())
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage_)->sin_port);
}

void SocketAddress::setPort(std::uint16_t port)
{
    if (isIPv6())
        reinterpret_cast<sockaddr_in6*>(&storage_)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&storage_)->sin_port = htons(port);
}

socklen_t SocketAddress::sockaddrLen() const
{
    return isIPv6() ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

std::string SocketAddress::toString() const
{
    char text[INET6_ADDRSTRLEN] = {};
    if (isIPv6()) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr, text, sizeof text);
        std::string out = "[";
        out += text;
        out += "]:";
        out += std::to_string(port());
        return out;
    }
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage_)->sin_addr, text, sizeof text);
    std::string out = text;
    out += ':';
    out += std::to_string(port());
    return out;
}

namespace {

    bool isForbiddenIPv4(const std::uint8_t* a, bool allow_loopback)
    {
        if (a[0] == 127)
            return !allow_loopback;
        return a[0] == 0 // unspecified, "this network" (RFC 1122 §3.2.1.3)
            || (a[0] == 169 && a[1] == 254) // link-local (RFC 3927)
            || (a[0] & 0xF0) == 224 // multicast (RFC 5771)
            || (a[0] == 255 && a[1] == 255 && a[2] == 255 && a[3] == 255); // limited broadcast
    }

} // namespace

bool SocketAddress::isForbiddenUpstream(bool allow_loopback) const
{
    if (family() == AF_INET) {
        const auto& sin = *reinterpret_cast<const sockaddr_in*>(&storage_);
        return isForbiddenIPv4(reinterpret_cast<const std::uint8_t*>(&sin.sin_addr), allow_loopback);
    }
    if (family() != AF_INET6)
        return true;
    const std::uint8_t* a = reinterpret_cast<const sockaddr_in6*>(&storage_)->sin6_addr.s6_addr;
    static constexpr std::uint8_t mapped_prefix[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF };
    if (std::memcmp(a, mapped_prefix, sizeof mapped_prefix) == 0)
        return isForbiddenIPv4(a + 12, allow_loopback);
    static constexpr std::uint8_t zeros[15] = {};
    if (std::memcmp(a, zeros, sizeof zeros) == 0) {
        if (a[15] == 1)
            return !allow_loopback; // ::1
        if (a[15] == 0)
            return true; // ::
    }
    return (a[0] == 0xFE && (a[1] & 0xC0) == 0x80) // link-local fe80::/10
        || a[0] == 0xFF; // multicast ff00::/8
}

bool SocketAddress::operator==(const SocketAddress& other) const
{
    return family() == other.family() && std::memcmp(&storage_, &other.storage_, sockaddrLen()) == 0;
}

} // namespace recursor
