#include "resolver/recursor_cache.h"

#include <chrono>
#include <mutex>
#include <new>

namespace recursor {

namespace {

    constexpr std::size_t initial_answers_per_shard = 64;
    constexpr std::size_t initial_delegations = 100;

} // namespace

std::int64_t wallClockSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

ResolveResultOr<std::unique_ptr<Cache>> Cache::init(Clock clock)
{
    try {
        std::unique_ptr<Cache> cache(new Cache(clock ? std::move(clock) : Clock(wallClockSeconds)));
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
    const CacheKey key { toU16(qtype), name };
    AnswerShard& shard = answerShard(key);
    std::vector<std::uint8_t> buffer; // allocated only outside the lock
    for (;;) {
        std::size_t noted_len = 0;
        {
            std::shared_lock lock(shard.lock);
            auto it = shard.answers.find(key);
            if (it == shard.answers.end())
                return std::nullopt;
            if (it->second.meta.expires_at < now()) {
                lock.unlock();
                removeExpiredAnswer(key);
                return std::nullopt;
            }
            noted_len = it->second.packet.size();
        }
        if (buffer.size() != noted_len) {
            try {
                buffer.assign(noted_len, 0);
            } catch (const std::bad_alloc&) {
                return std::unexpected(ResolveError::OutOfMemory);
            }
        }
        std::shared_lock lock(shard.lock);
        auto it = shard.answers.find(key);
        if (it == shard.answers.end())
            continue;
        if (it->second.meta.expires_at < now()) {
            lock.unlock();
            removeExpiredAnswer(key);
            return std::nullopt;
        }
        // Same length: copy. A different length means the entry was replaced meanwhile; start over.
        if (it->second.packet.size() == noted_len) {
            std::copy(it->second.packet.begin(), it->second.packet.end(), buffer.begin());
            return CacheHit { it->second.meta, std::move(buffer) };
        }
    }
}

ResolveResultOr<void> Cache::putAnswer(const DnsName& name, QType qtype, std::span<const std::uint8_t> packet,
    std::uint16_t answer_count, RCode rcode, bool validated, bool has_dnssec_records, std::uint32_t ttl)
{
    const CacheKey key { toU16(qtype), name };
    try {
        CachedAnswer fresh {
            .meta = { now() + ttl, answer_count, rcode, validated, has_dnssec_records },
            .packet = { packet.begin(), packet.end() },
        };
        AnswerShard& shard = answerShard(key);
        std::unique_lock lock(shard.lock);
        // The old packet, if any, is released when `fresh` takes its place.
        shard.answers.insert_or_assign(key, std::move(fresh));
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
}

void Cache::removeExpiredAnswer(const CacheKey& key)
{
    AnswerShard& shard = answerShard(key);
    std::unique_lock lock(shard.lock);
    auto it = shard.answers.find(key);
    // Another worker may have stored a fresh entry between our shared and exclusive sections.
    if (it != shard.answers.end() && it->second.meta.expires_at < now())
        shard.answers.erase(it);
}

std::optional<NameserverSet> Cache::findDelegation(const DnsName& name)
{
    DnsName n = name;
    std::shared_lock lock(delegations_lock_);
    for (;;) {
        auto it = delegations_.find(n);
        if (it != delegations_.end()) {
            if (it->second.expires_at >= now())
                return it->second.nameservers;
            lock.unlock();
            removeExpiredDelegation(n);
            lock.lock();
        }
        if (n.isRoot() || !n.chopOff())
            return std::nullopt;
    }
}

ResolveResultOr<void> Cache::putDelegation(const DnsName& name, const NameserverSet& set, std::uint32_t ttl)
{
    const DelegationEntry entry { set, now() + ttl };
    try {
        std::unique_lock lock(delegations_lock_);
        delegations_.insert_or_assign(name, entry);
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    return {};
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

std::size_t Cache::delegationCount() const
{
    std::shared_lock lock(delegations_lock_);
    return delegations_.size();
}

} // namespace recursor
