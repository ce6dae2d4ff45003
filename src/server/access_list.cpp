#include "server/access_list.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>

namespace recursor {

namespace {

    // The address as 16 bytes, IPv4 in its mapped form (::ffff:a.b.c.d).
    std::array<std::uint8_t, 16> asV6(const SocketAddress& address)
    {
        std::array<std::uint8_t, 16> out {};
        if (address.family() == AF_INET) {
            out[10] = 0xFF;
            out[11] = 0xFF;
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(address.sockaddrPtr());
            std::memcpy(out.data() + 12, &v4->sin_addr, 4);
        } else if (address.family() == AF_INET6) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address.sockaddrPtr());
            std::memcpy(out.data(), &v6->sin6_addr, 16);
        }
        return out;
    }

    std::string_view trimmed(std::string_view text)
    {
        while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
            text.remove_prefix(1);
        while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
            text.remove_suffix(1);
        return text;
    }

} // namespace

ServerResult<AccessList> AccessList::parse(std::span<const std::string> prefixes)
{
    if (prefixes.empty())
        return loopbackOnly();
    AccessList list;
    for (std::string_view text : prefixes) {
        text = trimmed(text);
        const auto slash = text.find('/');
        const auto address = SocketAddress::fromIpLiteral(text.substr(0, slash), 0);
        if (!address)
            return std::unexpected(ServerError::InvalidAddress);
        const unsigned width = address->family() == AF_INET ? 32 : 128;
        unsigned length = width;
        if (slash != std::string_view::npos) {
            const std::string_view digits = text.substr(slash + 1);
            const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
            if (ec != std::errc {} || end != digits.data() + digits.size() || digits.empty()
                || length > width)
                return std::unexpected(ServerError::InvalidAddress);
        }
        list.prefixes_.push_back({ asV6(*address), length + (128 - width) });
    }
    return list;
}

AccessList AccessList::loopbackOnly()
{
    std::array<std::string, 2> loopback { "127.0.0.0/8", "::1" };
    return *parse(loopback);
}

bool AccessList::allows(const SocketAddress& client) const
{
    const auto bytes = asV6(client);
    for (const Prefix& prefix : prefixes_) {
        const unsigned whole = prefix.length / 8;
        const unsigned rest = prefix.length % 8;
        if (std::memcmp(bytes.data(), prefix.bytes.data(), whole) != 0)
            continue;
        const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
        if (rest == 0 || ((bytes[whole] ^ prefix.bytes[whole]) & mask) == 0)
            return true;
    }
    return false;
}

ClientRateLimit::ClientRateLimit(std::uint32_t per_second, std::size_t loops)
    : share_(per_second == 0 ? 0
                             : std::max<std::uint32_t>(
                                 1, per_second / static_cast<std::uint32_t>(std::max<std::size_t>(loops, 1))))
{
}

bool ClientRateLimit::admit(const SocketAddress& client, std::int64_t now_seconds)
{
    if (share_ == 0)
        return true;
    if (now_seconds != second_) {
        counts_.clear();
        second_ = now_seconds;
    }
    const auto bytes = asV6(client);
    std::string key(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    auto it = counts_.find(key);
    if (it == counts_.end()) {
        if (counts_.size() >= max_clients_tracked)
            return true;
        it = counts_.emplace(std::move(key), 0).first;
    }
    return ++it->second <= share_;
}

std::array<std::uint8_t, 16> clientAddressBytes(const SocketAddress& client)
{
    return asV6(client);
}

} // namespace recursor
