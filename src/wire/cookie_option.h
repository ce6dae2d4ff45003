// The COOKIE option of EDNS (RFC 7873 §4), as both ends read it: the server reads a query's, the
// upstream transport a reply's. The cookies' own algorithms live where they are made.
#pragma once

#include "base/socket_address.h"

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>

namespace recursor {

inline constexpr std::uint16_t option_cookie = 10; // RFC 7873 §4
inline constexpr std::uint16_t rcode_badcookie = 23; // RFC 7873 §8, in the extended RCODE space
inline constexpr std::size_t client_cookie_size = 8;
inline constexpr std::size_t min_server_cookie_size = 8; // RFC 7873 §4: 8 to 32 bytes
inline constexpr std::size_t max_server_cookie_size = 32;

using ClientCookie = std::array<std::uint8_t, client_cookie_size>;

// A COOKIE option as a message carries it; `server` views into the message and is empty when there is
// no server cookie yet.
struct CookieOption {
    ClientCookie client {};
    std::span<const std::uint8_t> server;
};

enum class CookieOptionError : std::uint8_t {
    BadLength, // neither 8 bytes nor 16 to 40 (RFC 7873 §5.2.2: FORMERR)
};

// The first COOKIE option in an OPT record's option list, if any. A list whose last option runs past
// its end holds no more options.
std::expected<std::optional<CookieOption>, CookieOptionError> findCookieOption(
    std::span<const std::uint8_t> options);

// An address as cookies hash it (RFC 9018 §4.4): 4 bytes for IPv4, 16 for IPv6; none for anything else.
struct CookieClientIp {
    std::array<std::uint8_t, 16> bytes {};
    std::size_t size { 0 };
    static CookieClientIp of(const SocketAddress& address);
    std::span<const std::uint8_t> view() const { return std::span(bytes).first(size); }
};

} // namespace recursor
