#include "server/access_list.h"

#include "base/siphash.h"

#include <algorithm>
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

ClientRateLimit::ClientRateLimit(Settings settings)
    : share_(settings.per_second == 0
            ? 0
            : std::max<std::uint32_t>(1,
                settings.per_second / static_cast<std::uint32_t>(std::max<std::size_t>(settings.loops, 1))))
    , ipv6_prefix_bits_(std::clamp(settings.ipv6_prefix_bits, min_ipv6_prefix_bits, max_ipv6_prefix_bits))
{
    if (share_ == 0)
        return;
    const std::size_t capacity = std::max<std::size_t>(settings.capacity, 1);
    ways_ = std::min(capacity, ways);
    sets_ = capacity / ways_;
    slots_.resize(sets_ * ways_);
}

// The client's slot, or the one it takes over: an empty one, else that of the client of its set seen
// least recently. Sources are the attacker's choice, so the set is picked by a keyed hash (SipHash with
// a per-process key).
ClientRateLimit::Slot& ClientRateLimit::slotFor(const Key& key)
{
    const std::size_t set = sipHash24(processSipHashKey(), key) % sets_;
    const std::span<Slot> candidates(slots_.data() + set * ways_, ways_);
    Slot* oldest = &candidates.front();
    for (Slot& slot : candidates) {
        if (slot.last_seen != 0 && slot.key == key)
            return slot;
        if (slot.last_seen < oldest->last_seen)
            oldest = &slot;
    }
    if (oldest->last_seen == 0)
        ++tracked_;
    *oldest = Slot { .key = key };
    return *oldest;
}

bool ClientRateLimit::admit(const SocketAddress& client, std::int64_t now_seconds)
{
    if (share_ == 0)
        return true;
    Slot& slot = slotFor(clientKey(client, ipv6_prefix_bits_));
    slot.last_seen = ++clock_;
    if (slot.second != now_seconds) {
        slot.second = now_seconds;
        slot.count = 0;
    }
    if (slot.count >= share_)
        return false;
    ++slot.count;
    return true;
}

std::array<std::uint8_t, 16> clientKey(const SocketAddress& client, unsigned ipv6_prefix_bits)
{
    std::array<std::uint8_t, 16> key = asV6(client);
    const bool mapped = key[10] == 0xFF && key[11] == 0xFF
        && std::all_of(key.begin(), key.begin() + 10, [](std::uint8_t b) { return b == 0; });
    if (client.family() == AF_INET || mapped)
        return key;
    const unsigned whole = ipv6_prefix_bits / 8;
    const unsigned rest = ipv6_prefix_bits % 8;
    if (whole < key.size()) {
        key[whole] &= static_cast<std::uint8_t>(0xFF << (8 - rest));
        std::fill(key.begin() + whole + 1, key.end(), 0);
    }
    return key;
}

} // namespace recursor
