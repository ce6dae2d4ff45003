// The answer cache (16 independently locked shards keyed by name and type), the delegation map and the
// DNSSEC status of zones (their authenticated keys, or their proven lack of signatures).
// Entries expire by seconds of the monotonic clock, so that a step of the wall clock neither expires
// the whole cache nor keeps entries alive. With a stale window (RFC 8767) expired answers are kept that
// much longer, to be served only when their servers do not answer. Memory is bounded: every store also
// reclaims a few expired entries it samples, and a shard over its share of the byte budget evicts the least
// recently used of a few sampled entries until it fits again. No operation holds two locks, and copies are
// allocated outside the locks.
#pragma once

#include "base/clock.h"
#include "resolver/nameserver.h"
#include "resolver/resolve_error.h"
#include "wire/constants.h"
#include "wire/dns_name_context.h"
#include "wire/name.h"
#include "wire/rdata/dnssec.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <span>
#include <unordered_map>
#include <vector>

namespace recursor {

// The name and type of a question, with their hash computed once: the shard choice, the map and the
// eviction sampling all use it.
struct CacheKey {
    CacheKey(QType type, const DnsName& owner)
        : qtype(toU16(type))
        , name(owner)
        , hash(owner.hash() ^ qtype)
    {
    }

    std::uint16_t qtype { 0 };
    DnsName name;
    std::uint64_t hash { 0 };
};

struct CacheKeyContext {
    std::uint64_t hash(const CacheKey& key) const { return key.hash; }
    bool eql(const CacheKey& a, const CacheKey& b) const { return a.qtype == b.qtype && a.name.eql(b.name); }
    std::size_t operator()(const CacheKey& key) const { return static_cast<std::size_t>(hash(key)); }
    bool operator()(const CacheKey& a, const CacheKey& b) const { return eql(a, b); }
};

struct CacheEntry {
    std::int64_t expires_at { 0 };
    std::int64_t stored_at { 0 };
    std::uint16_t answer_count { 0 };
    RCode rcode { RCode::no_error };
    bool validated { false };
    bool has_dnssec_records { false };
    bool bogus { false }; // a question whose answer failed validation (RFC 4035 §4.7): no packet
    ResolveError bogus_reason { ResolveError::DnssecBogus }; // why, told to clients while it lasts
};

struct CachedAnswer {
    CacheEntry meta;
    std::vector<std::uint8_t> packet;
    std::vector<std::uint16_t> ttl_offsets; // where each record's TTL field sits in `packet`
    std::size_t footprint { 0 }; // bytes charged to the shard
    mutable std::atomic<std::int64_t> last_used { 0 };
    // Set by the first reader in the last tenth of the TTL, so that one refresh starts, not one per client.
    mutable std::atomic<bool> refresh_claimed { false };
};

struct CacheHit {
    CacheEntry meta;
    std::vector<std::uint8_t> packet; // the caller's copy, every TTL reduced by the seconds since storing
    // This reader is the one to refresh the entry ahead of its expiry (prefetch): it was read in the last
    // tenth of a TTL of at least Cache::min_prefetch_ttl, and no reader before was told so.
    bool refresh_due { false };
};

// RFC 8767 §4: an expired answer served because its servers did not answer carries this TTL.
inline constexpr std::uint32_t stale_answer_ttl = 30;

struct CacheLimits {
    static constexpr std::size_t default_max_bytes = 16u * 1024 * 1024;
    // Answers, delegations, zone keys, validated denial ranges and remembered signature checks together;
    // delegations, zone keys and denial ranges may take a sixteenth each, signature checks a 64th.
    std::size_t max_bytes { default_max_bytes };
};

// The authenticated DNSKEY RRset of a zone (RFC 4035 §5.2), with each key's tag computed once.
struct ZoneKeys {
    DnsName zone;
    std::vector<rdata::dnssec::OwnedDnskey> keys;
    std::vector<std::uint16_t> keytags; // indexed like `keys`

    std::size_t footprint() const;
};

// What validation knows of a name: in a signed zone whose keys are `keys` (the zone may lie above the
// name), or insecure (below a delegation proven to be unsigned).
struct ZoneSecurity {
    std::shared_ptr<const ZoneKeys> keys; // empty: insecure
    bool secure() const { return keys != nullptr; }
};

struct ZoneSecurityEntry {
    ZoneSecurity security;
    std::int64_t expires_at { 0 };
};

struct DelegationEntry {
    NameserverSet nameservers;
    NameserverNames unresolved;
    NameserverSet fallback;
    std::int64_t expires_at { 0 };
};

class Cache {
public:
    using Clock = std::function<std::int64_t()>; // whole seconds of a monotonic clock
    static constexpr std::size_t shard_count = 16;

    // An entry whose original TTL was shorter is not refreshed ahead of its expiry: it would be asked
    // for again at once, and such names are cheap to miss.
    static constexpr std::int64_t min_prefetch_ttl = 10;

    static ResolveResultOr<std::unique_ptr<Cache>> init(Clock clock = {}, CacheLimits limits = {});

    std::int64_t now() const { return clock_(); }

