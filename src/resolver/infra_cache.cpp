#include "resolver/infra_cache.h"

#include "base/clock.h"

#include "base/siphash.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <new>

namespace recursor {

namespace {

    // Family, port, IPv6 scope and address: what SocketAddress::operator== compares, flow label aside.
    using ServerKey = std::array<std::uint8_t, 24>;

    // Entries looked at per insertion for expired ones, and per eviction for the least recently updated.
    constexpr std::size_t reclaim_samples = 2;
    constexpr std::size_t eviction_samples = 5;

    ServerKey keyOf(const SocketAddress& address)
    {
        ServerKey key {};
        key[0] = address.isIPv6() ? 6 : 4;
        key[2] = static_cast<std::uint8_t>(address.port() >> 8);
        key[3] = static_cast<std::uint8_t>(address.port());
        if (address.isIPv6()) {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address.sockaddrPtr());
            std::memcpy(&key[4], &v6->sin6_scope_id, 4);
            std::memcpy(&key[8], &v6->sin6_addr, 16);
        } else {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(address.sockaddrPtr());
            std::memcpy(&key[8], &v4->sin_addr, 4);
        }
        return key;
    }

    std::uint64_t nextRandom(std::uint64_t& state)
    {
        // xorshift64: sampling needs spread, not secrecy.
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }

    // The splitmix64 finalizer: the lame record of a zone lands apart from its server's record.
    std::uint64_t mix(std::uint64_t x)
    {
        x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9;
        x = (x ^ (x >> 27)) * 0x94D049BB133111EB;
        return x ^ (x >> 31);
    }

    // [0, 1) from 64 random bits, monotonic in them: all zeros give 0, all ones nearly 1.
    double unitInterval(std::uint64_t bits)
    {
        return static_cast<double>(bits >> 11) * 0x1p-53;
    }

} // namespace

namespace infra_detail {

    // Fields ordered by size, for 96 bytes.
    struct Slot {
        std::uint64_t hash { 0 };
        ServerKey server {};
        // 0 for the server's own record; for a lame record, the keyed hash of the zone (never 0). With
        // SipHash under the process's secret key, two zones collide with odds of 2^-64, and nobody can
        // choose names that do.
        std::uint64_t zone { 0 };
        std::int64_t updated_at { 0 };
        // The server's record.
        double srtt_ms { 0 };
        double rttvar_ms { 0 };
        std::int64_t held_until { 0 };
        std::uint32_t rto_ms { 0 };
        std::uint8_t timeouts { 0 };
        bool measured { false };
        EdnsSupport edns { EdnsSupport::unknown };
        // A lame record.
        LameKind lame { LameKind::refused };
        std::int64_t lame_until { 0 };
        bool used { false };

        bool dead(std::int64_t at) const
        {
            return zone != 0 ? at >= lame_until : at - updated_at >= InfraCache::idle_ms;
        }
    };

    // A flat table with linear probing. At most three quarters of the slots are used, so that probe runs
    // stay short and every probe ends at an empty slot.
    struct Shard {
        std::unique_ptr<Slot[]> slots;
        std::size_t capacity { 0 };
        std::size_t limit { 0 };
        std::size_t count { 0 };
        std::uint64_t random_state { 0 };
        std::mutex lock;

        // The low bits of a server's hash chose its shard.
        std::size_t home(std::uint64_t hash) const { return (hash >> 4) % capacity; }
        std::size_t next(std::size_t i) const { return i + 1 == capacity ? 0 : i + 1; }

        // The live or expired slot of the key; capacity when there is none.
        std::size_t find(const Slot& key) const
        {
            for (std::size_t i = home(key.hash);; i = next(i)) {
                const Slot& slot = slots[i];
                if (!slot.used)
                    return capacity;
                if (slot.hash == key.hash && slot.zone == key.zone && slot.server == key.server)
                    return i;
            }
        }

        const Slot* findLive(const Slot& key, std::int64_t at) const
        {
            const std::size_t i = find(key);
            return i == capacity || slots[i].dead(at) ? nullptr : &slots[i];
        }

