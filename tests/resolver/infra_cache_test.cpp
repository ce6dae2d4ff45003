// The infrastructure cache: the RFC 6298 estimator against figures worked by hand, back-off and hold-down,
// lameness per zone, the ranking with injected randomness, and the bounds in entries and in time.
#include "resolver/infra_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <thread>

namespace recursor {
namespace {

    SocketAddress addr(std::string_view ip, std::uint16_t port = 53)
    {
        return *SocketAddress::fromIpLiteral(ip, port);
    }

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    struct FakeClock {
        std::shared_ptr<std::atomic<std::int64_t>> now
            = std::make_shared<std::atomic<std::int64_t>>(1'000'000);
        InfraCache::Clock fn() const
        {
            return [now = now] { return now->load(); };
        }
        void advance(std::int64_t ms) { now->fetch_add(ms); }
    };

    // All ones: no jitter worth the name (every time stretched alike) and never exploring. All zeros:
    // no jitter, always exploring, the first unmeasured server picked.
    const InfraCache::Random calm = [] { return ~std::uint64_t { 0 }; };
    const InfraCache::Random exploring = [] { return std::uint64_t { 0 }; };

    std::unique_ptr<InfraCache> makeCache(const FakeClock& clock, InfraOptions options = {})
    {
        return std::move(*InfraCache::init(options, clock.fn()));
    }

