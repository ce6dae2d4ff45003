// The answer cache (16 independently locked shards keyed by name and type) and the delegation map.
// Entries expire by wall-clock seconds; an expired entry is removed when a lookup meets it.
// No operation holds two locks, and copies are allocated outside the locks.
#pragma once

#include "resolver/recursor_nameserver.h"
#include "resolver/resolve_error.h"
#include "wire/constants.h"
#include "wire/dns_name_context.h"
#include "wire/name.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

namespace recursor {

struct CacheKey {
    std::uint16_t qtype { 0 };
    DnsName name;
};

struct CacheKeyContext {
    std::uint64_t hash(const CacheKey& key) const { return key.name.hash() ^ key.qtype; }
    bool eql(const CacheKey& a, const CacheKey& b) const { return a.qtype == b.qtype && a.name.eql(b.name); }
    std::size_t operator()(const CacheKey& key) const { return static_cast<std::size_t>(hash(key)); }
    bool operator()(const CacheKey& a, const CacheKey& b) const { return eql(a, b); }
};

struct CacheEntry {
    std::int64_t expires_at { 0 };
    std::uint16_t answer_count { 0 };
    RCode rcode { RCode::no_error };
    bool validated { false };
    bool has_dnssec_records { false };
};

struct CachedAnswer {
    CacheEntry meta;
    std::vector<std::uint8_t> packet;
};

struct CacheHit {
    CacheEntry meta;
    std::vector<std::uint8_t> packet; // the caller's copy
};

struct DelegationEntry {
    NameserverSet nameservers;
    std::int64_t expires_at { 0 };
};

class Cache {
public:
    using Clock = std::function<std::int64_t()>; // wall clock, whole seconds since the epoch
    static constexpr std::size_t shard_count = 16;

    static ResolveResultOr<std::unique_ptr<Cache>> init(Clock clock = {});

    ResolveResultOr<std::optional<CacheHit>> getAnswerCopy(const DnsName& name, QType qtype);
    ResolveResultOr<void> putAnswer(const DnsName& name, QType qtype, std::span<const std::uint8_t> packet,
        std::uint16_t answer_count, RCode rcode, bool validated, bool has_dnssec_records, std::uint32_t ttl);
    void removeExpiredAnswer(const CacheKey& key);

    std::optional<NameserverSet> findDelegation(const DnsName& name);
    ResolveResultOr<void> putDelegation(const DnsName& name, const NameserverSet& set, std::uint32_t ttl);
    void removeExpiredDelegation(const DnsName& name);

    static std::size_t answerShardIndex(const CacheKey& key) { return CacheKeyContext {}.hash(key) & 15; }
    std::size_t answerCount() const;
    std::size_t delegationCount() const;

private:
    struct AnswerShard {
        std::unordered_map<CacheKey, CachedAnswer, CacheKeyContext, CacheKeyContext> answers;
        mutable std::shared_mutex lock;
    };

    explicit Cache(Clock clock)
        : clock_(std::move(clock))
    {
    }
    std::int64_t now() const { return clock_(); }
    AnswerShard& answerShard(const CacheKey& key) { return answers_[answerShardIndex(key)]; }

    Clock clock_;
    std::array<AnswerShard, shard_count> answers_;
    std::unordered_map<DnsName, DelegationEntry, DnsNameContext, DnsNameContext> delegations_;
    mutable std::shared_mutex delegations_lock_;
};

// Whole seconds of the wall clock.
std::int64_t wallClockSeconds();

} // namespace recursor
