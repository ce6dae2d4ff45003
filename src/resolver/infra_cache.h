// What the resolver has learned about the servers it asks, for choosing whom to ask first and how long
// to wait: per server (address and port) a smoothed round-trip time and its variance (RFC 6298), the
// timeout derived from them and doubled on every loss, a hold-down after several losses in a row, and
// whether the server speaks EDNS; per (server, zone), whether the server is lame for the zone.
// Entries age by milliseconds of the monotonic clock: one not updated for `idle_ms` is forgotten, so that
// a server is measured afresh rather than judged forever by an old figure. Every slot of the byte budget
// is allocated by init, so updates never allocate and cannot fail; a full shard evicts the least recently
// updated of a few sampled entries. 16 shards with a mutex each; every operation holds one lock at a time,
// for a few probes of a flat table, and keys are hashed with SipHash outside the locks.
#pragma once

#include "base/socket_address.h"
#include "resolver/qname_minimisation.h"
#include "resolver/resolve_error.h"
#include "wire/name.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace recursor {

namespace infra_detail {
    struct Shard;
}

// Why a server is not to be asked about a zone.
enum class LameKind : std::uint8_t {
    refused,
    serv_fail,
    not_authoritative, // an answer without AA for a name of the zone
    upward_referral, // a referral to the zone itself or above it
};

enum class EdnsSupport : std::uint8_t { unknown, yes, no };

// Ranking groups, in the order they are asked.
enum class ServerStanding : std::uint8_t { usable, lame, held_down };

struct InfraOptions {
    std::size_t max_bytes { 1024 * 1024 }; // about 8000 servers and lame zones
    // Bounds of every timeout handed out: below 50 ms a reply is mostly lost to scheduling delay, and the
    // resolver waits no longer than 3 s for any one exchange.
    std::uint32_t min_timeout_ms { 50 };
    std::uint32_t max_timeout_ms { 3000 };
};

struct ServerInfo {
    bool measured { false }; // has a round-trip sample
    double srtt_ms { 0 };
    double rttvar_ms { 0 };
    std::uint32_t timeout_ms { 0 }; // RTO: how long to wait for its next reply
    std::uint8_t consecutive_timeouts { 0 };
    std::int64_t held_down_until_ms { 0 }; // ranked last before then
    EdnsSupport edns { EdnsSupport::unknown };
};

struct RankedServer {
    SocketAddress address;
    ServerStanding standing { ServerStanding::usable };
    double expected_ms { 0 }; // what the order rests on, before jitter
    std::uint32_t timeout_ms { 0 };
};

class InfraCache {
public:
    using Clock = std::function<std::int64_t()>; // milliseconds of a monotonic clock
    using Random = std::function<std::uint64_t()>; // uniformly distributed 64-bit values

    static constexpr std::size_t shard_count = 16;
    // RFC 6298 starts at 1 s for a peer it cannot avoid; a resolver has other servers to try, and 400 ms
    // covers a round trip half way around the world over fibre (about 300 ms) with the server's own
    // time. A slower server answers the retry, which waits twice as long.
    static constexpr std::uint32_t initial_timeout_ms = 400;
    // The clock granularity G of RFC 6298 §2.
    static constexpr double granularity_ms = 1;
    // Where an unmeasured server ranks: after one on the same continent, before one across an ocean, so
    // that it is tried when the known ones are slow.
    static constexpr double unknown_rtt_ms = 150;
    // One ranking in this many puts an unmeasured server first even behind fast known ones, so that a
    // faster server is found and the load spreads over the servers of a zone.
    static constexpr std::uint64_t exploration_one_in = 20;
    // Near-equal servers trade places: each expected time is stretched by a random part of an eighth of
    // itself plus up to 2 ms.
    static constexpr double jitter_fraction = 0.125;
    static constexpr double jitter_floor_ms = 2;
    // One or two lost datagrams happen on a healthy path; three in a row mean the server or its path is
    // down. It is then held down for 1 s, doubled with every probe lost after that, up to a minute: a dead
    // server costs a probe a minute, and a recovered one is back within a minute.
    static constexpr std::uint8_t hold_down_after = 3;
    static constexpr std::int64_t first_hold_down_ms = 1000;
    static constexpr std::int64_t max_hold_down_ms = 60'000;
    // A SERVFAIL is often passing (a zone being loaded or re-signed); refusal, missing authority and
    // referrals upwards are configuration errors, fixed in hours, but a mistaken mark should not last.
    static constexpr std::int64_t serv_fail_lame_ms = 60'000;
    static constexpr std::int64_t lame_ms = 600'000;
    // Paths and load change over minutes; an entry nobody updated for this long is no longer trusted.
    static constexpr std::int64_t idle_ms = 15 * 60'000;

