#include "ops/metrics.h"

#include "base/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace recursor {
namespace {

    constexpr std::int64_t start_seconds = 1'700'000'000;

    // A wall clock the test can step, readable from any thread.
    struct FakeClock {
        std::shared_ptr<std::atomic<std::int64_t>> now
            = std::make_shared<std::atomic<std::int64_t>>(start_seconds);
        WallClock function() const
        {
            return [now = now] { return now->load(); };
        }
    };

    std::unique_ptr<Metrics> makeMetrics(const FakeClock& clock)
    {
        auto metrics = Metrics::init(clock.function());
        EXPECT_TRUE(metrics.has_value());
        return metrics ? std::move(*metrics) : nullptr;
    }

    TEST(Metrics, CountsEachQueryOutcomeInItsCounters)
    {
        struct Case {
            const char* label;
            RCode rcode;
            CacheOutcome cache;
            Snapshot expected;
        };
        const std::vector<Case> cases = {
            { "FORMERR reply touches no cache counter", RCode::form_err, CacheOutcome::not_applicable,
                { .queries_total = 1, .queries_formerr = 1 } },
            { "cached NXDOMAIN", RCode::nx_domain, CacheOutcome::hit,
                { .queries_total = 1, .queries_nxdomain = 1, .cache_hits = 1 } },
            { "NOTIMP has no RCODE counter", RCode::not_imp, CacheOutcome::miss,
                { .queries_total = 1, .cache_misses = 1 } },
            { "resolved NOERROR", RCode::no_error, CacheOutcome::miss,
                { .queries_total = 1, .queries_success = 1, .cache_misses = 1 } },
            { "SERVFAIL after a failed resolution", RCode::serv_fail, CacheOutcome::not_applicable,
                { .queries_total = 1, .queries_servfail = 1 } },
            { "cached REFUSED", RCode::refused, CacheOutcome::hit,
                { .queries_total = 1, .queries_refused = 1, .cache_hits = 1 } },
            { "YXDOMAIN has no RCODE counter", RCode::yx_domain, CacheOutcome::hit,
                { .queries_total = 1, .cache_hits = 1 } },
            { "unnamed RCODE 15", static_cast<RCode>(15), CacheOutcome::not_applicable,
                { .queries_total = 1 } },
        };
        FakeClock clock;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto metrics = makeMetrics(clock);
            ASSERT_NE(metrics, nullptr);
            metrics->recordQuery(c.rcode, c.cache);
            EXPECT_EQ(metrics->snapshot(start_seconds), c.expected);
        }
    }

    TEST(Metrics, CountsBogusAnswerAsValidationAndServfail)
    {
        FakeClock clock;
        auto metrics = makeMetrics(clock);
        ASSERT_NE(metrics, nullptr);
        metrics->recordDnssecValidation(DnssecValidationResult::bogus);
        metrics->recordQuery(RCode::serv_fail, CacheOutcome::not_applicable);
        const Snapshot expected { .queries_total = 1,
            .queries_servfail = 1,
            .dnssec_validations_total = 1,
            .dnssec_validations_bogus = 1 };
        EXPECT_EQ(metrics->snapshot(start_seconds), expected);
    }

    TEST(Metrics, CountsSecureAndInsecureValidationsSeparately)
    {
        FakeClock clock;
        auto metrics = makeMetrics(clock);
        ASSERT_NE(metrics, nullptr);
        metrics->recordDnssecValidation(DnssecValidationResult::secure);
        metrics->recordDnssecValidation(DnssecValidationResult::secure);
        metrics->recordDnssecValidation(DnssecValidationResult::insecure);
        const Snapshot snapshot = metrics->snapshot(start_seconds);
        EXPECT_EQ(snapshot.dnssec_validations_total, 3u);
        EXPECT_EQ(snapshot.dnssec_validations_success, 2u);
        EXPECT_EQ(snapshot.dnssec_validations_insecure, 1u);
        EXPECT_EQ(snapshot.dnssec_validations_bogus, 0u);
        EXPECT_EQ(snapshot.queries_total, 0u);
    }

    TEST(Metrics, FreshSnapshotIsZeroExceptUptime)
    {
        FakeClock clock;
        auto metrics = makeMetrics(clock);
        ASSERT_NE(metrics, nullptr);
        EXPECT_EQ(metrics->startTime(), start_seconds);
        clock.now->store(start_seconds + 42);
        EXPECT_EQ(metrics->snapshot(), Snapshot { .uptime_seconds = 42 });
    }

    TEST(Metrics, ClockSetBackBeforeStartGivesZeroUptime)
    {
        FakeClock clock;
        auto metrics = makeMetrics(clock);
        ASSERT_NE(metrics, nullptr);
        clock.now->store(start_seconds - 3600);
        EXPECT_EQ(metrics->snapshot().uptime_seconds, 0u);
        EXPECT_EQ(metrics->uptimeSeconds(INT64_MIN), 0u);
        clock.now->store(start_seconds + 5);
        EXPECT_EQ(metrics->snapshot().uptime_seconds, 5u);
    }

    TEST(Metrics, RejectsMissingClock)
    {
        auto metrics = Metrics::init(WallClock {});
        ASSERT_FALSE(metrics.has_value());
        EXPECT_EQ(metrics.error(), OpsError::InvalidArgs);
    }

    TEST(Metrics, PercentilesPickIndicesFromTheSortedSamples)
    {
        struct Case {
            const char* label;
            std::vector<std::uint64_t> samples;
            LatencyPercentiles expected;
        };
        std::vector<std::uint64_t> hundred;
        for (std::uint64_t i = 100; i >= 1; --i)
            hundred.push_back(i);
        const std::vector<Case> cases = {
            { "no samples", {}, { 0, 0, 0 } },
            { "one sample", { 7 }, { 7, 7, 7 } },
            { "one to ten", { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10 }, { 6, 10, 10 } },
            { "one to ten shuffled", { 9, 2, 10, 4, 1, 6, 3, 8, 5, 7 }, { 6, 10, 10 } },
            { "one hundred descending", hundred, { 51, 91, 100 } },
            { "duplicates", { 5, 5, 1, 5 }, { 5, 5, 5 } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(calculateLatencyPercentiles(c.samples), c.expected);
        }
    }

    TEST(Metrics, KeepsOneLatencySampleInHundredAndCapsTheRing)
    {
        FakeClock clock;
        auto metrics = makeMetrics(clock);
        ASSERT_NE(metrics, nullptr);
        EXPECT_EQ(metrics->latencyPercentiles(), LatencyPercentiles {});

        // Calls 0, 100, ..., 900 are kept: ten samples 1..10.
        for (std::uint64_t call = 0; call < 1000; ++call)
            metrics->recordLatency(call / 100 + 1);
        const Snapshot snapshot = metrics->snapshot(start_seconds);
        EXPECT_EQ(snapshot.latency_p50_us, 6u);
        EXPECT_EQ(snapshot.latency_p90_us, 10u);
        EXPECT_EQ(snapshot.latency_p99_us, 10u);

        // 10001 more kept samples wrap the ring: the oldest ten and the first new one are overwritten,
        // leaving 10000 samples 2..10001 (written as value k for the k-th new sample).
        for (std::uint64_t k = 1; k <= 10001; ++k) {
            for (std::uint64_t skip = 0; skip < Metrics::latency_sample_rate; ++skip)
                metrics->recordLatency(k);
        }
        EXPECT_EQ(metrics->latencyPercentiles(), (LatencyPercentiles { 5002, 9002, 9902 }));
    }

    TEST(Metrics, ConcurrentIncrementsAddUpExactly)
    {
        FakeClock clock;
        auto metrics = makeMetrics(clock);
        ASSERT_NE(metrics, nullptr);
        constexpr int writers = 4;
        constexpr std::uint64_t per_writer = 20000;
        std::atomic<bool> done { false };
        std::uint64_t last_seen_total = 0;
        bool totals_never_shrank = true;
        Thread reader;
        ASSERT_EQ(reader.start([&] {
            while (!done.load()) {
                const std::uint64_t total = metrics->snapshot().queries_total;
                totals_never_shrank = totals_never_shrank && total >= last_seen_total;
                last_seen_total = total;
            }
        }),
            0);
        std::vector<Thread> threads(writers);
        for (Thread& thread : threads) {
            ASSERT_EQ(thread.start([&] {
                for (std::uint64_t i = 0; i < per_writer; ++i) {
                    metrics->recordQuery(
                        RCode::no_error, i % 2 == 0 ? CacheOutcome::hit : CacheOutcome::miss);
                    metrics->recordDnssecValidation(DnssecValidationResult::secure);
                }
            }),
                0);
        }
        for (Thread& thread : threads)
            thread.join();
        done.store(true);
        reader.join();

        const Snapshot snapshot = metrics->snapshot(start_seconds);
        EXPECT_TRUE(totals_never_shrank);
        EXPECT_EQ(snapshot.queries_total, writers * per_writer);
        EXPECT_EQ(snapshot.queries_success, writers * per_writer);
        EXPECT_EQ(snapshot.cache_hits, writers * per_writer / 2);
        EXPECT_EQ(snapshot.cache_misses, writers * per_writer / 2);
        EXPECT_EQ(snapshot.dnssec_validations_total, writers * per_writer);
        EXPECT_EQ(snapshot.dnssec_validations_success, writers * per_writer);
    }

    TEST(Metrics, AnswerTimesFallIntoTheirBucketsAndCodesAreCountedByValue)
    {
        auto metrics = std::move(*Metrics::init([] { return std::int64_t { 0 }; }));
        // A bound belongs to its own bucket; beyond the last bound is the overflow bucket.
        for (std::uint64_t us : { 0, 100, 101, 5'000'000, 5'000'001 })
            metrics->recordAnswerTime(CacheOutcome::miss, us);
        metrics->recordAnswerTime(CacheOutcome::hit, 7);
        const auto& miss = metrics->answer_time_miss.buckets;
        EXPECT_EQ(miss[0].load(), 2u);
        EXPECT_EQ(miss[1].load(), 1u);
        EXPECT_EQ(miss[miss.size() - 2].load(), 1u);
        EXPECT_EQ(miss.back().load(), 1u);
        EXPECT_EQ(metrics->answer_time_miss.sum_us.load(), 10'000'202u);
        EXPECT_EQ(metrics->answer_time_hit.buckets[0].load(), 1u);

        metrics->recordAnswer(Transport::tcp, 4); // NOTIMP
        metrics->recordAnswer(Transport::tls, 16 + 4); // an extended RCODE: its header part
        metrics->recordExtendedError(22);
        metrics->recordExtendedError(400);
        EXPECT_EQ(metrics->answers_by_rcode[1][4].load(), 1u);
        EXPECT_EQ(metrics->answers_by_rcode[2][4].load(), 1u);
        EXPECT_EQ(metrics->answers_by_rcode[0][4].load(), 0u) << "counted by transport";
        EXPECT_EQ(metrics->extended_errors[22].load(), 1u);
        EXPECT_EQ(metrics->extended_errors[31].load(), 1u) << "codes beyond the table share its last slot";
    }

} // namespace
} // namespace recursor