        // The slot of `blank`'s key, live, or made from `blank` (the key and the fields of a new entry).
        Slot& claim(const Slot& blank, std::int64_t at)
        {
            std::size_t i = find(blank);
            if (i != capacity) {
                if (slots[i].dead(at))
                    slots[i] = blank;
                return slots[i];
            }
            makeRoom(at);
            for (i = home(blank.hash); slots[i].used; i = next(i)) { }
            slots[i] = blank;
            ++count;
            return slots[i];
        }

        // Backward-shift deletion: each later entry of the run moves into the hole when the hole lies on
        // its probe path, so no tombstones lengthen later probes.
        void erase(std::size_t hole)
        {
            for (std::size_t j = next(hole); slots[j].used; j = next(j)) {
                const std::size_t from_home = (j + capacity - home(slots[j].hash)) % capacity;
                if (from_home >= (j + capacity - hole) % capacity) {
                    slots[hole] = slots[j];
                    hole = j;
                }
            }
            slots[hole] = Slot {};
            --count;
        }

        // A used slot from a random place on; the shard must not be empty.
        std::size_t sample()
        {
            std::size_t i = nextRandom(random_state) % capacity;
            while (!slots[i].used)
                i = next(i);
            return i;
        }

        void makeRoom(std::int64_t at)
        {
            for (std::size_t k = 0; k < reclaim_samples && count != 0; ++k) {
                const std::size_t i = sample();
                if (slots[i].dead(at))
                    erase(i);
            }
            if (count < limit)
                return;
            std::size_t victim = sample();
            for (std::size_t k = 1; k < eviction_samples && !slots[victim].dead(at); ++k) {
                const std::size_t other = sample();
                if (slots[other].dead(at) || slots[other].updated_at < slots[victim].updated_at)
                    victim = other;
            }
            erase(victim);
        }
    };

    static_assert(sizeof(Slot) <= 96);

} // namespace infra_detail

using infra_detail::Shard;
using infra_detail::Slot;

namespace {

    struct Located {
        Slot blank; // the key and a new entry's fields
        std::size_t shard { 0 };
    };

    // Hashed outside any lock. A server's lame records live in its shard, so that one lock covers both.
    Located locate(const SocketAddress& server, std::uint32_t initial_rto)
    {
        Located out;
        out.blank.used = true;
        out.blank.server = keyOf(server);
        out.blank.hash = sipHash24(processSipHashKey(), out.blank.server);
        out.blank.rto_ms = initial_rto;
        out.shard = out.blank.hash % InfraCache::shard_count;
        return out;
    }

    std::uint64_t zoneHash(const DnsName& zone)
    {
        return std::max<std::uint64_t>(zone.hash(), 1);
    }

    Slot lameKey(const Located& server, std::uint64_t zone_hash)
    {
        Slot key = server.blank;
        key.zone = zone_hash;
        key.hash = mix(server.blank.hash ^ zone_hash);
        return key;
    }

    // Applies `change` to the entry of `key`, made from it when missing or expired, under the shard's lock.
    template <typename Change> void update(Shard& shard, const Slot& key, std::int64_t at, Change change)
    {
        std::lock_guard lock(shard.lock);
        Slot& slot = shard.claim(key, at);
        slot.updated_at = at;
        change(slot);
    }

} // namespace

InfraCache::InfraCache(InfraOptions options, Clock clock)
    : options_(options)
    , clock_(std::move(clock))
{
    options_.max_timeout_ms = std::max(options_.max_timeout_ms, options_.min_timeout_ms);
    initial_timeout_ms_ = clampTimeout(initial_timeout_ms);
}

InfraCache::~InfraCache() = default;

