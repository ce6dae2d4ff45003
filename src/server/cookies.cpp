#include "server/cookies.h"

#include "base/random.h"

#include <algorithm>

namespace recursor {

namespace {

    constexpr std::uint8_t server_cookie_version = 1; // RFC 9018 §4.1
    constexpr std::int64_t cookie_lifetime_seconds = 3600; // RFC 9018 §4.3
    constexpr std::int64_t cookie_clock_skew_seconds = 300;

    std::uint32_t readU32At(std::span<const std::uint8_t> bytes)
    {
        return (std::uint32_t { bytes[0] } << 24) | (std::uint32_t { bytes[1] } << 16)
            | (std::uint32_t { bytes[2] } << 8) | bytes[3];
    }

    int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool matchesWith(const SipHashKey& secret, const CookieOption& cookie, const CookieClientIp& ip,
        std::uint32_t timestamp)
    {
        const ServerCookie expected = makeServerCookie(secret, cookie.client, ip, timestamp);
        return std::ranges::equal(expected, cookie.server);
    }

} // namespace

ServerCookie makeServerCookie(
    const SipHashKey& secret, const ClientCookie& client, const CookieClientIp& ip, std::uint32_t timestamp)
{
    ServerCookie cookie {};
    cookie[0] = server_cookie_version; // bytes 1 to 3 are reserved, zero
    cookie[4] = static_cast<std::uint8_t>(timestamp >> 24);
    cookie[5] = static_cast<std::uint8_t>(timestamp >> 16);
    cookie[6] = static_cast<std::uint8_t>(timestamp >> 8);
    cookie[7] = static_cast<std::uint8_t>(timestamp);
    std::array<std::uint8_t, client_cookie_size + 8 + 16> input {};
    std::copy(client.begin(), client.end(), input.begin());
    std::copy_n(cookie.begin(), 8, input.begin() + client_cookie_size);
    const auto address = ip.view();
    std::copy(address.begin(), address.end(), input.begin() + client_cookie_size + 8);
    // RFC 9018 §4.4: the hash is the reference implementation's 8 output bytes, in their order.
    const std::uint64_t hash = sipHash24(secret, std::span(input).first(client_cookie_size + 8 + ip.size));
    for (std::size_t i = 0; i < 8; ++i)
        cookie[8 + i] = static_cast<std::uint8_t>(hash >> (8 * i));
    return cookie;
}

CookieSecrets CookieSecrets::random()
{
    CookieSecrets secrets;
    randomBytes(secrets.current);
    return secrets;
}

std::optional<SipHashKey> CookieSecrets::keyFromHex(std::string_view hex)
{
    SipHashKey key {};
    if (hex.size() != 2 * key.size())
        return std::nullopt;
    for (std::size_t i = 0; i < key.size(); ++i) {
        const int high = hexValue(hex[2 * i]);
        const int low = hexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        key[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return key;
}

bool CookieSecrets::verifies(const CookieOption& cookie, const CookieClientIp& ip, std::uint32_t now) const
{
    if (cookie.server.size() != server_cookie_size || cookie.server[0] != server_cookie_version)
        return false;
    const std::uint32_t timestamp = readU32At(cookie.server.subspan(4));
    const std::int64_t age = static_cast<std::int32_t>(now - timestamp);
    if (age > cookie_lifetime_seconds || age < -cookie_clock_skew_seconds)
        return false;
    return matchesWith(current, cookie, ip, timestamp)
        || (previous && matchesWith(*previous, cookie, ip, timestamp));
}

ReplyCookie CookieSecrets::reply(
    const ClientCookie& client, const CookieClientIp& ip, std::uint32_t now) const
{
    ReplyCookie option {};
    std::copy(client.begin(), client.end(), option.begin());
    const ServerCookie server = makeServerCookie(current, client, ip, now);
    std::copy(server.begin(), server.end(), option.begin() + client_cookie_size);
    return option;
}

} // namespace recursor