    // A live answer; an expired one counts as none.
    ResolveResultOr<std::optional<CacheHit>> getAnswerCopy(const DnsName& name, QType qtype);
    // An answer expired less than the stale window ago (RFC 8767), every TTL set to stale_answer_ttl;
    // never one remembered as bogus, never a live one.
    ResolveResultOr<std::optional<CacheHit>> getStaleAnswerCopy(const DnsName& name, QType qtype);
    ResolveResultOr<void> putAnswer(const DnsName& name, QType qtype, std::span<const std::uint8_t> packet,
        std::uint16_t answer_count, RCode rcode, bool validated, bool has_dnssec_records, std::uint32_t ttl);
    // Remembers that (name, qtype) failed validation, so that a client repeating it does not repeat
    // the work.
    ResolveResultOr<void> putBogus(
        const DnsName& name, QType qtype, std::uint32_t ttl, ResolveError reason = ResolveError::DnssecBogus);
    void removeExpiredAnswer(const CacheKey& key);
    // No entry of any kind lives longer than this (the operator's cache_max_ttl).
    void setMaxTtl(std::uint32_t ttl) { max_ttl_ = ttl; }
    // serve_stale_max_age: answers are kept this long past their expiry (0, the default: dropped when
    // they expire). Kept answers still count against the byte budget, and go first when it is full.
    void setStaleWindow(std::uint32_t seconds) { stale_window_ = seconds; }

    // The closest live delegation at or above `name`, with its zone as stored.
    std::optional<Delegation> findDelegation(const DnsName& name);
    ResolveResultOr<void> putDelegation(const DnsName& name, const NameserverSet& set, std::uint32_t ttl)
    {
        return putDelegation(Delegation { .zone = name, .nameservers = set }, ttl);
    }
    // The whole delegation: its servers, the names that came without glue, and the last resort.
    ResolveResultOr<void> putDelegation(const Delegation& delegation, std::uint32_t ttl);
    void removeExpiredDelegation(const DnsName& name);

    std::optional<ZoneSecurity> findZoneSecurity(const DnsName& name);
    ResolveResultOr<void> putZoneSecurity(const DnsName& name, ZoneSecurity security, std::uint32_t ttl);

    // For the cache file (cache_file.h): each live entry, expiries on this cache's clock, visited under its
    // lock (`visit` must not call back into the cache); and an answer put back with the times it was saved
    // with, its expiry capped by cache_max_ttl.
    void forEachAnswer(
        const std::function<void(const CacheKey&, const CacheEntry&, std::span<const std::uint8_t>)>& visit)
        const;
    void forEachDelegation(const std::function<void(const DnsName&, const DelegationEntry&)>& visit) const;
    void forEachZoneSecurity(
        const std::function<void(const DnsName&, const ZoneSecurityEntry&)>& visit) const;
    ResolveResultOr<void> restoreAnswer(
        const DnsName& name, QType qtype, CacheEntry meta, std::span<const std::uint8_t> packet);

    // Drops every answer, negative answer, delegation and zone key set at or below `name`; the count.
    std::size_t flush(const DnsName& name);

    static std::size_t answerShardIndex(const CacheKey& key) { return CacheKeyContext {}.hash(key) & 15; }
    std::size_t answerCount() const;
    std::size_t delegationCount() const;
    std::size_t zoneSecurityCount() const;
    // Bytes charged for answers, over all shards.
    std::size_t answerBytes() const;
    std::size_t zoneSecurityBytes() const;

private:
    using AnswerMap = std::unordered_map<CacheKey, CachedAnswer, CacheKeyContext, CacheKeyContext>;
    using DelegationMap = std::unordered_map<DnsName, DelegationEntry, DnsNameContext, DnsNameContext>;
    using ZoneSecurityMap = std::unordered_map<DnsName, ZoneSecurityEntry, DnsNameContext, DnsNameContext>;

    struct AnswerShard {
        AnswerMap answers;
        std::size_t bytes { 0 }; // under `lock`
        std::uint64_t random_state { 0x9E3779B97F4A7C15 }; // for sampling, under `lock`
        mutable std::shared_mutex lock;
    };

    Cache(Clock clock, CacheLimits limits);
    AnswerShard& answerShard(const CacheKey& key) { return answers_[answerShardIndex(key)]; }
    enum class Age : std::uint8_t { live, stale };
    ResolveResultOr<std::optional<CacheHit>> copyAnswer(const DnsName& name, QType qtype, Age age);
    // Expired beyond the stale window (a bogus mark at once: it is never served stale), of no more use.
    bool spent(const CacheEntry& meta, std::int64_t at) const
    {
        return meta.expires_at + (meta.bogus ? 0 : stale_window_) < at;
    }
    // Replaces the entry of `key`; copies `packet` outside the shard's lock.
    ResolveResultOr<void> storeAnswer(
        const CacheKey& key, const CacheEntry& meta, std::span<const std::uint8_t> packet);
    // Under the shard's exclusive lock: reclaims sampled expired entries, then evicts until the shard fits.
    void makeRoom(AnswerShard& shard, std::int64_t now);
    void makeDelegationRoom(std::int64_t now);
    void makeZoneSecurityRoom(std::int64_t now);

    std::int64_t expiry(std::int64_t at, std::uint32_t ttl) const { return at + std::min(ttl, max_ttl_); }

    Clock clock_;
    std::uint32_t max_ttl_ { 86400 };
    std::uint32_t stale_window_ { 0 };
    std::size_t shard_max_bytes_;
    std::size_t max_delegations_;
    std::uint64_t delegation_random_state_ { 0xD1B54A32D192ED03 }; // under `delegations_lock_`
    std::array<AnswerShard, shard_count> answers_;
    DelegationMap delegations_;
    mutable std::shared_mutex delegations_lock_;
    std::size_t max_zone_security_bytes_;
    std::size_t zone_security_bytes_ { 0 }; // under `zone_security_lock_`
    std::uint64_t zone_security_random_state_ { 0x94D049BB133111EB }; // under `zone_security_lock_`
    ZoneSecurityMap zone_security_;
    mutable std::shared_mutex zone_security_lock_;
};

} // namespace recursor
