#include "wire/cookie_option.h"

#include "wire/header.h"

#include <algorithm>
#include <netinet/in.h>

namespace recursor {

std::expected<std::optional<CookieOption>, CookieOptionError> findCookieOption(
    std::span<const std::uint8_t> options)
{
    while (options.size() >= 4) {
        const std::uint16_t code = readU16(options);
        const std::size_t length = readU16(options.subspan(2));
        if (length > options.size() - 4)
            break;
        const auto data = options.subspan(4, length);
        options = options.subspan(4 + length);
        if (code != option_cookie)
            continue;
        const bool client_only = length == client_cookie_size;
        const bool with_server = length >= client_cookie_size + min_server_cookie_size
            && length <= client_cookie_size + max_server_cookie_size;
        if (!client_only && !with_server)
            return std::unexpected(CookieOptionError::BadLength);
        CookieOption cookie;
        std::copy_n(data.begin(), client_cookie_size, cookie.client.begin());
        cookie.server = data.subspan(client_cookie_size);
        return cookie;
    }
    return std::optional<CookieOption> {};
}

CookieClientIp CookieClientIp::of(const SocketAddress& address)
{
    CookieClientIp ip;
    if (address.family() == AF_INET) {
        const auto* sin = reinterpret_cast<const sockaddr_in*>(address.sockaddrPtr());
        ip.size = 4;
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&sin->sin_addr), 4, ip.bytes.begin());
    } else if (address.family() == AF_INET6) {
        const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(address.sockaddrPtr());
        ip.size = 16;
        std::copy_n(reinterpret_cast<const std::uint8_t*>(&sin6->sin6_addr), 16, ip.bytes.begin());
    }
    return ip;
}

} // namespace recursor
