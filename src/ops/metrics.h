// The server's query counters, shared lock-free between the event loops that update them and the
// operator interfaces (HTTP server, control socket) that read them.
#pragma once

#include "ops/ops_error.h"
#include "wire/constants.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace recursor {

// Whole seconds since the Unix epoch. Injected so that uptime can be tested across clock steps.
using WallClock = std::function<std::int64_t()>;
std::int64_t systemWallClockSeconds();

enum class CacheOutcome : std::uint8_t { hit, miss, not_applicable };

enum class DnssecValidationResult : std::uint8_t { secure = 0, bogus = 1, insecure = 2 };

// How a client's question came and its answer went.
enum class Transport : std::uint8_t { udp, tcp, tls, https };
inline constexpr std::size_t transport_count = 4;
// "udp", "tcp", "tls", "https": the label value in the exposition and the word in the query log.
std::string_view transportName(Transport transport);

// Why a TCP or TLS connection was closed as it was accepted, before any byte of it was read.
enum class StreamRefusal : std::uint8_t { not_allowed, client_at_limit, all_busy };
inline constexpr std::size_t stream_refusal_count = 3;
// "not_allowed", "client_at_limit", "all_busy": the label values in the exposition.
std::string_view streamRefusalName(StreamRefusal why);

// A plain copy of the counters for readers. The counters are loaded one by one, so concurrent
// updates may show partially.
struct Snapshot {
    std::uint64_t queries_total { 0 };
    std::uint64_t queries_success { 0 };
    std::uint64_t queries_nxdomain { 0 };
    std::uint64_t queries_formerr { 0 };
    std::uint64_t queries_servfail { 0 };
    std::uint64_t queries_refused { 0 };
    std::uint64_t cache_hits { 0 };
    std::uint64_t cache_misses { 0 };
    std::uint64_t dnssec_validations_total { 0 };
    std::uint64_t dnssec_validations_success { 0 };
    std::uint64_t dnssec_validations_bogus { 0 };
    std::uint64_t dnssec_validations_insecure { 0 };
    std::uint64_t queries_shed { 0 };
    std::uint64_t uptime_seconds { 0 };
    std::uint64_t latency_p50_us { 0 };
    std::uint64_t latency_p90_us { 0 };
    std::uint64_t latency_p99_us { 0 };

    bool operator==(const Snapshot&) const = default;
};

struct LatencyPercentiles {
    std::uint64_t p50_us { 0 };
    std::uint64_t p90_us { 0 };
    std::uint64_t p99_us { 0 };

    bool operator==(const LatencyPercentiles&) const = default;
};

// p50 = sorted[n/2], p90 = sorted[min(n*90/100, n-1)], p99 = sorted[min(n*99/100, n-1)];
// all zero for no samples or when the sort buffer cannot be allocated.
LatencyPercentiles calculateLatencyPercentiles(std::span<const std::uint64_t> samples_us);

// Answer times by cache outcome, in fixed buckets (upper bounds in microseconds), for a Prometheus
// histogram. Each bucket counts only its own range; the exposition adds them up.
struct LatencyHistogram {
    static constexpr std::array<std::uint64_t, 11> bounds_us { 100, 500, 1000, 5000, 10000, 50000, 100000,
        500000, 1000000, 2000000, 5000000 };
    std::array<std::atomic<std::uint64_t>, bounds_us.size() + 1> buckets {}; // the last one: above all bounds
    std::atomic<std::uint64_t> sum_us { 0 };

    void record(std::uint64_t microseconds);
};

class Metrics {
public:
    static constexpr std::size_t max_latency_samples = 10000;
    static constexpr std::uint64_t latency_sample_rate = 100;