    TEST(InfraCache, EstimatesRoundTripAndTimeoutAsRfc6298WithinTheBounds)
    {
        struct Case {
            const char* label;
            std::vector<std::int64_t> samples;
            double srtt, rttvar;
            std::uint32_t timeout;
            std::uint32_t min_ms = 50, max_ms = 3000;
        };
        const Case cases[] = {
            { "first sample", { 100 }, 100, 50, 300 },
            { "second sample, variance from the old srtt", { 100, 200 }, 112.5, 62.5, 363 },
            { "steady samples shrink the variance", { 100, 100, 100 }, 100, 28.125, 213 },
            { "sudden drop", { 400, 0 }, 350, 250, 1350 },
            { "fast server held at the floor", { 10 }, 10, 5, 50 },
            { "zero variance still adds the granularity", { 0 }, 0, 0, 50 },
            { "slow server held at the cap", { 2000, 2000 }, 2000, 750, 3000 },
            { "floor given at construction", { 10 }, 10, 5, 30, 10, 1000 },
            { "cap given at construction", { 900 }, 900, 450, 1000, 10, 1000 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            FakeClock clock;
            auto cache = makeCache(clock, { .min_timeout_ms = c.min_ms, .max_timeout_ms = c.max_ms });
            for (std::int64_t rtt : c.samples)
                cache->recordReply(addr("192.0.2.1"), rtt);
            const auto info = cache->find(addr("192.0.2.1"));
            ASSERT_TRUE(info.has_value());
            EXPECT_TRUE(info->measured);
            EXPECT_DOUBLE_EQ(info->srtt_ms, c.srtt);
            EXPECT_DOUBLE_EQ(info->rttvar_ms, c.rttvar);
            EXPECT_EQ(info->timeout_ms, c.timeout);
            EXPECT_EQ(cache->timeoutMs(addr("192.0.2.1")), c.timeout);
        }
    }

    TEST(InfraCache, KeysServersByAddressAndPort)
    {
        FakeClock clock;
        auto cache = makeCache(clock);
        cache->recordReply(addr("2001:db8::1"), 20);
        EXPECT_TRUE(cache->find(addr("2001:db8::1")).has_value());
        EXPECT_FALSE(cache->find(addr("2001:db8::1", 5353)).has_value());
        EXPECT_FALSE(cache->find(addr("2001:db8::2")).has_value());
        EXPECT_EQ(cache->timeoutMs(addr("192.0.2.9")), 400u) << "an unknown server";
    }

    TEST(InfraCache, TimeoutsDoubleTheTimeoutThenHoldTheServerDownUntilAReply)
    {
        FakeClock clock;
        auto cache = makeCache(clock);
        const auto server = addr("192.0.2.1");
        cache->recordReply(server, 100); // timeout 300
        struct Step {
            std::int64_t wait_ms; // before the timeout
            std::uint32_t timeout;
            std::uint8_t in_a_row;
            std::int64_t held_for; // from the timeout on; 0: not held down
        };
        const Step steps[] = {
            { 0, 600, 1, 0 },
            { 0, 1200, 2, 0 },
            { 0, 2400, 3, 1000 },
            { 999, 2400, 3, 1 }, // still held: sent before the hold-down, not counted
            { 1, 3000, 4, 2000 },
            { 2000, 3000, 5, 4000 },
            { 4000, 3000, 6, 8000 },
            { 8000, 3000, 7, 16000 },
            { 16000, 3000, 8, 32000 },
            { 32000, 3000, 9, 60000 },
            { 60000, 3000, 10, 60000 },
        };
        for (const Step& s : steps) {
            SCOPED_TRACE(
                testing::Message() << "timeout " << int(s.in_a_row) << " after " << s.wait_ms << " ms");
            clock.advance(s.wait_ms);
            cache->recordTimeout(server);
            const auto info = *cache->find(server);
            EXPECT_EQ(info.timeout_ms, s.timeout);
            EXPECT_EQ(info.consecutive_timeouts, s.in_a_row);
            EXPECT_EQ(info.held_down_until_ms, s.held_for == 0 ? 0 : clock.now->load() + s.held_for);
        }
        cache->recordReply(server, 100);
        const auto info = *cache->find(server);
        EXPECT_EQ(info.consecutive_timeouts, 0);
        EXPECT_EQ(info.held_down_until_ms, 0);
        EXPECT_EQ(info.timeout_ms, 250u) << "srtt 100, rttvar 37.5: the estimate, not the back-off";
    }

    TEST(InfraCache, LamenessHoldsForItsZoneAndKindThenExpires)
    {
        struct Case {
            LameKind kind;
            std::int64_t lasts_ms;
        };
        const Case cases[] = {
            { LameKind::refused, 600'000 },
            { LameKind::serv_fail, 60'000 },
            { LameKind::not_authoritative, 600'000 },
            { LameKind::upward_referral, 600'000 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(static_cast<int>(c.kind));
            FakeClock clock;
            auto cache = makeCache(clock);
            const auto server = addr("192.0.2.1");
            cache->recordLame(server, name("example.test"), c.kind);
            EXPECT_EQ(cache->lameness(server, name("EXAMPLE.test")), c.kind);
            EXPECT_EQ(cache->lameness(server, name("other.test")), std::nullopt);
            EXPECT_EQ(cache->lameness(server, name("www.example.test")), std::nullopt);
            EXPECT_EQ(cache->lameness(addr("192.0.2.2"), name("example.test")), std::nullopt);
            EXPECT_FALSE(cache->find(server).has_value()) << "lameness says nothing of round trips";
            clock.advance(c.lasts_ms - 1);
            EXPECT_EQ(cache->lameness(server, name("example.test")), c.kind);
            clock.advance(1);
            EXPECT_EQ(cache->lameness(server, name("example.test")), std::nullopt);
        }
    }

    TEST(InfraCache, RanksFastestFirstUnknownBetweenAndLameOrHeldDownLast)
    {
        FakeClock clock;
        auto cache = makeCache(clock);
        const SocketAddress held = addr("192.0.2.1"), lame = addr("192.0.2.2"), slow = addr("192.0.2.3"),
                            unknown = addr("192.0.2.4"), fast = addr("192.0.2.5"), middle = addr("192.0.2.6");
        cache->recordReply(fast, 10);
        cache->recordReply(middle, 50);
        cache->recordReply(slow, 200);
        cache->recordReply(lame, 1);
        cache->recordLame(lame, name("example.test"), LameKind::refused);
        cache->recordReply(held, 1);
        for (int i = 0; i < 3; ++i)
            cache->recordTimeout(held);
        const SocketAddress servers[] = { held, lame, slow, unknown, fast, middle };

        const auto order = *cache->rank(servers, name("example.test"), clock.now->load(), calm);
        const std::vector<SocketAddress> expected { fast, middle, unknown, slow, lame, held };
        ASSERT_EQ(order.size(), expected.size());
        for (std::size_t i = 0; i < order.size(); ++i)
            EXPECT_EQ(order[i].address, expected[i]) << i;
        EXPECT_EQ(order[2].timeout_ms, 400u);
        EXPECT_EQ(order[4].standing, ServerStanding::lame);
        EXPECT_EQ(order[5].standing, ServerStanding::held_down);

        const auto elsewhere = *cache->rank(servers, name("other.test"), clock.now->load(), calm);
        EXPECT_EQ(elsewhere[0].address, lame) << "lame for example.test only";

        clock.advance(1000);
        const auto later = *cache->rank(servers, name("other.test"), clock.now->load(), calm);
        EXPECT_EQ(later.back().address, held) << "released, but ranked by its backed-off timeout";
        EXPECT_EQ(later.back().standing, ServerStanding::usable);
    }

    TEST(InfraCache, ExploresAnUnmeasuredServerWhenTheRandomDrawSaysSo)
    {
        FakeClock clock;
        auto cache = makeCache(clock);
        const SocketAddress fast = addr("192.0.2.1"), first = addr("192.0.2.2"), second = addr("192.0.2.3");
        cache->recordReply(fast, 5);
        const SocketAddress servers[] = { fast, first, second };
        const auto now = clock.now->load();
        EXPECT_EQ(cache->rank(servers, name("t."), now, calm)->front().address, fast);
        EXPECT_EQ(cache->rank(servers, name("t."), now, exploring)->front().address, first);
        int draws = 0;
        const InfraCache::Random second_pick = [&draws] {
            return ++draws == 4 ? std::uint64_t { 0 } : ~std::uint64_t { 0 }; // explore, then the last one
        };
        const auto order = *cache->rank(servers, name("t."), now, second_pick);
        EXPECT_EQ(order[0].address, second);
        EXPECT_EQ(order[1].address, fast);
        EXPECT_EQ(order[2].address, first);
    }

    TEST(InfraCache, JitterSpreadsNearEqualServersButNotDistantOnes)
    {
        FakeClock clock;
        auto cache = makeCache(clock);
        const SocketAddress a = addr("192.0.2.1"), b = addr("192.0.2.2"), far = addr("192.0.2.3");
        cache->recordReply(a, 100);
        cache->recordReply(b, 101);
        cache->recordReply(far, 300);
        const SocketAddress servers[] = { far, b, a };
        std::mt19937_64 engine(1);
        const InfraCache::Random seeded = std::ref(engine);
        int a_first = 0;
        for (int i = 0; i < 1000; ++i) {
            const auto order = *cache->rank(servers, name("t."), clock.now->load(), seeded);
            a_first += order[0].address == a;
            EXPECT_EQ(order[2].address, far);
        }
        EXPECT_GT(a_first, 300);
        EXPECT_LT(a_first, 700);
    }

    TEST(InfraCache, StaysWithinItsBudgetUnderManyServersAndFindsAllItHolds)
    {
        FakeClock clock;
        auto cache = makeCache(clock, { .max_bytes = 32 * 1024 });
        ASSERT_GT(cache->maxEntries(), 100u);
        const auto server = [](std::uint32_t i) {
            return addr("10.0." + std::to_string(i >> 8) + "." + std::to_string(i & 255));
        };
        for (std::uint32_t i = 0; i < 20'000; ++i) {
            clock.advance(1);
            cache->recordReply(server(i), 20);
            cache->recordLame(server(i), name("example.test"), LameKind::serv_fail);
            ASSERT_LE(cache->size(), cache->maxEntries());
        }
        EXPECT_GT(cache->size(), cache->maxEntries() / 2);
        EXPECT_TRUE(cache->find(server(19'999)).has_value()) << "the last one stored";
        // Evictions shift entries back along their probe runs; none may be lost from its run.
        std::size_t found = 0;
        for (std::uint32_t i = 0; i < 20'000; ++i)
            found += cache->find(server(i)).has_value()
                + cache->lameness(server(i), name("example.test")).has_value();
        EXPECT_EQ(found, cache->size());
    }

    TEST(InfraCache, ForgetsServersNotUpdatedForFifteenMinutes)
    {
        FakeClock clock;
        auto cache = makeCache(clock);
        const auto server = addr("192.0.2.1");
        cache->recordReply(server, 900);
        cache->recordEdns(server, EdnsSupport::no);
        clock.advance(15 * 60'000 - 1);
        EXPECT_EQ(cache->find(server)->edns, EdnsSupport::no);
        clock.advance(1);
        EXPECT_FALSE(cache->find(server).has_value());
        EXPECT_EQ(cache->timeoutMs(server), 400u);
        const SocketAddress servers[] = { server };
        EXPECT_EQ(cache->rank(servers, name("t."), clock.now->load(), calm)->front().expected_ms, 150);
        cache->recordTimeout(server);
        EXPECT_FALSE(cache->find(server)->measured);
        EXPECT_EQ(cache->find(server)->timeout_ms, 800u) << "the initial timeout doubled, not the old one";
    }

    TEST(InfraCache, ConcurrentUpdatesAndRankingsKeepTheBounds)
    {
        auto cache = std::move(*InfraCache::init({ .max_bytes = 16 * 1024 }));
        std::vector<SocketAddress> servers;
        for (int i = 0; i < 600; ++i)
            servers.push_back(
                addr("198.51.100." + std::to_string(i % 250), static_cast<std::uint16_t>(53 + i)));
        std::vector<std::thread> threads;
        for (unsigned t = 0; t < 4; ++t) {
            threads.emplace_back([&cache, &servers, t] {
                std::mt19937_64 engine(t);
                const InfraCache::Random seeded = std::ref(engine);
                for (std::size_t i = 0; i < 5000; ++i) {
                    const SocketAddress& s = servers[engine() % servers.size()];
                    cache->recordReply(s, static_cast<std::int64_t>(engine() % 500));
                    cache->recordTimeout(servers[i % servers.size()]);
                    cache->recordLame(s, name("example.test"), LameKind::refused);
                    const auto some = std::span(servers).subspan(i % 590, 10);
                    EXPECT_EQ(cache->rank(some, name("example.test"), cache->now(), seeded)->size(), 10u);
                }
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_LE(cache->size(), cache->maxEntries());
    }

} // namespace
} // namespace recursor
