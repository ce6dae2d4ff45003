// The answer cache and the delegation map: case-insensitive keys, expiry by wall-clock seconds,
// replacement, and whole packets under concurrent stores.
#include "resolver/cache.h"

#include "wire/record.h"
#include "wire/writer.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace recursor {
namespace {

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    struct FakeClock {
        std::shared_ptr<std::atomic<std::int64_t>> now
            = std::make_shared<std::atomic<std::int64_t>>(1'000'000);
        Cache::Clock fn() const
        {
            return [now = now] { return now->load(); };
        }
    };

    NameserverSet setOf(std::string_view ip)
    {
        NameserverSet set;
        set.append(*SocketAddress::fromIpLiteral(ip, 53));
        return set;
    }

    std::vector<std::uint8_t> packetOf(std::size_t size, std::uint8_t fill)
    {
        return std::vector<std::uint8_t>(size, fill);
    }

    TEST(Cache, FindsAnswersIgnoringCaseAndKeepsTypesApart)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        ASSERT_TRUE(cache->putAnswer(
            name("example.test"), QType::a, packetOf(20, 1), 1, RCode::no_error, true, false, 60));
        ASSERT_TRUE(cache->putAnswer(
            name("example.test"), QType::aaaa, packetOf(30, 2), 0, RCode::nx_domain, false, true, 60));

        auto hit = *cache->getAnswerCopy(name("EXAMPLE.test"), QType::a);
        ASSERT_TRUE(hit.has_value());
        EXPECT_EQ(hit->packet, packetOf(20, 1));
        EXPECT_EQ(hit->meta.answer_count, 1);
        EXPECT_TRUE(hit->meta.validated);

        auto other = *cache->getAnswerCopy(name("example.TEST"), QType::aaaa);
        ASSERT_TRUE(other.has_value());
        EXPECT_EQ(other->packet, packetOf(30, 2));
        EXPECT_EQ(other->meta.rcode, RCode::nx_domain);
        EXPECT_TRUE(other->meta.has_dnssec_records);

