#include "ops/metrics.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>
#include <vector>

namespace recursor {

namespace {

    // Sorts in place; a stable merge sort keeps the cost predictable whatever the sample order.
    LatencyPercentiles percentilesOf(std::vector<std::uint64_t>& samples)
    {
        const std::size_t n = samples.size();
        if (n == 0)
            return {};
        std::stable_sort(samples.begin(), samples.end());
        return {
            .p50_us = samples[n / 2],
            .p90_us = samples[std::min(n * 90 / 100, n - 1)],
            .p99_us = samples[std::min(n * 99 / 100, n - 1)],
        };
    }

} // namespace

std::string_view transportName(Transport transport)
{
    switch (transport) {
    case Transport::udp:
        return "udp";
    case Transport::tcp:
        return "tcp";
    case Transport::tls:
        return "tls";
    case Transport::https:
        return "https";
    }
    return "udp";
}

std::string_view streamRefusalName(StreamRefusal why)
{
    switch (why) {
    case StreamRefusal::not_allowed:
        return "not_allowed";
    case StreamRefusal::client_at_limit:
        return "client_at_limit";
    case StreamRefusal::all_busy:
        return "all_busy";
    }
    return "not_allowed";
}

std::int64_t systemWallClockSeconds()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

LatencyPercentiles calculateLatencyPercentiles(std::span<const std::uint64_t> samples_us)
{
    try {
        std::vector<std::uint64_t> sorted(samples_us.begin(), samples_us.end());
        return percentilesOf(sorted);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

OpsResult<std::unique_ptr<Metrics>> Metrics::init(WallClock clock)
{
    if (!clock)
        return std::unexpected(OpsError::InvalidArgs);
    try {
        // Value-initialised: every slot starts at 0.
        auto samples = std::make_unique<std::atomic<std::uint64_t>[]>(max_latency_samples);
        return std::unique_ptr<Metrics>(new Metrics(std::move(clock), std::move(samples)));
    } catch (const std::bad_alloc&) {
        return std::unexpected(OpsError::OutOfMemory);
    }
}

Metrics::Metrics(WallClock clock, std::unique_ptr<std::atomic<std::uint64_t>[]> samples)
    : latency_samples_(std::move(samples))
    , clock_(std::move(clock))
    , start_time_(clock_())
{
}

void LatencyHistogram::record(std::uint64_t microseconds)
{
    const auto* bound = std::lower_bound(bounds_us.begin(), bounds_us.end(), microseconds);
    buckets[static_cast<std::size_t>(bound - bounds_us.begin())].fetch_add(1, std::memory_order_relaxed);
    sum_us.fetch_add(microseconds, std::memory_order_relaxed);
}

void Metrics::recordAnswerTime(CacheOutcome cache, std::uint64_t microseconds)
{
    (cache == CacheOutcome::hit ? answer_time_hit : answer_time_miss).record(microseconds);
    recordLatency(microseconds);
}

void Metrics::recordQuery(RCode rcode, CacheOutcome cache)
{
    queries_total.fetch_add(1);
    switch (cache) {
    case CacheOutcome::hit:
        cache_hits.fetch_add(1);
        break;
    case CacheOutcome::miss:
        cache_misses.fetch_add(1);
        break;
    case CacheOutcome::not_applicable:
        break;
    }
    switch (rcode) {
    case RCode::no_error:
        queries_success.fetch_add(1);
        break;
    case RCode::form_err:
        queries_formerr.fetch_add(1);
        break;
    case RCode::serv_fail:
        queries_servfail.fetch_add(1);
        break;
    case RCode::nx_domain:
        queries_nxdomain.fetch_add(1);
        break;
    case RCode::refused:
        queries_refused.fetch_add(1);
        break;
    case RCode::not_imp:
    case RCode::yx_domain:
    case RCode::yx_rrset:
    case RCode::nx_rrset:
    case RCode::not_auth:
    case RCode::not_zone:
        break; // counted in the total only, like the unnamed codes 11-15
    }
}

void Metrics::recordDnssecValidation(DnssecValidationResult result)
{
    dnssec_validations_total.fetch_add(1);
    switch (result) {
    case DnssecValidationResult::secure:
        dnssec_validations_success.fetch_add(1);
        break;
    case DnssecValidationResult::bogus:
        dnssec_validations_bogus.fetch_add(1);
        break;
    case DnssecValidationResult::insecure:
        dnssec_validations_insecure.fetch_add(1);
        break;
    }
}

void Metrics::recordLatency(std::uint64_t microseconds)
{
    if (latency_sample_counter_.fetch_add(1) % latency_sample_rate != 0)
        return;
    const std::size_t slot = latency_write_index_.fetch_add(1) % max_latency_samples;
    latency_samples_[slot].store(microseconds);
    std::size_t count = latency_sample_count_.load();
    while (count < max_latency_samples && !latency_sample_count_.compare_exchange_weak(count, count + 1)) { }
}

LatencyPercentiles Metrics::latencyPercentiles() const
{
    const std::size_t n = std::min(latency_sample_count_.load(), max_latency_samples);
    try {
        std::vector<std::uint64_t> copy;
        copy.reserve(n);
        for (std::size_t i = 0; i < n; ++i)
            copy.push_back(latency_samples_[i].load());
        return percentilesOf(copy);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::uint64_t Metrics::uptimeSeconds(std::int64_t now_seconds) const
{
    return now_seconds > start_time_ ? static_cast<std::uint64_t>(now_seconds - start_time_) : 0;
}

Snapshot Metrics::snapshot(std::int64_t now_seconds) const
{
    const LatencyPercentiles latency = latencyPercentiles();
    return {
        .queries_total = queries_total.load(),
        .queries_success = queries_success.load(),
        .queries_nxdomain = queries_nxdomain.load(),
        .queries_formerr = queries_formerr.load(),
        .queries_servfail = queries_servfail.load(),
        .queries_refused = queries_refused.load(),
        .cache_hits = cache_hits.load(),
        .cache_misses = cache_misses.load(),
        .dnssec_validations_total = dnssec_validations_total.load(),
        .dnssec_validations_success = dnssec_validations_success.load(),
        .dnssec_validations_bogus = dnssec_validations_bogus.load(),
        .dnssec_validations_insecure = dnssec_validations_insecure.load(),
        .queries_shed = queries_shed.load(),
        .uptime_seconds = uptimeSeconds(now_seconds),
        .latency_p50_us = latency.p50_us,
        .latency_p90_us = latency.p90_us,
        .latency_p99_us = latency.p99_us,
    };
}

} // namespace recursor
