// DNS cookies towards clients (RFC 7873, RFC 9018): making and checking the interoperable server
// cookie, so that a client that proved it receives at its address can be told apart from a forged
// source. The option itself is read by wire/cookie_option.h.
#pragma once

#include "base/siphash.h"
#include "base/socket_address.h"
#include "wire/cookie_option.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace recursor {

inline constexpr std::size_t server_cookie_size = 16; // the interoperable form (RFC 9018 §4)

using ServerCookie = std::array<std::uint8_t, server_cookie_size>;
// The option data of a reply: the client's cookie, then ours.
using ReplyCookie = std::array<std::uint8_t, client_cookie_size + server_cookie_size>;

// RFC 9018 §4: version 1, three reserved zero bytes, the 32-bit timestamp, then the first 8 bytes of
// SipHash-2-4 over client cookie | version | reserved | timestamp | client IP, keyed by `secret`.
ServerCookie makeServerCookie(
    const SipHashKey& secret, const ClientCookie& client, const CookieClientIp& ip, std::uint32_t timestamp);

// The secrets a server cookie is made with (`current`) and checked against (either): a rolled-over
// secret keeps the cookies it made valid for their hour.
struct CookieSecrets {
    SipHashKey current {};
    std::optional<SipHashKey> previous;

    // A random current secret, for a server that was given none.
    static CookieSecrets random();
    // 32 hex digits; none for anything else.
    static std::optional<SipHashKey> keyFromHex(std::string_view hex);

    // Whether `cookie` is one we made for this client within the last hour, or up to 5 minutes ahead of
    // our clock (RFC 9018 §4.3), with either secret. Timestamps compare in serial number arithmetic
    // (RFC 1982), so the 2106 wrap changes nothing.
    bool verifies(const CookieOption& cookie, const CookieClientIp& ip, std::uint32_t now) const;
    // The option data of a reply: the client cookie and a fresh server cookie made now.
    ReplyCookie reply(const ClientCookie& client, const CookieClientIp& ip, std::uint32_t now) const;
};

} // namespace recursor
