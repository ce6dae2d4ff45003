#include "resolver/upstream_cookies.h"

#include "base/random.h"

#include <algorithm>
#include <atomic>

namespace recursor {

namespace {

    std::atomic<std::uint64_t> cookie_mismatches { 0 };

} // namespace

UpstreamCookies::UpstreamCookies(const SipHashKey& secret)
    : secret_(secret)
{
}

UpstreamCookies& UpstreamCookies::process()
{
    static UpstreamCookies store = [] {
        SipHashKey secret;
        randomBytes(secret);
        return UpstreamCookies(secret);
    }();
    return store;
}

UpstreamCookies::Key UpstreamCookies::keyOf(const SocketAddress& server)
{
    const CookieClientIp ip = CookieClientIp::of(server);
    Key key {};
    key[0] = static_cast<std::uint8_t>(ip.size);
    std::copy(ip.bytes.begin(), ip.bytes.end(), key.begin() + 1);
    return key;
}

ClientCookie UpstreamCookies::clientCookieFor(const SocketAddress& server) const
{
    const Key key = keyOf(server);
    const std::uint64_t hash = sipHash24(secret_, key);
    ClientCookie cookie;
    for (std::size_t i = 0; i < cookie.size(); ++i)
        cookie[i] = static_cast<std::uint8_t>(hash >> (8 * i));
    return cookie;
}

std::vector<std::uint8_t> UpstreamCookies::optionFor(const SocketAddress& server) const
{
    const ClientCookie client = clientCookieFor(server);
    std::vector<std::uint8_t> data(client.begin(), client.end());
    const std::lock_guard lock(mutex_);
    if (auto found = server_cookies_.find(keyOf(server)); found != server_cookies_.end())
        data.insert(data.end(), found->second.second.begin(), found->second.second.end());
    return data;
}

UpstreamCookies::Echo UpstreamCookies::takeReply(
    const SocketAddress& server, std::span<const std::uint8_t> options)
{
    const auto found = findCookieOption(options);
    if (!found)
        return Echo::forged;
    if (!*found)
        return Echo::none;
    if ((*found)->client != clientCookieFor(server))
        return Echo::forged;
    if ((*found)->server.empty())
        return Echo::ours;
    const std::lock_guard lock(mutex_);
    auto& entry = server_cookies_[keyOf(server)];
    entry = { ++stores_, std::vector<std::uint8_t>((*found)->server.begin(), (*found)->server.end()) };
    if (server_cookies_.size() > max_servers) {
        const auto oldest = std::ranges::min_element(
            server_cookies_, [](const auto& a, const auto& b) { return a.second.first < b.second.first; });
        server_cookies_.erase(oldest);
    }
    return Echo::ours;
}

std::size_t UpstreamCookies::serversRemembered() const
{
    const std::lock_guard lock(mutex_);
    return server_cookies_.size();
}

std::uint64_t upstreamCookieMismatches()
{
    return cookie_mismatches.load(std::memory_order_relaxed);
}

void countUpstreamCookieMismatch()
{
    cookie_mismatches.fetch_add(1, std::memory_order_relaxed);
}

} // namespace recursor