    static ResolveResultOr<std::unique_ptr<InfraCache>> init(InfraOptions options = {}, Clock clock = {});
    ~InfraCache();
    InfraCache(const InfraCache&) = delete;
    InfraCache& operator=(const InfraCache&) = delete;

    std::int64_t now() const { return clock_(); }

    // Updates take the time from the clock. They never allocate: a slot is always found or made.
    // A reply `rtt_ms` after its query was sent (RFC 6298 §2); clears timeouts and hold-down. Each retry
    // goes out with a fresh ID and port, so a reply always belongs to one send and Karn's ambiguity of
    // retransmitted segments does not arise.
    void recordReply(const SocketAddress& server, std::int64_t rtt_ms) noexcept;
    // Doubles the timeout (RFC 6298 §5.5) and holds the server down after `hold_down_after` in a row.
    // Timeouts arriving while it is held down were sent before, and count no further.
    void recordTimeout(const SocketAddress& server) noexcept;
    void recordLame(const SocketAddress& server, const DnsName& zone, LameKind kind) noexcept;
    void recordEdns(const SocketAddress& server, EdnsSupport support) noexcept;

    std::optional<ServerInfo> find(const SocketAddress& server) const;
    // The RTO of a known server, initial_timeout_ms (within the bounds) for another.
    std::uint32_t timeoutMs(const SocketAddress& server) const;
    std::optional<LameKind> lameness(const SocketAddress& server, const DnsName& zone) const;

    // The order to ask `servers` of `zone` in: usable ones by expected round-trip time (the SRTT, the
    // backed-off RTO after a loss, unknown_rtt_ms for an unmeasured one) with jitter, now and then an
    // unmeasured one first; then those lame for the zone; then those held down. `random` is called once
    // per server, once more, and once again when exploring, outside the locks.
    ResolveResultOr<std::vector<RankedServer>> rank(std::span<const SocketAddress> servers,
        const DnsName& zone, std::int64_t now_ms, const Random& random) const;

    // Every lameness mark ends (they are kept by a keyed hash of the zone, so a subtree cannot be told
    // apart); round-trip times stay, as they belong to servers, not names.
    void forgetLameness() noexcept;

    // Upstream queries sent (each server asked) and those that timed out, for the operator.
    void recordAsked() noexcept { queries_sent_.fetch_add(1, std::memory_order_relaxed); }
    std::uint64_t queriesSent() const { return queries_sent_.load(std::memory_order_relaxed); }
    std::uint64_t queriesTimedOut() const { return queries_timed_out_.load(std::memory_order_relaxed); }
    // Names a resolution stopped minimising and asked whole (RFC 9156), by reason.
    void recordMinimisationFallback(MinimisationFallback reason) noexcept
    {
        minimisation_fallbacks_[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
    }
    std::uint64_t minimisationFallbacks(MinimisationFallback reason) const
    {
        return minimisation_fallbacks_[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
    }

    // The memory one entry takes.
    static const std::size_t slot_bytes;

    // Entries held (servers and lame zones), expired ones not yet reclaimed included.
    std::size_t size() const;
    std::size_t maxEntries() const;

private:
    InfraCache(InfraOptions options, Clock clock);
    std::uint32_t clampTimeout(double ms) const;

    InfraOptions options_;
    std::uint32_t initial_timeout_ms_ { 0 }; // initial_timeout_ms within the bounds
    Clock clock_;
    std::unique_ptr<infra_detail::Shard[]> shards_;
    std::atomic<std::uint64_t> queries_sent_ { 0 };
    std::atomic<std::uint64_t> queries_timed_out_ { 0 };
    std::array<std::atomic<std::uint64_t>, minimisation_fallback_kinds> minimisation_fallbacks_ {};
};

} // namespace recursor
