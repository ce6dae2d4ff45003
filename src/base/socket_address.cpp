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

bool SocketAddress::operator==(const SocketAddress& other) const
{
    return family() == other.family() && std::memcmp(&storage_, &other.storage_, sockaddrLen()) == 0;
}

} // namespace recursor
