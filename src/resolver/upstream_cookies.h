// DNS cookies towards the servers we ask (RFC 7873 §5.1, §5.3): a client cookie of our own for each
// server address, so that no two servers can link our questions by it; the server cookie each server
// last gave us, sent back to it; and the check that a reply echoes the client cookie sent, which an
// off-path forger cannot know.
#pragma once

#include "base/siphash.h"
#include "base/socket_address.h"
#include "wire/cookie_option.h"

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

class UpstreamCookies {
public:
    // Servers whose cookie is remembered; beyond it the oldest is forgotten, so that the servers a
    // stranger can make us ask cannot grow it without bound.
    static constexpr std::size_t max_servers = 8192;

    explicit UpstreamCookies(const SipHashKey& secret);

    // The one store of the process, with a secret drawn at start-up.
    static UpstreamCookies& process();

    // SipHash-2-4 of the server's address under our secret: the same for a server all along, different
    // for every other server.
    ClientCookie clientCookieFor(const SocketAddress& server) const;
    // The COOKIE option data to send `server`: our client cookie, and its server cookie when we have one.
    std::vector<std::uint8_t> optionFor(const SocketAddress& server) const;

    enum class Echo : std::uint8_t {
        none, // the reply carries no COOKIE option: a server that speaks no cookies
        ours, // our client cookie echoed (its server cookie, if any, is now remembered)
        forged, // another client cookie, or a COOKIE option of a bad length
    };
    // What the OPT options of a reply from `server` say of our cookie.
    Echo takeReply(const SocketAddress& server, std::span<const std::uint8_t> options);

    std::size_t serversRemembered() const;

private:
    using Key = std::array<std::uint8_t, 17>; // the address length, then its bytes, zero-padded

    static Key keyOf(const SocketAddress& server);

    SipHashKey secret_;
    mutable std::mutex mutex_;
    std::map<Key, std::pair<std::uint64_t, std::vector<std::uint8_t>>> server_cookies_; // age, cookie
    std::uint64_t stores_ { 0 };
};

// Replies from servers asked over UDP dropped because they echoed a client cookie we did not send:
// forgeries, or strays.
[[nodiscard]] std::uint64_t upstreamCookieMismatches();
void countUpstreamCookieMismatch();

} // namespace recursor