        EXPECT_FALSE(cache->getAnswerCopy(name("example.test"), QType::mx)->has_value());
        EXPECT_FALSE(cache->getAnswerCopy(name("www.example.test"), QType::a)->has_value());
    }

    TEST(Cache, ZeroTtlLivesUntilTheEndOfItsSecondThenIsRemoved)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        ASSERT_TRUE(
            cache->putAnswer(name("t.test"), QType::a, packetOf(12, 0), 0, RCode::no_error, false, false, 0));
        EXPECT_TRUE(cache->getAnswerCopy(name("t.test"), QType::a)->has_value());
        clock.now->fetch_add(1);
        EXPECT_FALSE(cache->getAnswerCopy(name("t.test"), QType::a)->has_value());
        EXPECT_EQ(cache->answerCount(), 0u) << "the expired entry met by the lookup is removed";
    }

    // Entries used to expire by the wall clock: a step of it expired the whole cache, or kept it alive.
    TEST(Cache, ExpiresByTheMonotonicClockAndNothingOutlivesTheMaximum)
    {
        auto cache = std::move(*Cache::init());
        EXPECT_LE(std::abs(cache->now() - monotonicSeconds()), 1);
        EXPECT_GT(std::abs(cache->now() - wallClockSeconds()), 1000)
            << "the default clock is not the wall clock";

        FakeClock clock;
        cache = std::move(*Cache::init(clock.fn()));
        cache->setMaxTtl(100);
        ASSERT_TRUE(cache->putAnswer(
            name("m.test"), QType::a, packetOf(12, 0), 0, RCode::no_error, false, false, 0x7FFFFFFF));
        ASSERT_TRUE(cache->putDelegation(name("m.test"), setOf("192.0.2.1"), 0x7FFFFFFF));
        clock.now->fetch_add(101);
        EXPECT_FALSE(cache->getAnswerCopy(name("m.test"), QType::a)->has_value());
        EXPECT_FALSE(cache->findDelegation(name("m.test")));
    }

    TEST(Cache, BogusMarksLastTheirTtlAndReplaceAnswers)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        ASSERT_TRUE(cache->putAnswer(
            name("b.test"), QType::a, packetOf(40, 1), 1, RCode::no_error, false, false, 3600));
        ASSERT_TRUE(cache->putBogus(name("b.test"), QType::a, 60));
        const auto hit = *cache->getAnswerCopy(name("b.test"), QType::a);
        ASSERT_TRUE(hit.has_value());
        EXPECT_TRUE(hit->meta.bogus);
        EXPECT_TRUE(hit->packet.empty());
        clock.now->fetch_add(61);
        EXPECT_FALSE(cache->getAnswerCopy(name("b.test"), QType::a)->has_value());
    }

    TEST(Cache, StoringAgainReplacesEvenWithAShorterTtl)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        ASSERT_TRUE(cache->putAnswer(
            name("r.test"), QType::a, packetOf(40, 1), 3, RCode::no_error, true, true, 3600));
        ASSERT_TRUE(
            cache->putAnswer(name("R.test"), QType::a, packetOf(15, 2), 1, RCode::no_error, false, false, 5));
        auto hit = *cache->getAnswerCopy(name("r.test"), QType::a);
        ASSERT_TRUE(hit.has_value());
        EXPECT_EQ(hit->packet, packetOf(15, 2));
        EXPECT_EQ(hit->meta.expires_at, clock.now->load() + 5);
        EXPECT_EQ(cache->answerCount(), 1u);
        clock.now->fetch_add(6);
        EXPECT_FALSE(cache->getAnswerCopy(name("r.test"), QType::a)->has_value());
    }

    TEST(Cache, LookupsRacingWithStoresSeeWholePackets)
    {
        auto cache = std::move(*Cache::init());
        const DnsName key = name("race.test");
        ASSERT_TRUE(cache->putAnswer(key, QType::a, packetOf(100, 1), 1, RCode::no_error, false, false, 600));
        std::atomic<bool> done { false };
        std::thread writer([&] {
            for (int i = 0; i < 2000; ++i) {
                const bool big = i % 2 == 0;
                ASSERT_TRUE(cache->putAnswer(key, QType::a, packetOf(big ? 1000 : 100, big ? 2 : 1), 1,
                    RCode::no_error, false, false, 600));
            }
            done = true;
        });
        std::size_t lookups = 0;
        while (!done.load() || lookups < 100) {
            auto hit = *cache->getAnswerCopy(key, QType::a);
            ASSERT_TRUE(hit.has_value());
            const std::uint8_t fill = hit->packet.size() == 1000 ? 2 : 1;
            ASSERT_TRUE(hit->packet.size() == 1000 || hit->packet.size() == 100);
            ASSERT_EQ(std::count(hit->packet.begin(), hit->packet.end(), fill),
                static_cast<long>(hit->packet.size()))
                << "a mixture of two stored packets";
            ++lookups;
        }
        writer.join();
    }

    TEST(Cache, FindsTheClosestLiveDelegationAndDropsExpiredOnes)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        ASSERT_TRUE(cache->putDelegation(name("example.test"), setOf("192.0.2.1"), 10));
        ASSERT_TRUE(cache->putDelegation(name("test"), setOf("192.0.2.2"), 100));

        auto closest = cache->findDelegation(name("host.EXAMPLE.test"));
        ASSERT_TRUE(closest.has_value());
        EXPECT_EQ(closest->nameservers.slice()[0], *SocketAddress::fromIpLiteral("192.0.2.1", 53));
        EXPECT_EQ(closest->zone.toText(), "example.test.");

        clock.now->fetch_add(11);
        auto parent = cache->findDelegation(name("host.example.test"));
        ASSERT_TRUE(parent.has_value());
        EXPECT_EQ(parent->nameservers.slice()[0], *SocketAddress::fromIpLiteral("192.0.2.2", 53));
        EXPECT_EQ(parent->zone.toText(), "test.");
        EXPECT_EQ(cache->delegationCount(), 1u) << "the expired child delegation is gone";

        EXPECT_FALSE(cache->findDelegation(name("other.example")).has_value());
        EXPECT_FALSE(cache->findDelegation(DnsName::root()).has_value());
    }

    // A response for `owner` with answers of the given TTLs, the second one's owner compressed.
    std::vector<std::uint8_t> answerWithTtls(
        std::string_view owner, std::initializer_list<std::uint32_t> ttls)
    {
        auto writer = *PacketWriter::init(name(owner), QType::a, QClass::in);
        for (std::uint32_t ttl : ttls) {
            EXPECT_TRUE(writer.startRecord(name(owner), QType::a, QClass::in, ttl, Section::answer));
            EXPECT_TRUE(writer.writeIPv4({ 192, 0, 2, 1 }));
        }
        return *writer.finish();
    }

    TEST(Cache, ServesRecordsWithTheirTtlsAgedSinceStoring)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        const auto packet = answerWithTtls("aged.test", { 300, 5, 0 });
        ASSERT_TRUE(
            cache->putAnswer(name("aged.test"), QType::a, packet, 3, RCode::no_error, false, false, 5));
        EXPECT_EQ(cache->getAnswerCopy(name("aged.test"), QType::a)->value().packet, packet);
        clock.now->fetch_add(4);
        const auto msg = DnsMessage::parse(cache->getAnswerCopy(name("aged.test"), QType::a)->value().packet);
        ASSERT_TRUE(msg);
        ASSERT_EQ(msg->records.size(), 3u);
        EXPECT_EQ(msg->records[0].ttl, 296u);
        EXPECT_EQ(msg->records[1].ttl, 1u);
        EXPECT_EQ(msg->records[2].ttl, 0u) << "a TTL never goes below zero";
    }

    TEST(Cache, ZoneKeysLastTheirTtlAndAreFoundByTheZoneOnly)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        auto keys = std::make_shared<ZoneKeys>();
        keys->zone = name("sec");
        ASSERT_TRUE(cache->putZoneSecurity(name("SEC"), ZoneSecurity { keys }, 100));
        ASSERT_TRUE(cache->putZoneSecurity(name("u.sec"), ZoneSecurity {}, 200));
        EXPECT_EQ(cache->findZoneSecurity(name("sec"))->keys, keys);
        EXPECT_FALSE(cache->findZoneSecurity(name("u.sec"))->secure());
        EXPECT_FALSE(cache->findZoneSecurity(name("www.sec"))) << "names below are judged by the walk";
        clock.now->fetch_add(101);
        EXPECT_FALSE(cache->findZoneSecurity(name("sec"))) << "expired keys are fetched again";
        EXPECT_TRUE(cache->findZoneSecurity(name("u.sec")));
    }

    // Without reclaiming and eviction a long-running resolver grows without end.
    TEST(Cache, FlushDropsEverythingAtAndBelowANameAndNothingElse)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn()));
        const char* owners[] = { "example.test", "www.EXAMPLE.test", "a.b.example.test", "test",
            "example2.test", "xexample.test" };
        for (const char* owner : owners) {
            ASSERT_TRUE(cache->putAnswer(
                name(owner), QType::a, packetOf(20, 1), 1, RCode::no_error, false, false, 60));
            ASSERT_TRUE(cache->putDelegation(name(owner), setOf("192.0.2.1"), 60));
            ASSERT_TRUE(cache->putZoneSecurity(name(owner), ZoneSecurity {}, 60));
        }
        const std::size_t bytes = cache->answerBytes();
        EXPECT_EQ(cache->flush(name("Example.Test")), 9u);
        for (const char* owner : owners) {
            SCOPED_TRACE(owner);
            const bool kept = !name(owner).isPartOf(name("example.test"));
            EXPECT_EQ((*cache->getAnswerCopy(name(owner), QType::a)).has_value(), kept);
            EXPECT_EQ(cache->findZoneSecurity(name(owner)).has_value(), kept);
        }
        EXPECT_EQ(cache->findDelegation(name("www.example.test"))->zone.toText(), "test.");
        EXPECT_EQ(cache->answerBytes(), bytes / 2) << "the bytes of what was dropped are given back";
    }

    // RFC 8767: an expired answer is kept for the stale window, served only by the stale lookup (every
    // TTL 30), and never when it was remembered as bogus; beyond the window it is gone.
    TEST(Cache, KeepsExpiredAnswersForTheStaleWindowOnly)
    {
        struct Case {
            const char* what;
            std::uint32_t window;
            std::int64_t past_expiry; // seconds after the entry expired
            bool bogus;
            bool live, stale;
        };
        for (const Case& c : std::initializer_list<Case> {
                 { "still live", 3600, -1, false, true, false },
                 { "just expired", 3600, 1, false, false, true },
                 { "at the window's end", 3600, 3600, false, false, true },
                 { "past the window", 3600, 3601, false, false, false },
                 { "no window", 0, 1, false, false, false },
                 { "bogus, never stale", 3600, 1, true, false, false },
             }) {
            SCOPED_TRACE(c.what);
            FakeClock clock;
            auto cache = std::move(*Cache::init(clock.fn()));
            cache->setStaleWindow(c.window);
            const auto packet = answerWithTtls("s.test", { 60, 7 });
            if (c.bogus)
                ASSERT_TRUE(cache->putBogus(name("s.test"), QType::a, 60));
            else
                ASSERT_TRUE(cache->putAnswer(
                    name("s.test"), QType::a, packet, 2, RCode::nx_domain, false, false, 60));
            clock.now->fetch_add(60 + c.past_expiry);
            EXPECT_EQ(cache->getAnswerCopy(name("s.test"), QType::a)->has_value(), c.live);
            auto stale = *cache->getStaleAnswerCopy(name("s.test"), QType::a);
            ASSERT_EQ(stale.has_value(), c.stale);
            EXPECT_EQ(cache->answerCount(),
                c.past_expiry <= (c.bogus ? 0 : static_cast<std::int64_t>(c.window)) ? 1u : 0u)
                << "a spent entry met by a lookup is removed, a stale one kept";
            if (!stale)
                continue;
            EXPECT_EQ(stale->meta.rcode, RCode::nx_domain);
            const auto msg = DnsMessage::parse(stale->packet);
            ASSERT_TRUE(msg);
            for (const DnsRecord& rec : msg->records)
                EXPECT_EQ(rec.ttl, stale_answer_ttl);
        }
    }

    // Prefetch: only the first reader in the last tenth of a TTL of at least ten seconds is told to
    // refresh, so that many clients start one refresh; storing the entry again starts the count over.
    TEST(Cache, TellsOneReaderInTheLastTenthOfTheTtlToRefresh)
    {
        struct Case {
            std::uint32_t ttl;
            std::int64_t elapsed;
            bool due;
        };
        for (const Case& c : std::initializer_list<Case> {
                 { 100, 89, false }, { 100, 90, true }, { 100, 100, true }, { 10, 9, true },
                 { 9, 9, false }, // too short to be worth it
             }) {
            SCOPED_TRACE(std::to_string(c.ttl) + " " + std::to_string(c.elapsed));
            FakeClock clock;
            auto cache = std::move(*Cache::init(clock.fn()));
            const auto packet = answerWithTtls("p.test", { c.ttl });
            ASSERT_TRUE(
                cache->putAnswer(name("p.test"), QType::a, packet, 1, RCode::no_error, false, false, c.ttl));
            clock.now->fetch_add(c.elapsed);
            EXPECT_EQ(cache->getAnswerCopy(name("p.test"), QType::a)->value().refresh_due, c.due);
            EXPECT_FALSE(cache->getAnswerCopy(name("p.test"), QType::a)->value().refresh_due) << "once";
            ASSERT_TRUE(
                cache->putAnswer(name("p.test"), QType::a, packet, 1, RCode::no_error, false, false, c.ttl));
            clock.now->fetch_add(c.elapsed);
            EXPECT_EQ(cache->getAnswerCopy(name("p.test"), QType::a)->value().refresh_due, c.due)
                << "a refreshed entry is due again near its new end";
        }
    }

    // Stale answers count against the byte budget and are evicted before live ones.
    TEST(Cache, EvictsStaleAnswersBeforeLiveOnes)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn(), CacheLimits { .max_bytes = 256 * 1024 }));
        cache->setStaleWindow(86400);
        const auto packet = answerWithTtls("x.test", { 60 });
        auto fill = [&](const char* prefix, int count) {
            for (int i = 0; i < count; ++i)
                ASSERT_TRUE(cache->putAnswer(name(prefix + std::to_string(i) + ".test"), QType::a, packet, 1,
                    RCode::no_error, false, false, 60));
        };
        fill("old", 4000); // more than fit
        const std::size_t kept = cache->answerCount();
        ASSERT_LT(kept, 4000u);
        clock.now->fetch_add(61); // every one stale now
        fill("new", static_cast<int>(kept) / 2);
        EXPECT_LE(cache->answerBytes(), 256u * 1024);
        int live = 0;
        for (std::size_t i = 0; i < kept / 2; ++i)
            live += cache->getAnswerCopy(name("new" + std::to_string(i) + ".test"), QType::a)->has_value();
        EXPECT_GE(live, static_cast<int>(kept / 2 * 9 / 10)) << "the victims were mostly stale";
    }

    TEST(Cache, StaysWithinItsByteBudget)
    {
        FakeClock clock;
        auto cache = std::move(*Cache::init(clock.fn(), CacheLimits { .max_bytes = 1024 * 1024 }));
        const auto packet = answerWithTtls("x.test", { 60 });
        for (int i = 0; i < 20000; ++i) {
            const DnsName owner = name("n" + std::to_string(i) + ".test");
            ASSERT_TRUE(cache->putAnswer(owner, QType::a, packet, 1, RCode::no_error, false, false, 60));
            ASSERT_TRUE(cache->putDelegation(owner, setOf("192.0.2.1"), 60));
            ASSERT_TRUE(cache->putZoneSecurity(owner, ZoneSecurity {}, 60));
        }
        EXPECT_LE(cache->answerBytes(), 1024u * 1024);
        EXPECT_GT(cache->answerCount(), 500u);
        EXPECT_LT(cache->answerCount(), 20000u);
        EXPECT_LT(cache->delegationCount(), 20000u);
        EXPECT_LT(cache->zoneSecurityCount(), 20000u);
        EXPECT_TRUE(cache->getAnswerCopy(name("n19999.test"), QType::a)->has_value()) << "the newest stays";

        // Expired entries are reclaimed by later stores even when nobody looks them up again.
        clock.now->fetch_add(61);
        const std::size_t before = cache->answerCount();
        for (int i = 0; i < 300; ++i)
            ASSERT_TRUE(cache->putAnswer(name("m" + std::to_string(i) + ".test"), QType::a, packet, 1,
                RCode::no_error, false, false, 60));
        EXPECT_LT(cache->answerCount(), before - 100);
    }

    TEST(NameserverSet, IgnoresAddressesBeyondThirteen)
    {
        NameserverSet set;
        for (int i = 0; i < 20; ++i)
            set.append(*SocketAddress::fromIpLiteral("192.0.2." + std::to_string(i), 53));
        ASSERT_EQ(set.count, NameserverSet::capacity);
        EXPECT_EQ(set.slice().back(), *SocketAddress::fromIpLiteral("192.0.2.12", 53));
    }

} // namespace
} // namespace recursor
