// Forward and stub zones, and a resolver that caches nothing, driven through a canned transport: each
// test pins which servers are asked, with which RD bit, and what the client gets.
#include "resolver/forward_zone.h"

#include "resolver/delegation.h"
#include "resolver/recursor.h"

#include "support/canned_transport.h"
#include "support/test_signer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace recursor {
namespace {

    using test::address;
    using test::ask;
    using test::authoritative;
    using test::CannedTransport;
    using test::delegation;
    using test::Exchanges;
    using test::not_authoritative;
    using test::Reply;

    constexpr std::uint16_t recursive_answer = 0x8180; // QR, RD, RA: what a resolver sends back

    const std::vector<std::string> roots { "192.0.2.1:53" };
    const std::vector<std::string> forwarder { "10.0.0.53:53" }; // private: the operator named it
    const std::vector<std::string> second_forwarder { "10.0.0.54:53" };
    const std::vector<std::string> stub_server { "127.0.0.1:53" }; // loopback: the operator named it
    const std::vector<std::string> sub_server { "198.51.100.7:53" };

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    NameserverSet servers(std::initializer_list<const char*> addresses)
    {
        NameserverSet set;
        for (const char* addr : addresses)
            set.append(*SocketAddress::fromIpLiteral(addr, 53));
        return set;
    }

    // corp. forwarded to 10.0.0.53 and 10.0.0.54; lab.corp. (nested: the longest match wins) and
    // internal. stubbed to 127.0.0.1.
    std::vector<ForwardZone> configured(bool insecure = false)
    {
        return {
            { name("corp."), servers({ "10.0.0.53", "10.0.0.54" }), true, insecure },
            { name("lab.corp."), servers({ "127.0.0.1" }), false, false },
            { name("internal."), servers({ "127.0.0.1" }), false, false },
        };
    }

    class ForwardZones : public testing::Test {
    protected:
        void SetUp() override { start(configured()); }
        void start(std::vector<ForwardZone> zones, bool cache_nothing = false,
            std::optional<dnssec::TrustAnchorStore> anchors = std::nullopt)
        {
            net = std::make_shared<CannedTransport>();
            recursor = Recursor::init(RecursorOptions { .validation_enabled = anchors.has_value(),
                                          .root_servers = servers({ "192.0.2.1" }),
                                          .trust_anchors = std::move(anchors),
                                          .transport = net,
                                          .forward_zones = std::move(zones),
                                          .cache_nothing = cache_nothing })
                           .value();
        }
        ResolveOutcome resolve(std::string_view qname)
        {
            return recursor->resolveWithTransport(UpstreamSettings {}, name(qname), QType::a);
        }
        static std::string rd(std::string asked) { return asked + " +rd"; }

        std::shared_ptr<CannedTransport> net;
        std::unique_ptr<Recursor> recursor;
    };

    // Questions at and below a forward zone go to its resolvers with RD=1, never to the root; their answer
    // (no AA) is final and cached like any other.
    TEST_F(ForwardZones, ForwardZoneAsksItsResolversWithRdAndCachesTheAnswer)
    {
        net->on("10.0.0.53", "www.corp.", QType::a, address("www.corp.", "10.1.1.1", recursive_answer));
        net->on("10.0.0.54", "www.corp.", QType::a, address("www.corp.", "10.1.1.1", recursive_answer));
        for (int round = 0; round < 2; ++round) {
            const auto result = resolve("www.corp.");
            ASSERT_TRUE(result) << describe(result.error());
            EXPECT_EQ(result->answer_count, 1u);
            EXPECT_EQ(result->from_cache, round == 1);
        }
        ASSERT_EQ(net->exchanges.size(), 1u);
        EXPECT_TRUE(net->exchanges[0] == rd(ask(forwarder, "www.corp.", QType::a))
            || net->exchanges[0] == rd(ask(second_forwarder, "www.corp.", QType::a)))
            << net->exchanges[0];
    }