    // Allocates the latency store and takes the start time from `clock`.
    static OpsResult<std::unique_ptr<Metrics>> init(WallClock clock = systemWallClockSeconds);

    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // At most three atomic increments; never allocates or locks.
    void recordQuery(RCode rcode, CacheOutcome cache);
    void recordDnssecValidation(DnssecValidationResult result);
    // A question dropped unanswered because the resolution queue was full.
    void recordShed() { queries_shed.fetch_add(1); }
    // A question over its client's rate: dropped (a datagram) or refused (a connection).
    void recordRateLimited() { queries_rate_limited.fetch_add(1, std::memory_order_relaxed); }
    // An expired answer served because its servers did not answer in time (RFC 8767), per client.
    void recordStaleAnswer() { stale_answers.fetch_add(1, std::memory_order_relaxed); }
    // A background refresh of an answer asked for near the end of its TTL.
    void recordPrefetch() { prefetches_started.fetch_add(1, std::memory_order_relaxed); }
    // A datagram without a valid server cookie told BADCOOKIE (cookie_require; RFC 7873 §5.2.3).
    void recordBadCookie() { replies_badcookie.fetch_add(1, std::memory_order_relaxed); }
    void recordStreamRefused(StreamRefusal why)
    {
        streams_refused[static_cast<std::size_t>(why)].fetch_add(1, std::memory_order_relaxed);
    }
    // A reply sent, by the RCODE of its header (the low four bits; an extended RCODE counts as its
    // header part).
    void recordAnswer(Transport transport, std::uint16_t rcode)
    {
        answers_by_rcode[static_cast<std::size_t>(transport)][rcode & 0x0F].fetch_add(
            1, std::memory_order_relaxed);
    }
    // Keeps one in `latency_sample_rate` calls in a ring of `max_latency_samples` slots.
    // The query path does not call it today.
    void recordLatency(std::uint64_t microseconds);
    // From a question's arrival to its answer; also fed to recordLatency.
    void recordAnswerTime(CacheOutcome cache, std::uint64_t microseconds);
    // An extended DNS error given to a client (RFC 8914); codes above 31 are counted as 31.
    void recordExtendedError(std::uint16_t code)
    {
        extended_errors[std::min<std::size_t>(code, extended_errors.size() - 1)].fetch_add(1);
    }
    // Response policy zone hits, by zone in configuration order (the first max_policy_zones). The names
    // are set before serving and by each reload, while the HTTP threads read them.
    static constexpr std::size_t max_policy_zones = 16;
    // A zone keeps its count across a reload that moves it; a zone new at an index starts from zero.
    void setPolicyZoneNames(std::vector<std::string> names)
    {
        std::lock_guard lock(policy_zone_names_mutex_);
        std::array<std::uint64_t, max_policy_zones> counts {};
        for (std::size_t i = 0; i < names.size() && i < max_policy_zones; ++i) {
            const auto old = std::ranges::find(policy_zone_names_, names[i]);
            const auto at = static_cast<std::size_t>(old - policy_zone_names_.begin());
            if (old != policy_zone_names_.end() && at < max_policy_zones)
                counts[i] = policy_hits[at].load(std::memory_order_relaxed);
        }
        for (std::size_t i = 0; i < max_policy_zones; ++i)
            policy_hits[i].store(counts[i], std::memory_order_relaxed);
        policy_zone_names_ = std::move(names);
    }
    std::string policyZoneName(std::size_t index) const
    {
        std::lock_guard lock(policy_zone_names_mutex_);
        return index < policy_zone_names_.size() ? policy_zone_names_[index] : std::string();
    }
    void recordPolicyHit(std::size_t zone_index)
    {
        if (zone_index < policy_hits.size())
            policy_hits[zone_index].fetch_add(1, std::memory_order_relaxed);
    }
    // More exposition text, from parts of the server the metrics do not know (caches, upstream). Set
    // before the HTTP server starts; called on its threads.
    void setMoreExposition(std::function<std::string()> more) { more_exposition_ = std::move(more); }
    std::string moreExposition() const { return more_exposition_ ? more_exposition_() : std::string(); }

    Snapshot snapshot() const { return snapshot(wallClockSeconds()); }
    Snapshot snapshot(std::int64_t now_seconds) const;
    LatencyPercentiles latencyPercentiles() const;

    std::int64_t startTime() const { return start_time_; }
    std::int64_t wallClockSeconds() const { return clock_(); }
    // Zero when the wall clock has been set back before the start time.
    std::uint64_t uptimeSeconds(std::int64_t now_seconds) const;

    // Public so that the operator interfaces can load them directly; all accesses are seq_cst.
    std::atomic<std::uint64_t> queries_total { 0 };
    std::atomic<std::uint64_t> queries_success { 0 };
    std::atomic<std::uint64_t> queries_nxdomain { 0 };
    std::atomic<std::uint64_t> queries_formerr { 0 };
    std::atomic<std::uint64_t> queries_servfail { 0 };
    std::atomic<std::uint64_t> queries_refused { 0 };
    std::atomic<std::uint64_t> cache_hits { 0 };
    std::atomic<std::uint64_t> cache_misses { 0 };
    std::atomic<std::uint64_t> dnssec_validations_total { 0 };
    std::atomic<std::uint64_t> dnssec_validations_success { 0 };
    std::atomic<std::uint64_t> dnssec_validations_bogus { 0 };
    std::atomic<std::uint64_t> dnssec_validations_insecure { 0 };
    std::atomic<std::uint64_t> queries_shed { 0 };
    std::atomic<std::uint64_t> queries_rate_limited { 0 };
    std::atomic<std::uint64_t> stale_answers { 0 };
    std::atomic<std::uint64_t> prefetches_started { 0 };
    std::atomic<std::uint64_t> replies_badcookie { 0 };
    // Replies sent, by transport and by the RCODE of the header.
    std::array<std::array<std::atomic<std::uint64_t>, 16>, transport_count> answers_by_rcode {};
    std::array<std::atomic<std::uint64_t>, 32> extended_errors {};
    std::array<std::atomic<std::uint64_t>, max_policy_zones> policy_hits {};
    std::array<std::atomic<std::uint64_t>, stream_refusal_count> streams_refused {};
    LatencyHistogram answer_time_hit;
    LatencyHistogram answer_time_miss;

private:
    std::function<std::string()> more_exposition_;
    mutable std::mutex policy_zone_names_mutex_;
    std::vector<std::string> policy_zone_names_;
    Metrics(WallClock clock, std::unique_ptr<std::atomic<std::uint64_t>[]> samples);

    std::unique_ptr<std::atomic<std::uint64_t>[]> latency_samples_;
    std::atomic<std::size_t> latency_sample_count_ { 0 };
    std::atomic<std::size_t> latency_write_index_ { 0 };
    std::atomic<std::uint64_t> latency_sample_counter_ { 0 };
    WallClock clock_;
    std::int64_t start_time_;
};

} // namespace recursor
