// Reads arbitrary bytes as the COOKIE path of a query: four bytes of the clock, one that picks the
// client's address family, then an OPT record's option list. A COOKIE found must hold 8 client bytes and
// a server cookie of 0 or 8 to 32 bytes viewed inside the input; checking it must not read past it; and
// the fresh cookie a reply carries must verify for the same client at the same time, with either of two
// secrets, and for no other address.
#include "server/cookies.h"

#include <cstdio>
#include <cstdlib>

namespace {

using namespace recursor;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_cookie: %s\n", what);
    std::abort();
}

constexpr SipHashKey secret_a { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 };
constexpr SipHashKey secret_b { 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1 };

// 0: an IPv4 client, 1: an IPv6 one, 2: one of no known family.
CookieClientIp clientOf(unsigned family)
{
    const char* literal = family == 0 ? "192.0.2.1" : family == 1 ? "2001:db8::1" : nullptr;
    return literal ? CookieClientIp::of(*SocketAddress::fromIpLiteral(literal, 53)) : CookieClientIp {};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    const std::uint32_t now = (std::uint32_t { data[0] } << 24) | (std::uint32_t { data[1] } << 16)
        | (std::uint32_t { data[2] } << 8) | data[3];
    const CookieClientIp ip = clientOf(data[4] % 3u);
    const std::span<const std::uint8_t> options(data + 5, size - 5);
    const auto found = findCookieOption(options);
    if (!found || !*found)
        return 0;
    const CookieOption& cookie = **found;
    const std::size_t server_size = cookie.server.size();
    if (server_size != 0 && (server_size < min_server_cookie_size || server_size > max_server_cookie_size))
        fail("a server cookie of a length the option reader should have refused");
    if (!cookie.server.empty()
        && (cookie.server.data() < options.data()
            || cookie.server.data() + server_size > options.data() + options.size()))
        fail("the server cookie views outside the input");
    const CookieSecrets secrets { secret_a, secret_b };
    (void)secrets.verifies(cookie, ip, now);
    const ReplyCookie reply = secrets.reply(cookie.client, ip, now);
    const CookieOption echoed { cookie.client, std::span(reply).subspan(client_cookie_size) };
    if (!secrets.verifies(echoed, ip, now) || !CookieSecrets { secret_b, secret_a }.verifies(echoed, ip, now))
        fail("a fresh server cookie does not verify");
    if (secrets.verifies(echoed, clientOf((data[4] + 1u) % 3u), now))
        fail("a server cookie verifies for another address");
    return 0;
}
