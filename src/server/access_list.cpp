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
    , capacity_(std::clamp<std::size_t>(settings.capacity, 1, no_slot - 1))
{
    if (share_ == 0)
        return;
    // All up front: a flood of new sources then allocates nothing but the index's nodes.
    slots_.reserve(capacity_);
    index_.reserve(capacity_);
}

std::size_t ClientRateLimit::KeyHash::operator()(const Key& key) const
{
    // Sources are the attacker's choice, so the hash is keyed (SipHash with a per-process key).
    return static_cast<std::size_t>(sipHash24(processSipHashKey(), key));
}

// IPv4 (and IPv4-mapped) clients by address, IPv6 ones by their prefix.
ClientRateLimit::Key ClientRateLimit::keyOf(const SocketAddress& client) const
{
    Key key = asV6(client);
    const bool mapped = key[10] == 0xFF && key[11] == 0xFF
        && std::all_of(key.begin(), key.begin() + 10, [](std::uint8_t b) { return b == 0; });
    if (client.family() == AF_INET || mapped)
        return key;
    const unsigned whole = ipv6_prefix_bits_ / 8;
    const unsigned rest = ipv6_prefix_bits_ % 8;
    if (whole < key.size()) {
        key[whole] &= static_cast<std::uint8_t>(0xFF << (8 - rest));
        std::fill(key.begin() + whole + 1, key.end(), 0);
    }
    return key;
}

void ClientRateLimit::unlink(std::uint32_t slot)
{
    Slot& s = slots_[slot];
    (s.newer == no_slot ? newest_ : slots_[s.newer].older) = s.older;
    (s.older == no_slot ? oldest_ : slots_[s.older].newer) = s.newer;
    s.newer = s.older = no_slot;
}

void ClientRateLimit::pushNewest(std::uint32_t slot)
{
    Slot& s = slots_[slot];
    s.older = newest_;
    s.newer = no_slot;
    if (newest_ != no_slot)
        slots_[newest_].newer = slot;
    newest_ = slot;
    if (oldest_ == no_slot)
        oldest_ = slot;
}

// A fresh slot for `key`: a new one while the table has room, else the least recently seen client's.
std::uint32_t ClientRateLimit::takeSlot(const Key& key)
{
    std::uint32_t slot = 0;
    if (slots_.size() < capacity_) {
        slot = static_cast<std::uint32_t>(slots_.size());
        slots_.emplace_back();
    } else {
        slot = oldest_;
        unlink(slot);
        index_.erase(slots_[slot].key);
    }
    slots_[slot] = Slot { .key = key };
    index_.emplace(key, slot);
    pushNewest(slot);
    return slot;
}

bool ClientRateLimit::admit(const SocketAddress& client, std::int64_t now_seconds)
{
    if (share_ == 0)
        return true;
    const Key key = keyOf(client);
    std::uint32_t slot = 0;
    if (const auto found = index_.find(key); found != index_.end()) {
        slot = found->second;
        unlink(slot);
        pushNewest(slot);
    } else {
        slot = takeSlot(key);
    }
    Slot& s = slots_[slot];
    if (s.second != now_seconds) {
        s.second = now_seconds;
        s.count = 0;
    }
    if (s.count >= share_)
        return false;
    ++s.count;
    return true;
}

} // namespace recursor