    // A forwarder that answers with a referral (a stranger's upstream, or a lame box) could lead the
    // question anywhere: the referral is not followed, the other forwarder is asked instead.
    TEST_F(ForwardZones, ReferralFromAForwarderIsNotFollowed)
    {
        // Downwards, with glue inside the zone: a referral a resolution of an authority would follow.
        for (const char* server : { "10.0.0.53", "10.0.0.54" })
            net->on(server, "www.corp.", QType::a, delegation("www.corp.", "ns.www.corp.", "203.0.113.66"));
        const auto result = resolve("www.corp.");
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind, ResolveError::NoReachableAuthority);
        EXPECT_EQ(result.error().zone.toText(), "corp.");
        for (const std::string& asked : net->exchanges)
            EXPECT_NE(asked.find("+rd"), std::string::npos) << asked; // only the forwarders were asked
        EXPECT_EQ(net->exchanges.size(), 2u);
    }

    // Silent forwarders: SERVFAIL with EDE 22 naming the zone, within the question's budget, while a
    // name outside it still resolves from the root.
    TEST_F(ForwardZones, DeadForwardersFailTheirZoneOnly)
    {
        net->on("10.0.0.53", "www.corp.", QType::a, std::nullopt);
        net->on("10.0.0.54", "www.corp.", QType::a, std::nullopt);
        net->on("192.0.2.1", "www.example.", QType::a, address("www.example.", "203.0.113.80"));
        const auto dead = resolve("www.corp.");
        ASSERT_FALSE(dead);
        EXPECT_EQ(dead.error().kind, ResolveError::NoReachableAuthority);
        EXPECT_EQ(dead.error().ede, 22);
        EXPECT_EQ(dead.error().zone.toText(), "corp.");
        EXPECT_TRUE(resolve("www.example."));
        EXPECT_EQ(net->exchanges.back(), ask(roots, "www.example.", QType::a));
    }

    // A stub zone's servers are authorities: asked with RD=0, their referral below the zone followed, and
    // the delegation learned kept, so the next name there goes straight to the delegated server.
    TEST_F(ForwardZones, StubZoneFollowsReferralsBelowIt)
    {
        net->on("127.0.0.1", "a.sub.internal.", QType::a,
            delegation("sub.internal.", "ns.sub.internal.", "198.51.100.7"));
        net->on("198.51.100.7", "a.sub.internal.", QType::a, address("a.sub.internal.", "10.2.2.1"));
        net->on("198.51.100.7", "b.sub.internal.", QType::a, address("b.sub.internal.", "10.2.2.2"));
        EXPECT_TRUE(resolve("a.sub.internal."));
        EXPECT_TRUE(resolve("b.sub.internal."));
        EXPECT_EQ(net->exchanges,
            (Exchanges { ask(stub_server, "a.sub.internal.", QType::a),
                ask(sub_server, "a.sub.internal.", QType::a),
                ask(sub_server, "b.sub.internal.", QType::a) }));
    }

    // Nested sections: lab.corp.'s stub server takes its names (RD=0) from corp.'s forwarders.
    TEST_F(ForwardZones, LongestMatchWins)
    {
        net->on("127.0.0.1", "www.lab.corp.", QType::a, address("www.lab.corp.", "10.3.3.3"));
        EXPECT_TRUE(resolve("www.lab.corp."));
        EXPECT_EQ(net->exchanges, (Exchanges { ask(stub_server, "www.lab.corp.", QType::a) }));

        const auto zones = configured();
        const struct {
            const char* qname;
            const char* zone; // nullptr: none
        } cases[] = { { "corp.", "corp." }, { "a.b.corp.", "corp." }, { "lab.corp.", "lab.corp." },
            { "x.lab.corp.", "lab.corp." }, { "blab.corp.", "corp." }, { "notcorp.", nullptr },
            { ".", nullptr } };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.qname);
            const ForwardZone* zone = closestForwardZone(zones, name(c.qname));
            EXPECT_EQ(zone ? zone->name.toText() : "none", c.zone ? c.zone : "none");
        }
    }

    // Where a question starts when delegations are cached: below a stub zone the cached one is closer;
    // one cached at the stub's own name (the public side's, learned by a DS question) or above it is not
    // the operator's, and a forward zone ignores the cache altogether.
    TEST(InitialNameservers, ConfiguredZonesOutrankCachedDelegationsAtOrAboveThem)
    {
        const auto zones = configured();
        const NameserverSet roots_set = servers({ "192.0.2.1" });
        const struct {
            const char* cached; // a delegation to 198.51.100.9
            const char* qname;
            const char* zone;
            bool recursive;
        } cases[] = {
            { "sub.internal.", "a.sub.internal.", "sub.internal.", false },
            { "internal.", "a.internal.", "internal.", false },
            { ".", "a.internal.", "internal.", false },
            { "x.corp.", "a.x.corp.", "corp.", true },
            { "example.", "www.example.", "example.", false },
            { "example.", "other.", ".", false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.cached) + " cached, " + c.qname);
            auto cache = Cache::init().value();
            ASSERT_TRUE(cache->putDelegation(name(c.cached), servers({ "198.51.100.9" }), 3600));
            const Delegation start = initialNameservers(*cache, roots_set, zones, name(c.qname));
            EXPECT_EQ(start.zone.toText(), c.zone);
            EXPECT_EQ(start.recursive, c.recursive);
        }
    }

    // With the root's key as anchor, an unsigned answer from a forwarder is not taken on trust: the
    // chain of trust is walked from the root (here it fails). `insecure = true` puts a negative trust
    // anchor at the zone: the same answer is served, not validated (AD=0), and no key is asked for.
    TEST_F(ForwardZones, InsecureZoneIsANegativeTrustAnchor)
    {
        const test::TestSigner root_key { "." };
        for (const bool insecure : { false, true }) {
            SCOPED_TRACE(insecure ? "insecure" : "validated from the root");
            start(
                configured(insecure), false, dnssec::TrustAnchorStore::parse(root_key.anchorLine()).value());
            net->on("10.0.0.53", "www.corp.", QType::a, address("www.corp.", "10.1.1.1", recursive_answer));
            net->on("10.0.0.54", "www.corp.", QType::a, address("www.corp.", "10.1.1.1", recursive_answer));
            net->otherwise = [](std::string_view, std::string_view, QType) {
                return Reply { static_cast<std::uint16_t>(authoritative | 2) }; // SERVFAIL
            };
            const auto result = resolve("www.corp.");
            EXPECT_EQ(result.has_value(), insecure);
            if (result) {
                EXPECT_FALSE(result->validated);
                EXPECT_EQ(result->packet.at(3) & 0x20, 0) << "AD bit";
            }
            EXPECT_EQ(net->exchanges.size() == 1, insecure) << testing::PrintToString(net->exchanges);
        }
    }

    // cache_strategy = none: the same question twice is resolved twice from the root, the delegation
    // learned the first time not kept either.
    TEST_F(ForwardZones, CachingNothingResolvesEveryQuestionAfresh)
    {
        start({}, true);
        net->on(
            "192.0.2.1", "www.example.", QType::a, delegation("example.", "ns1.example.", "198.51.100.1"));
        net->on("198.51.100.1", "www.example.", QType::a, address("www.example.", "203.0.113.80"));
        const Exchanges once { ask(roots, "www.example.", QType::a),
            ask({ "198.51.100.1:53" }, "www.example.", QType::a) };
        for (int round = 0; round < 2; ++round) {
            const auto result = resolve("www.example.");
            ASSERT_TRUE(result) << describe(result.error());
            EXPECT_FALSE(result->from_cache);
        }
        Exchanges twice = once;
        twice.insert(twice.end(), once.begin(), once.end());
        EXPECT_EQ(net->exchanges, twice);
    }

    // A reload swaps the zones in whole and flushes what was cached under each zone it adds, removes or
    // changes (servers or flags), and only there; a resolution started before keeps the zones it began with.
    TEST_F(ForwardZones, ReplacingTheZonesFlushesTheChangedOnesOnly)
    {
        const auto cached = [&](std::string_view qname) {
            auto hit = recursor->cache().getAnswerCopy(name(qname), QType::a);
            return hit && hit->has_value();
        };
        const auto with = [](auto change) {
            auto zones = configured();
            change(zones);
            return zones;
        };
        const struct {
            const char* label;
            std::vector<ForwardZone> zones;
            std::vector<std::string> flushed;
        } cases[] = {
            { "the same sections", configured(), {} },
            { "another server for corp.", with([](auto& z) { z[0].servers = servers({ "10.0.0.55" }); }),
                { "corp." } },
            { "internal. made insecure", with([](auto& z) { z[2].insecure = true; }), { "internal." } },
            { "internal. made a forward zone", with([](auto& z) { z[2].recursive = true; }),
                { "internal." } },
            { "lab.corp. removed", with([](auto& z) { z.erase(z.begin() + 1); }), { "lab.corp." } },
            { "example. added", with([](auto& z) {
                 z.push_back({ name("example."), servers({ "10.0.0.9" }), true, false });
             }),
                { "example." } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            start(configured());
            net->on("10.0.0.53", "www.corp.", QType::a, address("www.corp.", "10.1.1.1", recursive_answer));
            net->on("10.0.0.54", "www.corp.", QType::a, address("www.corp.", "10.1.1.1", recursive_answer));
            net->on("127.0.0.1", "www.internal.", QType::a, address("www.internal.", "10.4.4.4"));
            ASSERT_TRUE(resolve("www.corp.") && resolve("www.internal."));
            Resolution before = recursor->startResolution({});
            std::vector<std::string> flushed;
            for (const DnsName& zone : recursor->replaceZones(nullptr, c.zones))
                flushed.push_back(zone.toText());
            EXPECT_EQ(flushed, c.flushed);
            const auto kept = [&](const std::string& zone) {
                return std::ranges::find(c.flushed, zone) == c.flushed.end();
            };
            EXPECT_EQ(cached("www.corp."), kept("corp."));
            EXPECT_EQ(cached("www.internal."), kept("internal."));
            EXPECT_EQ(before.forwardZones().size(), 3u) << "in flight: the zones it started with";
            EXPECT_EQ(recursor->startResolution({}).forwardZones().size(), c.zones.size());
        }
    }

} // namespace
} // namespace recursor
