#include "resolver/cache.h"

#include "wire/reader.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace recursor {

namespace {

    constexpr std::size_t initial_answers_per_shard = 64;
    constexpr std::size_t initial_delegations = 100;
    // Entries looked at per store for expired ones, and per eviction for the least recently used.
    constexpr std::size_t reclaim_samples = 2;
    constexpr std::size_t eviction_samples = 5;
    // A hash map node: the value, the next pointer and the cached hash, and a share of the bucket array.
    constexpr std::size_t node_overhead = 2 * sizeof(void*) + sizeof(void*) * 5 / 4;

    std::uint64_t nextRandom(std::uint64_t& state)
    {
        // xorshift64: sampling needs spread, not secrecy.
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

    // The entry in the first non-empty bucket from a random one on; end() for an empty map.
    template <typename Map> typename Map::iterator sampleEntry(Map& map, std::uint64_t& state)
    {
        if (map.empty())
            return map.end();
        const std::size_t buckets = map.bucket_count();
        std::size_t b = nextRandom(state) % buckets;
        for (std::size_t i = 0; i < buckets; ++i, b = (b + 1) % buckets) {
            if (map.bucket_size(b) != 0)
                return map.find(map.begin(b)->first);
        }
        return map.end();
    }

    // Where the TTL field of every record of a response sits, so that a hit can age them.
    std::vector<std::uint16_t> findTtlOffsets(std::span<const std::uint8_t> packet)
    {
        std::vector<std::uint16_t> offsets;
        if (packet.size() < Header::size || packet.size() > 0xFFFF)
            return offsets;
        const Header header = Header::fromSlice(packet);
        PacketReader reader(packet);
        for (std::uint16_t i = 0; i < header.qdCount(); ++i) {
            if (!reader.readName() || !reader.skip(4))
                return {};
        }
        offsets.reserve(header.totalRecordCount());
        for (std::uint32_t i = 0; i < header.totalRecordCount(); ++i) {
            if (!reader.readName())
                return {};
            const std::size_t ttl_at = reader.pos() + 4;
            auto fixed = reader.readRecordHeader();
            if (!fixed || !reader.skip(fixed->rdlength))
                return {};
            offsets.push_back(static_cast<std::uint16_t>(ttl_at));
        }
        return offsets;
    }

    void writeTtl(std::span<std::uint8_t> packet, std::uint16_t at, std::uint32_t ttl)
    {
        packet[at] = static_cast<std::uint8_t>(ttl >> 24);
        packet[at + 1] = static_cast<std::uint8_t>(ttl >> 16);
        packet[at + 2] = static_cast<std::uint8_t>(ttl >> 8);
        packet[at + 3] = static_cast<std::uint8_t>(ttl);
    }

    void ageTtls(std::span<std::uint8_t> packet, std::span<const std::uint16_t> offsets, std::int64_t elapsed)
    {
        if (elapsed <= 0)
            return;
        for (std::uint16_t at : offsets) {
            const std::uint32_t ttl = readU32(packet.subspan(at, 4));
            writeTtl(packet, at, ttl > elapsed ? static_cast<std::uint32_t>(ttl - elapsed) : 0);
        }
    }

    void setTtls(std::span<std::uint8_t> packet, std::span<const std::uint16_t> offsets, std::uint32_t ttl)
    {
        for (std::uint16_t at : offsets)
            writeTtl(packet, at, ttl);
    }

    // The last tenth of a TTL long enough to be worth refreshing ahead of its expiry.
    bool refreshWindow(const CacheEntry& meta, std::int64_t at)
    {
        const std::int64_t original = meta.expires_at - meta.stored_at;
        return !meta.bogus && original >= Cache::min_prefetch_ttl && (meta.expires_at - at) * 10 <= original;
    }

} // namespace

Cache::Cache(Clock clock, CacheLimits limits)
    : clock_(std::move(clock))
    , shard_max_bytes_(limits.max_bytes / 64 * 51 / shard_count)
    , max_delegations_(std::max<std::size_t>(
          16, limits.max_bytes / 16 / (sizeof(DelegationMap::value_type) + node_overhead)))
    , max_zone_security_bytes_(limits.max_bytes / 16)
{
}

ResolveResultOr<std::unique_ptr<Cache>> Cache::init(Clock clock, CacheLimits limits)
{
    try {
        std::unique_ptr<Cache> cache(new Cache(clock ? std::move(clock) : Clock(monotonicSeconds), limits));
        for (auto& shard : cache->answers_) {
            shard.answers.max_load_factor(0.8f);
            shard.answers.reserve(initial_answers_per_shard);
        }
        cache->delegations_.max_load_factor(0.8f);
        cache->delegations_.reserve(initial_delegations);
        return cache;
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

ResolveResultOr<std::optional<CacheHit>> Cache::getAnswerCopy(const DnsName& name, QType qtype)
{
    return copyAnswer(name, qtype, Age::live);
}

ResolveResultOr<std::optional<CacheHit>> Cache::getStaleAnswerCopy(const DnsName& name, QType qtype)
{
    return copyAnswer(name, qtype, Age::stale);
}

ResolveResultOr<std::optional<CacheHit>> Cache::copyAnswer(const DnsName& name, QType qtype, Age age)
{
    const CacheKey key(qtype, name);
    AnswerShard& shard = answerShard(key);
    // Whether the entry is of the age asked for; a spent one is removed on the way.
    auto wanted = [&](const CachedAnswer& entry, std::int64_t at, std::shared_lock<std::shared_mutex>& lock) {
        if (spent(entry.meta, at)) {
            lock.unlock();
            removeExpiredAnswer(key);
            return false;
        }
        const bool expired = entry.meta.expires_at < at;
        return age == Age::live ? !expired : expired && !entry.meta.bogus;
    };
    std::vector<std::uint8_t> buffer; // allocated only outside the lock
    for (;;) {
        std::size_t noted_len = 0;
        {
            std::shared_lock lock(shard.lock);
            auto it = shard.answers.find(key);
            if (it == shard.answers.end() || !wanted(it->second, now(), lock))
                return std::nullopt;
            noted_len = it->second.packet.size();
        }
        if (buffer.size() != noted_len) {
            try {
                buffer.assign(noted_len, 0);
            } catch (const std::bad_alloc&) {
                return std::unexpected(ResolveError::OutOfMemory);
            }
        }
        const std::int64_t at = now();
        std::shared_lock lock(shard.lock);
        auto it = shard.answers.find(key);
        if (it == shard.answers.end())
            continue;
        const CachedAnswer& entry = it->second;
        if (!wanted(entry, at, lock))
            return std::nullopt;
        // Same length: copy. A different length means the entry was replaced meanwhile; start over.
        if (entry.packet.size() == noted_len) {
            std::copy(entry.packet.begin(), entry.packet.end(), buffer.begin());
            if (age == Age::stale)
                setTtls(buffer, entry.ttl_offsets, stale_answer_ttl);
            else
                ageTtls(buffer, entry.ttl_offsets, at - entry.meta.stored_at);
            entry.last_used.store(at, std::memory_order_relaxed);
            const bool refresh_due = age == Age::live && refreshWindow(entry.meta, at)
                && !entry.refresh_claimed.exchange(true, std::memory_order_relaxed);
            return CacheHit { entry.meta, std::move(buffer), refresh_due };
        }
    }
}

ResolveResultOr<void> Cache::putAnswer(const DnsName& name, QType qtype, std::span<const std::uint8_t> packet,
    std::uint16_t answer_count, RCode rcode, bool validated, bool has_dnssec_records, std::uint32_t ttl)
{
    const std::int64_t at = now();
    return storeAnswer(CacheKey(qtype, name),
        CacheEntry { expiry(at, ttl), at, answer_count, rcode, validated, has_dnssec_records }, packet);
}

ResolveResultOr<void> Cache::putBogus(
    const DnsName& name, QType qtype, std::uint32_t ttl, ResolveError reason)
{
    const std::int64_t at = now();
    return storeAnswer(CacheKey(qtype, name),
        CacheEntry { .expires_at = expiry(at, ttl), .stored_at = at, .bogus = true, .bogus_reason = reason },
        {});
}

ResolveResultOr<void> Cache::storeAnswer(
    const CacheKey& key, const CacheEntry& meta, std::span<const std::uint8_t> packet)
{
    try {
        std::vector<std::uint8_t> copy(packet.begin(), packet.end());
        std::vector<std::uint16_t> offsets = findTtlOffsets(packet);
        const std::size_t footprint = sizeof(AnswerMap::value_type) + node_overhead + copy.capacity()
            + offsets.capacity() * sizeof(std::uint16_t);
        AnswerShard& shard = answerShard(key);
        std::unique_lock lock(shard.lock);
        // The entry is filled in place: it holds an atomic and never moves. Any old packet is released.
        auto [it, inserted] = shard.answers.try_emplace(key);
        CachedAnswer& entry = it->second;
        if (!inserted)
            shard.bytes -= entry.footprint;
        entry.meta = meta;
        entry.packet = std::move(copy);
        entry.ttl_offsets = std::move(offsets);
        entry.footprint = footprint;
        entry.last_used.store(meta.stored_at, std::memory_order_relaxed);
        entry.refresh_claimed.store(false, std::memory_order_relaxed);
        shard.bytes += footprint;
        makeRoom(shard, meta.stored_at);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

void Cache::makeRoom(AnswerShard& shard, std::int64_t at)
{
    auto erase = [&shard](AnswerMap::iterator it) {
        shard.bytes -= it->second.footprint;
        shard.answers.erase(it);
    };
    for (std::size_t i = 0; i < reclaim_samples; ++i) {
        auto it = sampleEntry(shard.answers, shard.random_state);
        if (it != shard.answers.end() && spent(it->second.meta, at))
            erase(it);
    }
    // Expired entries, kept only to be served stale, are the first victims.
    while (shard.bytes > shard_max_bytes_ && !shard.answers.empty()) {
        auto victim = sampleEntry(shard.answers, shard.random_state);
        for (std::size_t i = 1; i < eviction_samples && victim->second.meta.expires_at >= at; ++i) {
            auto other = sampleEntry(shard.answers, shard.random_state);
            if (other->second.meta.expires_at < at
                || other->second.last_used.load(std::memory_order_relaxed)
                    < victim->second.last_used.load(std::memory_order_relaxed))
                victim = other;
        }
        erase(victim);
    }
}

void Cache::removeExpiredAnswer(const CacheKey& key)
{
    AnswerShard& shard = answerShard(key);
    std::unique_lock lock(shard.lock);
    auto it = shard.answers.find(key);
    // Another thread may have stored a fresh entry between our shared and exclusive sections.
    if (it != shard.answers.end() && spent(it->second.meta, now())) {
        shard.bytes -= it->second.footprint;
        shard.answers.erase(it);
    }
}

std::optional<Delegation> Cache::findDelegation(const DnsName& name)
{
    DnsName n = name;
    std::shared_lock lock(delegations_lock_);
    for (;;) {
        auto it = delegations_.find(n);
        if (it != delegations_.end()) {
            if (it->second.expires_at >= now())
                return Delegation { it->first, it->second.nameservers, it->second.unresolved,
                    it->second.fallback };
            lock.unlock();
            removeExpiredDelegation(n);
            lock.lock();
        }
        if (n.isRoot() || !n.chopOff())
            return std::nullopt;
    }
}

ResolveResultOr<void> Cache::putDelegation(const Delegation& delegation, std::uint32_t ttl)
{
    const std::int64_t at = now();
    const DelegationEntry entry { delegation.nameservers, delegation.unresolved, delegation.fallback,
        expiry(at, ttl) };
    try {
        std::unique_lock lock(delegations_lock_);
        delegations_.insert_or_assign(delegation.zone, entry);
        makeDelegationRoom(at);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

// Delegations carry no usage stamp: over the limit, a sampled expired one goes first, else the one that
// expires soonest.
void Cache::makeDelegationRoom(std::int64_t at)
{
    for (std::size_t i = 0; i < reclaim_samples; ++i) {
        auto it = sampleEntry(delegations_, delegation_random_state_);
        if (it != delegations_.end() && it->second.expires_at < at)
            delegations_.erase(it);
    }
    while (delegations_.size() > max_delegations_) {
        auto victim = sampleEntry(delegations_, delegation_random_state_);
        for (std::size_t i = 1; i < eviction_samples; ++i) {
            auto other = sampleEntry(delegations_, delegation_random_state_);
            if (other->second.expires_at < victim->second.expires_at)
                victim = other;
        }
        delegations_.erase(victim);
    }
}

std::size_t ZoneKeys::footprint() const
{
    std::size_t bytes = sizeof(ZoneKeys) + keytags.size() * sizeof(std::uint16_t);
    for (const auto& key : keys)
        bytes += sizeof(key) + key.view().public_key.size();
    return bytes;
}

namespace {

    std::size_t zoneSecurityFootprint(const ZoneSecurityEntry& entry)
    {
        // Keys shared by several names (a zone and the names passed through on its way) are charged to each.
        return sizeof(DnsName) + sizeof(ZoneSecurityEntry) + node_overhead
            + (entry.security.keys ? entry.security.keys->footprint() : 0);
    }

} // namespace

std::optional<ZoneSecurity> Cache::findZoneSecurity(const DnsName& name)
{
    std::shared_lock lock(zone_security_lock_);
    auto it = zone_security_.find(name);
    if (it == zone_security_.end() || it->second.expires_at < now())
        return std::nullopt;
    return it->second.security;
}

ResolveResultOr<void> Cache::putZoneSecurity(const DnsName& name, ZoneSecurity security, std::uint32_t ttl)
{
    const std::int64_t at = now();
    try {
        ZoneSecurityEntry entry { std::move(security), expiry(at, ttl) };
        std::unique_lock lock(zone_security_lock_);
        if (auto old = zone_security_.find(name); old != zone_security_.end()) {
            zone_security_bytes_ -= zoneSecurityFootprint(old->second);
            zone_security_.erase(old);
        }
        zone_security_bytes_ += zoneSecurityFootprint(entry);
        zone_security_.emplace(name, std::move(entry));
        makeZoneSecurityRoom(at);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

// Like delegations: a sampled expired entry goes first, else the one of a few that expires soonest.
void Cache::makeZoneSecurityRoom(std::int64_t at)
{
    const auto erase = [this](ZoneSecurityMap::iterator it) {
        zone_security_bytes_ -= zoneSecurityFootprint(it->second);
        zone_security_.erase(it);
    };
    for (std::size_t i = 0; i < reclaim_samples; ++i) {
        auto it = sampleEntry(zone_security_, zone_security_random_state_);
        if (it != zone_security_.end() && it->second.expires_at < at)
            erase(it);
    }
    while (zone_security_bytes_ > max_zone_security_bytes_ && !zone_security_.empty()) {
        auto victim = sampleEntry(zone_security_, zone_security_random_state_);
        for (std::size_t i = 1; i < eviction_samples; ++i) {
            auto other = sampleEntry(zone_security_, zone_security_random_state_);
            if (other->second.expires_at < victim->second.expires_at)
                victim = other;
        }
        erase(victim);
    }
}

std::size_t Cache::zoneSecurityCount() const
{
    std::shared_lock lock(zone_security_lock_);
    return zone_security_.size();
}

void Cache::removeExpiredDelegation(const DnsName& name)
{
    std::unique_lock lock(delegations_lock_);
    auto it = delegations_.find(name);
    if (it != delegations_.end() && it->second.expires_at < now())
        delegations_.erase(it);
}

std::size_t Cache::answerCount() const
{
    std::size_t total = 0;
    for (const auto& shard : answers_) {
        std::shared_lock lock(shard.lock);
        total += shard.answers.size();
    }
    return total;
}

std::size_t Cache::zoneSecurityBytes() const
{
    std::shared_lock lock(zone_security_lock_);
    return zone_security_bytes_;
}

std::size_t Cache::answerBytes() const
{
    std::size_t total = 0;
    for (const auto& shard : answers_) {
        std::shared_lock lock(shard.lock);
        total += shard.bytes;
    }
    return total;
}

std::size_t Cache::delegationCount() const
{
    std::shared_lock lock(delegations_lock_);
    return delegations_.size();
}

void Cache::forEachAnswer(
    const std::function<void(const CacheKey&, const CacheEntry&, std::span<const std::uint8_t>)>& visit) const
{
    const std::int64_t at = now();
    for (const auto& shard : answers_) {
        std::shared_lock lock(shard.lock);
        for (const auto& [key, entry] : shard.answers) {
            if (entry.meta.expires_at >= at)
                visit(key, entry.meta, entry.packet);
        }
    }
}

void Cache::forEachDelegation(const std::function<void(const DnsName&, const DelegationEntry&)>& visit) const
{
    const std::int64_t at = now();
    std::shared_lock lock(delegations_lock_);
    for (const auto& [zone, entry] : delegations_) {
        if (entry.expires_at >= at)
            visit(zone, entry);
    }
}

void Cache::forEachZoneSecurity(
    const std::function<void(const DnsName&, const ZoneSecurityEntry&)>& visit) const
{
    const std::int64_t at = now();
    std::shared_lock lock(zone_security_lock_);
    for (const auto& [name, entry] : zone_security_) {
        if (entry.expires_at >= at)
            visit(name, entry);
    }
}

ResolveResultOr<void> Cache::restoreAnswer(
    const DnsName& name, QType qtype, CacheEntry meta, std::span<const std::uint8_t> packet)
{
    meta.expires_at = std::min(meta.expires_at, expiry(now(), max_ttl_));
    return storeAnswer(CacheKey(qtype, name), meta, packet);
}

std::size_t Cache::flush(const DnsName& name)
{
    std::size_t dropped = 0;
    for (AnswerShard& shard : answers_) {
        std::unique_lock lock(shard.lock);
        dropped += std::erase_if(shard.answers, [&](const auto& entry) {
            if (!entry.first.name.isPartOf(name))
                return false;
            shard.bytes -= entry.second.footprint;
            return true;
        });
    }
    {
        std::unique_lock lock(delegations_lock_);
        dropped += std::erase_if(delegations_, [&](const auto& entry) { return entry.first.isPartOf(name); });
    }
    std::unique_lock lock(zone_security_lock_);
    dropped += std::erase_if(zone_security_, [&](const auto& entry) {
        if (!entry.first.isPartOf(name))
            return false;
        zone_security_bytes_ -= zoneSecurityFootprint(entry.second);
        return true;
    });
    return dropped;
}

} // namespace recursor