ResolveResultOr<std::unique_ptr<InfraCache>> InfraCache::init(InfraOptions options, Clock clock)
{
    try {
        std::unique_ptr<InfraCache> cache(
            new InfraCache(options, clock ? std::move(clock) : Clock(monotonicMs)));
        const std::size_t capacity = std::max<std::size_t>(8, options.max_bytes / sizeof(Slot) / shard_count);
        cache->shards_ = std::make_unique<Shard[]>(shard_count);
        for (std::size_t i = 0; i < shard_count; ++i) {
            Shard& shard = cache->shards_[i];
            shard.slots = std::make_unique<Slot[]>(capacity);
            shard.capacity = capacity;
            shard.limit = capacity / 4 * 3;
            shard.random_state = 0x9E3779B97F4A7C15 * (i + 1);
        }
        return cache;
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
}

std::uint32_t InfraCache::clampTimeout(double ms) const
{
    return static_cast<std::uint32_t>(std::clamp(std::ceil(ms), static_cast<double>(options_.min_timeout_ms),
        static_cast<double>(options_.max_timeout_ms)));
}

void InfraCache::recordReply(const SocketAddress& server, std::int64_t rtt_ms) noexcept
{
    const double r = static_cast<double>(std::max<std::int64_t>(rtt_ms, 0));
    const Located where = locate(server, initial_timeout_ms_);
    update(shards_[where.shard], where.blank, now(), [this, r](Slot& slot) {
        // RFC 6298 §2.2 and §2.3; RTTVAR is updated with the SRTT from before this sample.
        if (!slot.measured) {
            slot.srtt_ms = r;
            slot.rttvar_ms = r / 2;
            slot.measured = true;
        } else {
            slot.rttvar_ms = 0.75 * slot.rttvar_ms + 0.25 * std::abs(slot.srtt_ms - r);
            slot.srtt_ms = 0.875 * slot.srtt_ms + 0.125 * r;
        }
        slot.rto_ms = clampTimeout(slot.srtt_ms + std::max(granularity_ms, 4 * slot.rttvar_ms));
        slot.timeouts = 0;
        slot.held_until = 0;
    });
}

void InfraCache::recordTimeout(const SocketAddress& server) noexcept
{
    queries_timed_out_.fetch_add(1, std::memory_order_relaxed);
    const std::int64_t at = now();
    const Located where = locate(server, initial_timeout_ms_);
    update(shards_[where.shard], where.blank, at, [this, at](Slot& slot) {
        if (at < slot.held_until)
            return;
        slot.rto_ms = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(std::uint64_t { slot.rto_ms } * 2, options_.max_timeout_ms));
        if (slot.timeouts < 255)
            ++slot.timeouts;
        if (slot.timeouts >= hold_down_after) {
            const int doublings = std::min(slot.timeouts - hold_down_after, 16);
            slot.held_until = at + std::min(first_hold_down_ms << doublings, max_hold_down_ms);
        }
    });
}

void InfraCache::recordLame(const SocketAddress& server, const DnsName& zone, LameKind kind) noexcept
{
    const std::int64_t at = now();
    const Located where = locate(server, 0);
    update(shards_[where.shard], lameKey(where, zoneHash(zone)), at, [at, kind](Slot& slot) {
        slot.lame = kind;
        slot.lame_until = at + (kind == LameKind::serv_fail ? serv_fail_lame_ms : lame_ms);
    });
}

void InfraCache::recordEdns(const SocketAddress& server, EdnsSupport support) noexcept
{
    const Located where = locate(server, initial_timeout_ms_);
    update(shards_[where.shard], where.blank, now(), [support](Slot& slot) { slot.edns = support; });
}

std::optional<ServerInfo> InfraCache::find(const SocketAddress& server) const
{
    const std::int64_t at = now();
    const Located where = locate(server, 0);
    Shard& shard = shards_[where.shard];
    std::lock_guard lock(shard.lock);
    const Slot* slot = shard.findLive(where.blank, at);
    if (slot == nullptr)
        return std::nullopt;
    return ServerInfo { slot->measured, slot->srtt_ms, slot->rttvar_ms, slot->rto_ms, slot->timeouts,
        slot->held_until, slot->edns };
}

std::uint32_t InfraCache::timeoutMs(const SocketAddress& server) const
{
    const auto info = find(server);
    return info ? info->timeout_ms : initial_timeout_ms_;
}

const std::size_t InfraCache::slot_bytes = sizeof(infra_detail::Slot);

void InfraCache::forgetLameness() noexcept
{
    for (std::size_t s = 0; s < shard_count; ++s) {
        infra_detail::Shard& shard = shards_[s];
        std::lock_guard lock(shard.lock);
        for (std::size_t i = 0; i < shard.capacity; ++i) {
            if (shard.slots[i].used && shard.slots[i].zone != 0)
                shard.slots[i].lame_until = 0; // dead: reclaimed as any expired slot, probe runs intact
        }
    }
}

std::optional<LameKind> InfraCache::lameness(const SocketAddress& server, const DnsName& zone) const
{
    const std::int64_t at = now();
    const Located where = locate(server, 0);
    const Slot key = lameKey(where, zoneHash(zone));
    Shard& shard = shards_[where.shard];
    std::lock_guard lock(shard.lock);
    const Slot* slot = shard.findLive(key, at);
    return slot != nullptr ? std::optional(slot->lame) : std::nullopt;
}

ResolveResultOr<std::vector<RankedServer>> InfraCache::rank(std::span<const SocketAddress> servers,
    const DnsName& zone, std::int64_t now_ms, const Random& random) const
{
    struct Candidate {
        RankedServer server;
        double key { 0 };
        bool unmeasured { false };
    };
    std::vector<Candidate> candidates;
    std::vector<RankedServer> out;
    try {
        candidates.reserve(servers.size());
        out.reserve(servers.size());
    } catch (const std::bad_alloc&) {
        return std::unexpected(ResolveError::OutOfMemory);
    }
    const std::uint64_t zone_hash = zoneHash(zone);
    for (const SocketAddress& address : servers) {
        const Located where = locate(address, 0);
        const Slot lame_key = lameKey(where, zone_hash);
        Candidate c { { address, ServerStanding::usable, unknown_rtt_ms, initial_timeout_ms_ }, 0, true };
        {
            Shard& shard = shards_[where.shard];
            std::lock_guard lock(shard.lock);
            if (const Slot* slot = shard.findLive(where.blank, now_ms)) {
                c.server.timeout_ms = slot->rto_ms;
                c.unmeasured = !slot->measured && slot->timeouts == 0;
                if (slot->timeouts != 0)
                    c.server.expected_ms = std::max(slot->srtt_ms, static_cast<double>(slot->rto_ms));
                else if (slot->measured)
                    c.server.expected_ms = slot->srtt_ms;
                if (now_ms < slot->held_until)
                    c.server.standing = ServerStanding::held_down;
            }
            if (c.server.standing == ServerStanding::usable && shard.findLive(lame_key, now_ms) != nullptr)
                c.server.standing = ServerStanding::lame;
        }
        const double u = unitInterval(random());
        c.key = c.server.expected_ms * (1 + jitter_fraction * u) + jitter_floor_ms * u;
        candidates.push_back(c);
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return a.server.standing != b.server.standing ? a.server.standing < b.server.standing : a.key < b.key;
    });
    if (unitInterval(random()) * exploration_one_in < 1) {
        const auto usable_end = std::find_if(candidates.begin(), candidates.end(),
            [](const Candidate& c) { return c.server.standing != ServerStanding::usable; });
        const auto unmeasured
            = std::count_if(candidates.begin(), usable_end, [](const Candidate& c) { return c.unmeasured; });
        if (unmeasured > 0) {
            auto pick = static_cast<std::ptrdiff_t>(unitInterval(random()) * static_cast<double>(unmeasured));
            auto it = candidates.begin();
            for (;; ++it) {
                if (it->unmeasured && pick-- == 0)
                    break;
            }
            std::rotate(candidates.begin(), it, it + 1);
        }
    }
    for (const Candidate& c : candidates)
        out.push_back(c.server);
    return out;
}

std::size_t InfraCache::size() const
{
    std::size_t total = 0;
    for (std::size_t i = 0; i < shard_count; ++i) {
        std::lock_guard lock(shards_[i].lock);
        total += shards_[i].count;
    }
    return total;
}

std::size_t InfraCache::maxEntries() const
{
    return shards_[0].limit * shard_count;
}

} // namespace recursor
