// Whole resolutions (RFC 1034 §5.3.3) and the chain of trust they walk (RFC 4035 §5), driven through a
// canned transport: each test pins the result the client gets and every exchange made on the way.
#include "resolver/recursor.h"

#include "base/event_loop.h"
#include "base/trace.h"

#include "support/canned_transport.h"
#include "support/packet_builder.h"
#include "support/test_signer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <tuple>

namespace recursor {
namespace {

    using test::address;
    using test::ask;
    using test::authoritative;
    using test::CannedTransport;
    using test::delegation;
    using test::Exchanges;
    using test::ipv4;
    using test::nodata;
    using test::not_authoritative;
    using test::PacketBuilder;
    using test::Reply;
    using test::Rr;
    using test::Rrs;
    using test::TestSigner;
    using test::wireName;

    // One root server: with several, which is asked first is the infrastructure cache's (random) choice.
    const std::vector<std::string> roots { "192.0.2.1:53" };
    const std::vector<std::string> ns1 { "198.51.100.1:53" };
    const Exchanges root_then_ns1 { ask(roots, "www.example.", QType::a),
        ask(ns1, "www.example.", QType::a) };
    const std::vector<std::string> tld { "198.51.100.5:53" }; // test.'s server
    const std::vector<std::string> provider { "198.51.100.10:53" };
    const Exchanges provider_lookup { ask(roots, "ns.provider.net.", QType::a),
        ask(provider, "ns.provider.net.", QType::a), ask(provider, "ns.provider.net.", QType::aaaa) };

    // The answer section of a result, one "owner TYPE data" line per record.
    std::vector<std::string> answerLines(const ResolveResult& result)
    {
        std::vector<std::string> lines;
        const DnsMessage msg = DnsMessage::parse(result.packet).value();
        for (const DnsRecord& rec : msg.records) {
            char text[INET_ADDRSTRLEN] {};
            if (rec.section != Section::answer)
                continue;
            if (const auto* a = rec.rdata.getIf<RDataTag::a>())
                lines.push_back(
                    rec.name.toText() + " A " + inet_ntop(AF_INET, a->addr.data(), text, sizeof text));
            else if (const auto* cname = rec.rdata.getIf<RDataTag::cname>())
                lines.push_back(rec.name.toText() + " CNAME " + cname->target.toText());
            else
                lines.push_back(rec.name.toText() + (rec.rtype == QType::rrsig ? " RRSIG" : " other"));
        }
        return lines;
    }

    class Resolution : public testing::Test {
    protected:
        void SetUp() override { start(false); }
        // A fresh resolver and an empty table.
        void start(bool validation, std::optional<dnssec::TrustAnchorStore> anchors = std::nullopt,
            Cache::Clock clock = {})
        {
            net = std::make_shared<CannedTransport>();
            NameserverSet root_servers;
            root_servers.append(*SocketAddress::fromIpLiteral("192.0.2.1", 53));
            RecursorOptions options { .validation_enabled = validation,
                .clock = std::move(clock),
                .root_servers = root_servers,
                .trust_anchors = std::move(anchors),
                .limits = limits,
                .transport = net,
                .forward_zones = forward_zones };
            recursor = Recursor::init(std::move(options)).value();
        }
        // The root delegates example. to ns1.example. (198.51.100.1), which replies `reply`.
        void exampleServerReplies(std::optional<Reply> reply)
        {
            net->on("192.0.2.1", "www.example.", QType::a,
                delegation("example.", "ns1.example.", "198.51.100.1"));
            net->on("198.51.100.1", "www.example.", QType::a, std::move(reply));
        }
        // The root delegates test. to ns.test. (198.51.100.5), which delegates example.test. to `ns`, with
        // `glue` as its address.
        void testDelegatesExample(const char* ns, const char* glue)
        {
            net->on(
                "192.0.2.1", "www.example.test.", QType::a, delegation("test.", "ns.test.", "198.51.100.5"));
            net->on("198.51.100.5", "www.example.test.", QType::a, delegation("example.test.", ns, glue));
        }
        // ns.provider.net. has the address 198.51.100.20, which provider.net.'s server (198.51.100.10),
        // found from the root, gives.
        void providerNameserverResolves()
        {
            for (const QType type : { QType::a, QType::aaaa })
                net->on("192.0.2.1", "ns.provider.net.", type,
                    delegation("provider.net.", "ns1.provider.net.", "198.51.100.10"));
            net->on(
                "198.51.100.10", "ns.provider.net.", QType::a, address("ns.provider.net.", "198.51.100.20"));
            net->on("198.51.100.10", "ns.provider.net.", QType::aaaa, nodata("provider.net."));
        }
        ResolveOutcome resolve(std::string_view qname)
        {
            return recursor->resolveFromNetwork(UpstreamSettings {}, *DnsName::fromText(qname), QType::a);
        }

        // The same on a fiber of an event loop, where nested lookups may run side by side.
        ResolveOutcome resolveOnLoop(std::string_view qname)
        {
            net->yield = true;
            auto loop = EventLoop::create();
            std::optional<ResolveOutcome> result;
            loop->spawn([&] {
                result = resolve(qname);
                loop->stop();
            });
            loop->run();
            return std::move(result).value();
        }

        // NOERROR with exactly `lines` as its answer section, and `validated` as its AD bit.
        static void expectAnswer(
            const ResolveOutcome& result, const std::vector<std::string>& lines, bool validated = false)
        {
            ASSERT_TRUE(result) << describe(result.error());
            EXPECT_EQ(result->rcode, RCode::no_error);
            EXPECT_EQ(answerLines(*result), lines);
            EXPECT_EQ(result->validated, validated);
            EXPECT_EQ((result->packet.at(3) & 0x20) != 0, validated) << "AD bit";
        }
        static void expectError(const ResolveOutcome& result, ResolveError error)
        {
            ASSERT_FALSE(result) << "answered " << testing::PrintToString(answerLines(*result));
            EXPECT_EQ(result.error().kind, error) << describe(result.error());
        }
        // The same, with where it failed: the zone at fault and the last server asked there (none: "").
        static void expectFailure(
            const ResolveOutcome& result, ResolveError error, const char* zone, const char* server = "")
        {
            expectError(result, error);
            if (result)
                return;
            EXPECT_EQ(result.error().zone.toText(), zone);
            EXPECT_EQ(result.error().server ? result.error().server->toString() : "", server);
            EXPECT_EQ(result.error().ede, extendedErrorOf(error));
        }

        std::shared_ptr<CannedTransport> net;
        std::unique_ptr<Recursor> recursor;
        AnswerLimits limits; // as start() makes the resolver
        std::vector<ForwardZone> forward_zones;
    };

    // A referral names the delegated zone's servers and their addresses as glue: the next question goes
    // to those addresses, and only to them.
    TEST_F(Resolution, ReferralWithGlue)
    {
        exampleServerReplies(address("www.example.", "203.0.113.80"));
        expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80" });
        EXPECT_EQ(net->exchanges, root_then_ns1);
    }

    // A referral whose nameserver lies outside the zone of the server that sent it carries no usable glue
    // (an address for ns.provider.net. is not test.'s to give in a referral to example.test.): the name is
    // resolved on its own, from the root, before the delegated server can be asked.
    TEST_F(Resolution, GluelessReferral)
    {
        testDelegatesExample("ns.provider.net.", "203.0.113.66");
        providerNameserverResolves();
        net->on("198.51.100.20", "www.example.test.", QType::a, address("www.example.test.", "203.0.113.80"));
        expectAnswer(resolve("www.example.test."), { "www.example.test. A 203.0.113.80" });
        Exchanges expected { ask(roots, "www.example.test.", QType::a),
            ask(tld, "www.example.test.", QType::a) };
        expected.insert(expected.end(), provider_lookup.begin(), provider_lookup.end());
        expected.push_back(ask({ "198.51.100.20:53" }, "www.example.test.", QType::a));
        EXPECT_EQ(net->exchanges, expected);
    }

    // Glue used to count only inside the delegated zone: test.'s address for ns.other.test. in its referral
    // to example.test. was dropped, and the name resolved from the root again. The name lies in test.'s own
    // zone, which its servers speak for (RFC 1034 §4.3.2), so the address is asked at once.
    TEST_F(Resolution, SiblingGlue)
    {
        testDelegatesExample("ns.other.test.", "198.51.100.30");
        net->on("198.51.100.30", "www.example.test.", QType::a, address("www.example.test.", "203.0.113.80"));
        expectAnswer(resolve("www.example.test."), { "www.example.test. A 203.0.113.80" });
        EXPECT_EQ(net->exchanges,
            (Exchanges { ask(roots, "www.example.test.", QType::a), ask(tld, "www.example.test.", QType::a),
                ask({ "198.51.100.30:53" }, "www.example.test.", QType::a) }));
    }

    // A referral with glue for one nameserver and none for the other used to lead to the glued address
    // alone: when that server refused or stayed silent, the question failed though the other served the
    // zone. Once the glued servers are used up, the names without glue are resolved and asked.
    TEST_F(Resolution, NameserversWithoutGlueAreAskedWhenTheGluedOnesFail)
    {
        const std::pair<const char*, std::optional<Reply>> cases[] {
            { "REFUSED", Reply { 0x8405 } },
            { "no reply", std::nullopt },
        };
        for (const auto& [label, reply] : cases) {
            SCOPED_TRACE(label);
            start(false);
            net->on("192.0.2.1", "www.example.", QType::a,
                Reply { not_authoritative, {},
                    { { "example.", QType::ns, wireName("ns1.example.") },
                        { "example.", QType::ns, wireName("ns.provider.net.") } },
                    { { "ns1.example.", QType::a, ipv4("198.51.100.1") } } });
            net->on("198.51.100.1", "www.example.", QType::a, reply);
            providerNameserverResolves();
            net->on("198.51.100.20", "www.example.", QType::a, address("www.example.", "203.0.113.80"));
            expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80" });
            Exchanges expected = root_then_ns1;
            if (!reply)
                expected.push_back(ask(ns1, "www.example.", QType::a));
            expected.insert(expected.end(), provider_lookup.begin(), provider_lookup.end());
            expected.push_back(ask({ "198.51.100.20:53" }, "www.example.", QType::a));
            EXPECT_EQ(net->exchanges, expected);

            // The cached delegation used to keep the glued server alone: a second name of the zone
            // failed after asking only it. The name without glue is kept too, and resolved when needed.
            net->exchanges.clear();
            net->on("198.51.100.1", "mail.example.", QType::a, reply);
            net->on("198.51.100.20", "mail.example.", QType::a, address("mail.example.", "203.0.113.25"));
            expectAnswer(resolve("mail.example."), { "mail.example. A 203.0.113.25" });
            expected = { ask(ns1, "mail.example.", QType::a) };
            if (!reply)
                expected.push_back(ask(ns1, "mail.example.", QType::a));
            expected.push_back(provider_lookup[1]); // provider.net.'s delegation is cached
            expected.push_back(provider_lookup[2]);
            expected.push_back(ask({ "198.51.100.20:53" }, "mail.example.", QType::a));
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // test. refers example.test. to ns.provider.net. with an address for it, which is not test.'s to give.
    // When provider.net.'s own data for the name gives no server that answers, the question used to fail
    // though the referral had named one. That glue is now the last resort, for this delegation only:
    // asked after the name's own addresses, never served or cached as the name's address.
    TEST_F(Resolution, GlueBeyondTheReferringZoneIsTheLastResort)
    {
        const std::vector<std::string> dead { "198.51.100.99:53" };
        const std::vector<std::string> parent_glue { "203.0.113.66:53" };
        Reply nxdomain = nodata("provider.net.");
        nxdomain.flags = 0x8403;
        struct Case {
            const char* label;
            std::optional<Reply> a; // provider.net.'s server on ns.provider.net./A
            Exchanges extra; // asked between the name's lookup and the glued address
        };
        const Case cases[] {
            { "NXDOMAIN", nxdomain, {} },
            { "NODATA", nodata("provider.net."), {} },
            { "REFUSED", Reply { 0x8405 }, {} },
            { "an address that does not answer", address("ns.provider.net.", "198.51.100.99"),
                { ask(dead, "www.example.test.", QType::a), ask(dead, "www.example.test.", QType::a) } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            start(false);
            testDelegatesExample("ns.provider.net.", "203.0.113.66");
            providerNameserverResolves();
            net->on("198.51.100.10", "ns.provider.net.", QType::a, c.a);
            net->on("198.51.100.99", "www.example.test.", QType::a, std::nullopt);
            net->on(
                "203.0.113.66", "www.example.test.", QType::a, address("www.example.test.", "203.0.113.80"));
            expectAnswer(resolve("www.example.test."), { "www.example.test. A 203.0.113.80" });
            Exchanges expected { ask(roots, "www.example.test.", QType::a),
                ask(tld, "www.example.test.", QType::a) };
            expected.insert(expected.end(), provider_lookup.begin(), provider_lookup.end());
            expected.insert(expected.end(), c.extra.begin(), c.extra.end());
            expected.push_back(ask(parent_glue, "www.example.test.", QType::a));
            EXPECT_EQ(net->exchanges, expected);

            // What the client is told of the nameserver's name is provider.net.'s word alone.
            const auto ns = recursor->resolveWithTransport(
                UpstreamSettings {}, *DnsName::fromText("ns.provider.net."), QType::a);
            if (ns) {
                for (const std::string& line : answerLines(*ns))
                    EXPECT_EQ(line.find("203.0.113.66"), std::string::npos) << line;
            }
        }
    }

    // A zone served only by a name inside itself, without glue, used to be chased until the question's
    // whole budget (100 exchanges) was spent on the parent's servers: the nameserver lookup met the same
    // referral again at every level. It now stops where the zone's own lookup is already in progress.
    TEST_F(Resolution, DelegationThatNeedsItselfIsNotChased)
    {
        const Reply loop { not_authoritative, {}, { { "example.", QType::ns, wireName("ns.example.") } } };
        const Exchanges expected { ask(roots, "www.example.", QType::a), ask(roots, "ns.example.", QType::a),
            ask(roots, "ns.example.", QType::aaaa) };
        // On an event loop the A and AAAA lookups of ns.example. run on fibers of their own: each still
        // sees that the fiber that started it is looking up example.'s nameservers.
        for (const bool on_loop : { false, true }) {
            SCOPED_TRACE(on_loop ? "on a loop" : "on the thread");
            start(false);
            for (const char* qname : { "www.example.", "ns.example." }) {
                net->on("192.0.2.1", qname, QType::a, loop);
                net->on("192.0.2.1", qname, QType::aaaa, loop);
            }
            expectError(on_loop ? resolveOnLoop("www.example.") : resolve("www.example."),
                ResolveError::NoReachableAuthority);
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // TRACE collects one resolution's account. The scope used to be the thread's: while it lived, every
    // fiber of the loop wrote there, so another client's question on the same loop showed up in the trace.
    TEST_F(Resolution, TraceHoldsOnlyTheTracedResolution)
    {
        exampleServerReplies(address("www.example.", "203.0.113.80"));
        net->on(
            "192.0.2.1", "mail.example.", QType::a, delegation("example.", "ns1.example.", "198.51.100.1"));
        net->on("198.51.100.1", "mail.example.", QType::a, address("mail.example.", "203.0.113.25"));
        net->yield = true;
        auto loop = EventLoop::create();
        std::vector<std::string> traced;
        int finished = 0;
        const auto done = [&] {
            if (++finished == 2)
                loop->stop();
        };
        loop->spawn([&] {
            expectAnswer(resolve("mail.example."), { "mail.example. A 203.0.113.25" });
            done();
        });
        loop->spawn([&] {
            trace::Scope scope;
            expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80" });
            traced = scope.lines();
            done();
        });
        loop->run();
        ASSERT_FALSE(traced.empty());
        for (const std::string& line : traced)
            EXPECT_EQ(line.find("mail."), std::string::npos) << line;
    }

    // The servers of example. may alias a name into another zone but not answer for it: the address they
    // add for the target is dropped, and the target is resolved afresh from the closest delegation known
    // for it (the root here), not asked of them.
    // Two cold names behind one glueless delegation, resolved at once on one loop: the nameserver's
    // addresses are looked up once, A and AAAA side by side; the second resolution waits for those
    // lookups instead of repeating them.
    TEST_F(Resolution, ConcurrentResolutionsShareTheirNestedLookups)
    {
        const std::vector<const char*> hosts { "a.example.test.", "b.example.test." };
        for (const char* host : hosts) {
            net->on("192.0.2.1", host, QType::a, delegation("test.", "ns.test.", "198.51.100.5"));
            net->on("198.51.100.5", host, QType::a,
                delegation("example.test.", "ns.provider.net.", "203.0.113.6"));
            net->on("198.51.100.20", host, QType::a, address(host, "203.0.113.80"));
        }
        providerNameserverResolves();
        net->yield = true;
        auto loop = EventLoop::create();
        std::vector<ResolveOutcome> results;
        for (const char* host : hosts) {
            loop->spawn([&, host] {
                results.push_back(resolve(host));
                if (results.size() == hosts.size())
                    loop->stop();
            });
        }
        loop->run();
        ASSERT_EQ(results.size(), 2u);
        expectAnswer(results[0], { "a.example.test. A 203.0.113.80" });
        expectAnswer(results[1], { "b.example.test. A 203.0.113.80" });
        EXPECT_EQ(std::ranges::count(net->exchanges, provider_lookup[1]), 1);
        EXPECT_EQ(std::ranges::count(net->exchanges, provider_lookup[2]), 1);
        const auto at
            = [&](const std::string& exchange) { return std::ranges::find(net->exchanges, exchange); };
        EXPECT_LT(at(ask(roots, "ns.provider.net.", QType::aaaa)), at(provider_lookup[1])) << "side by side";
    }

    TEST_F(Resolution, CnameIntoAnotherZone)
    {
        exampleServerReplies(Reply { authoritative,
            { { "www.example.", QType::cname, wireName("web.cdn.test.") },
                { "web.cdn.test.", QType::a, ipv4("192.0.2.66") } } });
        net->on(
            "192.0.2.1", "web.cdn.test.", QType::a, delegation("cdn.test.", "ns.cdn.test.", "198.51.100.7"));
        net->on("198.51.100.7", "web.cdn.test.", QType::a, address("web.cdn.test.", "203.0.113.9"));
        expectAnswer(
            resolve("www.example."), { "www.example. CNAME web.cdn.test.", "web.cdn.test. A 203.0.113.9" });
        Exchanges expected = root_then_ns1;
        expected.push_back(ask(roots, "web.cdn.test.", QType::a));
        expected.push_back(ask({ "198.51.100.7:53" }, "web.cdn.test.", QType::a));
        EXPECT_EQ(net->exchanges, expected);
    }

    // The only server of a delegation is lame (it refuses, or answers without authority for the zone it
    // was said to serve) or silent: nothing it says is used, and no other server is left to ask; a silent
    // one gets a second chance.
    TEST_F(Resolution, LameOrSilentSoleServerOfADelegation)
    {
        const std::pair<const char*, std::optional<Reply>> cases[] {
            { "REFUSED", Reply { 0x8005 } },
            { "another name's address without AA",
                address("mail.example.", "203.0.113.66", not_authoritative) },
            { "no reply", std::nullopt },
        };
        for (const auto& [label, reply] : cases) {
            SCOPED_TRACE(label);
            start(false);
            exampleServerReplies(reply);
            expectFailure(
                resolve("www.example."), ResolveError::NoReachableAuthority, "example.", "198.51.100.1:53");
            Exchanges expected = root_then_ns1;
            if (!reply)
                expected.push_back(ask(ns1, "www.example.", QType::a));
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // Every server of a delegation used to be asked at once and the first reply won, whatever it said:
    // one refusing (or spoofed REFUSED) server failed the question. Each server is now asked alone, the
    // fastest known first, and one that refuses, fails or stays silent hands the question to the next;
    // a lame one is asked last for the zone from then on.
    TEST_F(Resolution, RefusingFailingOrSilentServerHandsOverToTheNext)
    {
        const std::vector<std::string> ns2 { "198.51.100.2:53" };
        const std::pair<const char*, std::optional<Reply>> cases[] {
            { "REFUSED", Reply { 0x8405 } },
            { "SERVFAIL", Reply { 0x8402 } },
            { "no reply", std::nullopt },
        };
        for (const auto& [label, reply] : cases) {
            SCOPED_TRACE(label);
            start(false);
            recursor->infra().recordReply(*SocketAddress::fromIpLiteral("198.51.100.1", 53), 5);
            recursor->infra().recordReply(*SocketAddress::fromIpLiteral("198.51.100.2", 53), 60);
            net->on("192.0.2.1", "www.example.", QType::a,
                Reply { not_authoritative, {},
                    { { "example.", QType::ns, wireName("ns1.example.") },
                        { "example.", QType::ns, wireName("ns2.example.") } },
                    { { "ns1.example.", QType::a, ipv4("198.51.100.1") },
                        { "ns2.example.", QType::a, ipv4("198.51.100.2") } } });
            for (const char* qname : { "www.example.", "mail.example." }) {
                net->on("198.51.100.1", qname, QType::a, reply);
                net->on("198.51.100.2", qname, QType::a, address(qname, "203.0.113.80"));
            }
            expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80" });
            expectAnswer(resolve("mail.example."), { "mail.example. A 203.0.113.80" });
            Exchanges expected = root_then_ns1;
            expected.push_back(ask(ns2, "www.example.", QType::a));
            // The lame server ranks last; the silent one, its timeout doubled (50 to 100 ms), after ns2.
            expected.push_back(ask(ns2, "mail.example.", QType::a));
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // Replies without AA, and authoritative negative answers without the zone's SOA, used to count as no
    // reply: the question failed where the server had said all that was needed. The RRset bound to the
    // question is usable without AA (RFC 1034 §5.3.3 step 4a, RFC 2181 §5.4.1), and so is a negative
    // answer with the zone's SOA; an authoritative NXDOMAIN, or an empty NOERROR that refers nowhere, is
    // a negative answer without one (RFC 2308 §2.1, §2.2), served but never cached (§5).
    TEST_F(Resolution, AnswersWithoutAaOrSoa)
    {
        const Rrs soa = nodata("example.").authority;
        const Rrs zone_ns { { "example.", QType::ns, wireName("ns1.example.") } };
        struct Case {
            const char* label;
            Reply reply;
            RCode rcode;
            bool cached;
        };
        const Case cases[] {
            { "answer without AA", address("www.example.", "203.0.113.80", not_authoritative),
                RCode::no_error, true },
            { "NXDOMAIN without AA", { 0x8003, {}, soa }, RCode::nx_domain, true },
            { "NODATA without AA", { not_authoritative, {}, soa }, RCode::no_error, true },
            { "NXDOMAIN without SOA", { 0x8403 }, RCode::nx_domain, false },
            { "NODATA without SOA", { authoritative }, RCode::no_error, false },
            { "NODATA with the zone's NS, without SOA", { authoritative, {}, zone_ns }, RCode::no_error,
                false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            start(false);
            exampleServerReplies(c.reply);
            for (int twice = 0; twice < 2; ++twice) { // the second time through the answer cache
                const auto result = recursor->resolveWithTransport(
                    UpstreamSettings {}, *DnsName::fromText("www.example."), QType::a);
                ASSERT_TRUE(result) << describe(result.error());
                EXPECT_EQ(result->rcode, c.rcode);
                EXPECT_EQ(result->answer_count, c.reply.answer.size());
            }
            Exchanges expected = root_then_ns1;
            if (!c.cached)
                expected.push_back(ask(ns1, "www.example.", QType::a));
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // A server of example. refers the question back up to the root, to its own zone, or down to a zone
    // beside the name: following would let it send the resolver round in circles, or hand the name to
    // servers of its choosing. None is followed, and the glue is never asked.
    TEST_F(Resolution, ReferralUpwardsOrAwayFromTheName)
    {
        const std::pair<const char*, const char*> cases[] {
            { ".", "ns.evil.test." },
            { "example.", "ns.evil.example." },
            { "victim.example.", "ns.victim.example." },
        };
        for (const auto& [zone, ns] : cases) {
            SCOPED_TRACE(zone);
            start(false);
            exampleServerReplies(delegation(zone, ns, "203.0.113.66"));
            expectError(resolve("www.example."), ResolveError::NoReachableAuthority);
            EXPECT_EQ(net->exchanges, root_then_ns1);
        }
    }

    // A chain of aliases that comes back on itself used to be followed until the eleventh link, and the
    // client got a bare SERVFAIL. The loop is seen where it closes: SERVFAIL with the chain up to there,
    // nothing more asked, nothing cached.
    TEST_F(Resolution, CnameOrDnameLoopEndsInServfailWithTheChain)
    {
        const Rrs dname_x { { "x.example.", QType::dname, wireName("y.example.") } };
        const Rrs dname_y { { "y.example.", QType::dname, wireName("x.example.") } };
        struct Case {
            const char* label;
            const char* qname;
            std::vector<std::pair<const char*, Rrs>> replies; // of example.'s server, by name asked
            Exchanges after_referral;
            std::vector<std::string> chain;
        };
        const Case cases[] {
            { "CNAME to itself", "www.example.",
                { { "www.example.", { { "www.example.", QType::cname, wireName("www.example.") } } } },
                { ask(ns1, "www.example.", QType::a) }, { "www.example. CNAME www.example." } },
            { "two CNAMEs", "www.example.",
                { { "www.example.", { { "www.example.", QType::cname, wireName("a.example.") } } },
                    { "a.example.", { { "a.example.", QType::cname, wireName("www.example.") } } } },
                { ask(ns1, "www.example.", QType::a), ask(ns1, "a.example.", QType::a) },
                { "www.example. CNAME a.example.", "a.example. CNAME www.example." } },
            { "two DNAMEs", "www.x.example.",
                { { "www.x.example.", dname_x }, { "www.y.example.", dname_y } },
                { ask(ns1, "www.x.example.", QType::a), ask(ns1, "www.y.example.", QType::a) },
                { "x.example. other", "www.x.example. CNAME www.y.example.", "y.example. other",
                    "www.y.example. CNAME www.x.example." } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            start(false);
            net->on("192.0.2.1", c.qname, QType::a, delegation("example.", "ns1.example.", "198.51.100.1"));
            for (const auto& [qname, answer] : c.replies)
                net->on("198.51.100.1", qname, QType::a, Reply { authoritative, answer });
            const auto result
                = recursor->resolveWithTransport(UpstreamSettings {}, *DnsName::fromText(c.qname), QType::a);
            ASSERT_TRUE(result) << describe(result.error());
            EXPECT_EQ(result->rcode, RCode::serv_fail);
            EXPECT_EQ(result->packet.at(3) & 0x0F, 2) << "RCODE in the packet";
            EXPECT_EQ(answerLines(*result), c.chain);
            Exchanges expected { ask(roots, c.qname, QType::a) };
            expected.insert(expected.end(), c.after_referral.begin(), c.after_referral.end());
            EXPECT_EQ(net->exchanges, expected);
            EXPECT_FALSE(*recursor->cache().getAnswerCopy(*DnsName::fromText(c.qname), QType::a));
        }
    }

    // A hostile root whose every referral names five nameservers without glue, each in a zone that the
    // root refers on in the same way, one level deeper: one client question used to draw 100 upstream
    // queries. The nameserver lookups of one question now share a budget of their own, over every level.
    TEST_F(Resolution, NestedGluelessDelegationsSpendABudgetOfTheirOwn)
    {
        const int bound = ResolutionBudget::default_nameserver_exchanges + 1; // and the question itself
        for (const bool on_loop : { false, true }) {
            SCOPED_TRACE(on_loop ? "on a loop" : "on the thread");
            start(false);
            net->otherwise = [](std::string_view, std::string_view qname, QType) {
                // nsK.lN.evil. lies in lN.evil., whose servers are ns1..ns5.l<N+1>.evil.; www.victim. in
                // victim., whose servers are ns1..ns5.l1.evil.
                const auto dot = qname.find(".l");
                const int level = dot == std::string_view::npos ? 0 : std::atoi(qname.data() + dot + 2);
                const std::string zone = level == 0 ? "victim." : "l" + std::to_string(level) + ".evil.";
                Reply referral { not_authoritative };
                for (int k = 1; k <= 5; ++k)
                    referral.authority.push_back({ zone, QType::ns,
                        wireName("ns" + std::to_string(k) + ".l" + std::to_string(level + 1) + ".evil.") });
                return referral;
            };
            expectError(on_loop ? resolveOnLoop("www.victim.") : resolve("www.victim."),
                ResolveError::NameserverBudgetExhausted);
            EXPECT_LE(static_cast<int>(net->exchanges.size()), bound);
            EXPECT_GE(static_cast<int>(net->exchanges.size()), bound - 1) << "the budget is what stops it";
        }
    }

    // Three levels of delegations without glue, each zone served from a name in the next, the last glued:
    // an honest chain that the budget of nameserver lookups leaves alone.
    TEST_F(Resolution, HonestGluelessChainOfDepthThreeResolves)
    {
        for (const bool on_loop : { false, true }) {
            SCOPED_TRACE(on_loop ? "on a loop" : "on the thread");
            start(false);
            const Reply refer_z0 { not_authoritative, {}, { { "z0.", QType::ns, wireName("ns.z1.") } } };
            const Reply refer_z1 { not_authoritative, {}, { { "z1.", QType::ns, wireName("ns.z2.") } } };
            const Reply refer_z2 { not_authoritative, {}, { { "z2.", QType::ns, wireName("ns.z3.") } } };
            net->on("192.0.2.1", "www.z0.", QType::a, refer_z0);
            for (const QType type : { QType::a, QType::aaaa }) {
                net->on("192.0.2.1", "ns.z1.", type, refer_z1);
                net->on("192.0.2.1", "ns.z2.", type, refer_z2);
                net->on("192.0.2.1", "ns.z3.", type, delegation("z3.", "ns.z3.", "198.51.100.3"));
            }
            net->on("198.51.100.3", "ns.z3.", QType::a, address("ns.z3.", "198.51.100.3"));
            net->on("198.51.100.3", "ns.z3.", QType::aaaa, nodata("z3."));
            net->on("198.51.100.3", "ns.z2.", QType::a, address("ns.z2.", "198.51.100.2"));
            net->on("198.51.100.3", "ns.z2.", QType::aaaa, nodata("z2."));
            net->on("198.51.100.2", "ns.z1.", QType::a, address("ns.z1.", "198.51.100.1"));
            net->on("198.51.100.2", "ns.z1.", QType::aaaa, nodata("z1."));
            net->on("198.51.100.1", "www.z0.", QType::a, address("www.z0.", "203.0.113.80"));
            expectAnswer(
                on_loop ? resolveOnLoop("www.z0.") : resolve("www.z0."), { "www.z0. A 203.0.113.80" });
            EXPECT_EQ(net->exchanges.back(), ask({ "198.51.100.1:53" }, "www.z0.", QType::a));
        }
    }

    // QNAME minimisation (RFC 9156): each zone's servers are asked NS of one label more than their zone.
    class Minimisation : public Resolution {
    protected:
        void SetUp() override
        {
            limits.qname_minimisation = true;
            start(false);
            // example. (ns1) holds www.a.b.example. below the empty non-terminals a.b. and b.; in the
            // cases that delegate b.example., ns2 serves it.
            net->on(
                "192.0.2.1", "example.", QType::ns, delegation("example.", "ns1.example.", "198.51.100.1"));
            for (const char* server : { "198.51.100.1", "198.51.100.2" }) {
                const char* zone = server == std::string_view("198.51.100.1") ? "example." : "b.example.";
                net->on(server, "a.b.example.", QType::ns, nodata(zone));
                net->on(server, "www.a.b.example.", QType::a, address("www.a.b.example.", "203.0.113.80"));
            }
        }
        std::uint64_t fallbacks(MinimisationFallback reason)
        {
            return recursor->infra().minimisationFallbacks(reason);
        }
        const Exchanges to_example { ask(roots, "example.", QType::ns) };
        const std::vector<std::string> ns2 { "198.51.100.2:53" };
    };

    // What example.'s server replies to "b.example. NS" decides what it is asked next. An empty
    // non-terminal (or a cut it serves itself) reveals one label more; a referral moves on; an error used
    // to make the server lame for a question it would have answered whole: the same server is now asked
    // the whole name, and the fallback counted; so is an answer that fits no NS question (a CNAME).
    TEST_F(Minimisation, EachZoneIsAskedOneLabelMoreUntilTheQuestionIsDue)
    {
        const Exchanges full { ask(ns1, "www.a.b.example.", QType::a) };
        const Exchanges ent = { ask(ns1, "a.b.example.", QType::ns), ask(ns1, "www.a.b.example.", QType::a) };
        struct Case {
            const char* label;
            Reply reply; // to "b.example. NS" at ns1
            Exchanges then;
            std::optional<MinimisationFallback> fallback;
        };
        const Case cases[] {
            { "empty non-terminal", nodata("example."), ent, std::nullopt },
            { "cut served by the same server",
                Reply { authoritative, { { "b.example.", QType::ns, wireName("ns1.example.") } } }, ent,
                std::nullopt },
            { "referral", delegation("b.example.", "ns.b.example.", "198.51.100.2"),
                { ask(ns2, "a.b.example.", QType::ns), ask(ns2, "www.a.b.example.", QType::a) },
                std::nullopt },
            { "REFUSED", Reply { 0x8405 }, full, MinimisationFallback::server_error },
            { "SERVFAIL", Reply { 0x8402 }, full, MinimisationFallback::server_error },
            { "FORMERR", Reply { 0x8401 }, full, MinimisationFallback::server_error },
            { "NOTIMP", Reply { 0x8404 }, full, MinimisationFallback::server_error },
            { "CNAME at the minimised name",
                Reply { authoritative, { { "b.example.", QType::cname, wireName("elsewhere.example.") } } },
                full, MinimisationFallback::unusable_answer },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            SetUp();
            net->on("198.51.100.1", "b.example.", QType::ns, c.reply);
            expectAnswer(resolve("www.a.b.example."), { "www.a.b.example. A 203.0.113.80" });
            Exchanges expected = to_example;
            expected.push_back(ask(ns1, "b.example.", QType::ns));
            expected.insert(expected.end(), c.then.begin(), c.then.end());
            EXPECT_EQ(net->exchanges, expected);
            for (const auto reason : { MinimisationFallback::server_error,
                     MinimisationFallback::unusable_answer, MinimisationFallback::label_limit })
                EXPECT_EQ(fallbacks(reason), c.fallback == reason ? 1u : 0u) << fallbackName(reason);
        }
    }

    // An NXDOMAIN for an ancestor denies every name below it (RFC 8020): the client gets NXDOMAIN for its
    // question at once, and it is cached for that question. A NODATA for an empty non-terminal is no
    // denial: the question above got its address, and a second question costs nothing.
    TEST_F(Minimisation, NxdomainForAnAncestorEndsTheQuestionAndNodataDoesNot)
    {
        Reply nx = nodata("example.");
        nx.flags = 0x8403;
        net->on("198.51.100.1", "b.example.", QType::ns, nx);
        const ResolveOutcome denied = resolve("www.a.b.example.");
        ASSERT_TRUE(denied) << describe(denied.error());
        EXPECT_EQ(denied->rcode, RCode::nx_domain);
        EXPECT_EQ(net->exchanges, (Exchanges { to_example[0], ask(ns1, "b.example.", QType::ns) }));
        net->exchanges.clear();
        EXPECT_TRUE(recursor->resolveWithTransport(
            UpstreamSettings {}, *DnsName::fromText("www.a.b.example."), QType::a));
        EXPECT_TRUE(net->exchanges.empty()) << net->exchanges.front();

        SetUp();
        net->on("198.51.100.1", "b.example.", QType::ns, nodata("example."));
        expectAnswer(resolve("www.a.b.example."), { "www.a.b.example. A 203.0.113.80" });
        net->exchanges.clear();
        expectAnswer(recursor->resolveWithTransport(
                         UpstreamSettings {}, *DnsName::fromText("www.a.b.example."), QType::a),
            { "www.a.b.example. A 203.0.113.80" });
        EXPECT_TRUE(net->exchanges.empty());
    }

    // A forwarder resolves what it is asked, so it is asked the whole question (with RD); below a stub
    // zone the names are minimised as below any cut, and the TRACE shows each question asked.
    TEST_F(Minimisation, NeverTowardsAForwarderButBelowAStubZone)
    {
        for (const bool recursive : { true, false }) {
            SCOPED_TRACE(recursive ? "forward" : "stub");
            NameserverSet servers;
            servers.append(*SocketAddress::fromIpLiteral("198.51.100.1", 53));
            forward_zones = { ForwardZone { *DnsName::fromText("example."), servers, recursive } };
            SetUp();
            net->on("198.51.100.1", "b.example.", QType::ns, nodata("example."));
            net->on("198.51.100.1", "www.a.b.example.", QType::a,
                Reply { recursive ? std::uint16_t { 0x8180 } : authoritative,
                    { { "www.a.b.example.", QType::a, ipv4("203.0.113.80") } } });
            trace::Scope scope;
            expectAnswer(resolve("www.a.b.example."), { "www.a.b.example. A 203.0.113.80" });
            const Exchanges expected = recursive
                ? Exchanges { ask(ns1, "www.a.b.example.", QType::a) + " +rd" }
                : Exchanges { ask(ns1, "b.example.", QType::ns), ask(ns1, "a.b.example.", QType::ns),
                      ask(ns1, "www.a.b.example.", QType::a) };
            EXPECT_EQ(net->exchanges, expected);
            const auto lines = scope.lines();
            const auto traced = [&](const char* text) {
                return std::ranges::any_of(
                    lines, [&](const std::string& line) { return line.starts_with(text); });
            };
            EXPECT_EQ(traced("zone example.: b.example. NS,"), !recursive);
            EXPECT_TRUE(traced("zone example.: www.a.b.example. A,"));
        }
        forward_zones.clear();
    }

    // A long name may not cost one question per label: past MINIMISE_ONE_LAB single labels the rest are
    // shared out so that at most MAX_MINIMISE_COUNT minimised questions are asked (RFC 9156 §2.3), and
    // the question then goes whole; every question counts against the resolution's budget.
    TEST_F(Minimisation, LongNamesAreBoundedBySection23)
    {
        net->otherwise = [](std::string_view, std::string_view qname, QType qtype) {
            return qtype == QType::ns ? nodata("example.")
                                      : address(std::string(qname).c_str(), "203.0.113.80");
        };
        const std::string deep = "l.k.j.i.h.g.f.e.d.c.b.a.l.k.j.i.h.g.f.e.d.c.b.a.example.";
        expectAnswer(resolve(deep), { deep + " A 203.0.113.80" });
        // Nine minimised questions (the root's among them), the last of which leaves three labels, and
        // the whole one; the fifth is the first to reveal several labels (four of the 21 hidden).
        ASSERT_EQ(net->exchanges.size(), 10u);
        EXPECT_EQ(net->exchanges.back(), ask(ns1, deep, QType::a));
        EXPECT_EQ(net->exchanges[3], ask(ns1, "c.b.a.example.", QType::ns));
        EXPECT_EQ(net->exchanges[4], ask(ns1, "g.f.e.d.c.b.a.example.", QType::ns));
        EXPECT_EQ(fallbacks(MinimisationFallback::label_limit), 1u);
        for (std::size_t i = 1; i + 1 < net->exchanges.size(); ++i)
            EXPECT_LT(net->exchanges[i].size(), net->exchanges[i + 1].size()) << "each question reveals more";
    }

    // A signed root, its key the trust anchor (as a DS), delegating to a signed example.: the DS is
    // published at the root, the DNSKEY at example.'s server.
    class ResolutionDnssec : public Resolution {
    protected:
        void SetUp() override { start(true, dnssec::TrustAnchorStore::parse(root_key.anchorLine()).value()); }

        // The RRset of `rdata` at `owner` and, unless `key` is null, its RRSIG.
        static Rrs rrset(
            const TestSigner* key, const char* owner, QType type, std::vector<std::uint8_t> rdata)
        {
            const std::vector<std::vector<std::uint8_t>> rdatas { std::move(rdata) };
            Rrs out { { owner, type, rdatas[0] } };
            if (key)
                out.push_back({ owner, QType::rrsig, key->sign(owner, type, 3600, rdatas) });
            return out;
        }
        // The root's DS names `ds_key`; www.example.'s A is signed only when `sign_www`.
        void publish(const TestSigner& ds_key, bool sign_www)
        {
            exampleServerReplies(Reply { authoritative,
                rrset(sign_www ? &zone_key : nullptr, "www.example.", QType::a, ipv4("203.0.113.80")) });
            net->on("198.51.100.1", "mail.example.", QType::a,
                Reply { authoritative, rrset(&zone_key, "mail.example.", QType::a, ipv4("203.0.113.25")) });
            net->on("192.0.2.1", ".", QType::dnskey,
                Reply { authoritative, rrset(&root_key, ".", QType::dnskey, root_key.dnskey()) });
            net->on("192.0.2.1", "example.", QType::ds,
                Reply { authoritative, rrset(&root_key, "example.", QType::ds, ds_key.ds()) });
            net->on("198.51.100.1", "example.", QType::dnskey,
                Reply { authoritative, rrset(&zone_key, "example.", QType::dnskey, zone_key.dnskey()) });
        }

        TestSigner root_key { "." };
        TestSigner zone_key { "example." };
        const Exchanges chain_walk { ask(roots, "www.example.", QType::a), ask(ns1, "www.example.", QType::a),
            ask(roots, ".", QType::dnskey), ask(roots, "example.", QType::ds),
            ask(ns1, "example.", QType::dnskey) };
    };

    // The chain from the anchor down to example.'s keys is walked once, the DS asked of the parent's
    // servers; a second name of the zone costs its own exchange and nothing more.
    TEST_F(ResolutionDnssec, SignedDelegationIsWalkedOnce)
    {
        publish(zone_key, true);
        expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80", "www.example. RRSIG" }, true);
        EXPECT_EQ(net->exchanges, chain_walk);
        net->exchanges.clear();
        expectAnswer(
            resolve("mail.example."), { "mail.example. A 203.0.113.25", "mail.example. RRSIG" }, true);
        EXPECT_EQ(net->exchanges, (Exchanges { ask(ns1, "mail.example.", QType::a) }));
    }

    // The root's referral to example. carries the DS RRset and its RRSIG (RFC 4035 §3.1.4): it used to be
    // asked for again all the same. It is taken from the referral when the root's keys verify it; one
    // they do not (forged on the way, or signed by some other key) is not used, nor is one owned by any
    // name but the cut the referral leads to; the DS is then asked.
    TEST_F(ResolutionDnssec, DsOfASignedReferralIsNotAskedAgain)
    {
        const TestSigner forger { "." };
        const TestSigner stray_key { "example." };
        struct Case {
            const char* label;
            const char* owner; // of the DS in the referral
            const TestSigner* signer;
            const TestSigner* named; // the key the DS in the referral names
            bool asked;
        };
        const Case cases[] {
            { "signed by the root", "example.", &root_key, &zone_key, false },
            { "signed by a forged root key", "example.", &forger, &stray_key, true },
            { "owned by another name", "www.example.", &root_key, &zone_key, true },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            SetUp();
            publish(zone_key, true);
            Reply referral = delegation("example.", "ns1.example.", "198.51.100.1");
            for (Rr& rr : rrset(c.signer, c.owner, QType::ds, c.named->ds()))
                referral.authority.push_back(std::move(rr));
            net->on("192.0.2.1", "www.example.", QType::a, referral);
            expectAnswer(
                resolve("www.example."), { "www.example. A 203.0.113.80", "www.example. RRSIG" }, true);
            Exchanges expected = chain_walk;
            if (!c.asked)
                expected.erase(std::ranges::find(expected, ask(roots, "example.", QType::ds)));
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // A parent's DS that names no key the child publishes, and an unsigned answer from a zone the chain
    // proves signed (signatures stripped on the way): both are bogus, never served as insecure.
    TEST_F(ResolutionDnssec, BrokenChainOfTrust)
    {
        const TestSigner stray_key { "example." };
        struct Refusal {
            const char* server;
            const char* qname;
            QType type;
        };
        struct Case {
            const char* label;
            const TestSigner* ds_key;
            bool sign_www;
            std::optional<Refusal> refused;
            std::size_t walked; // how much of chain_walk is asked
            Exchanges after_walk;
            ResolveError why; // told to the client as an extended error
            const char* zone; // where the chain broke
        };
        const Case cases[] {
            { "DS matching no key", &stray_key, true, {}, 5, {}, ResolveError::DnskeyMissing, "example." },
            // Unsigned, www.example. might be a zone of its own below an unsigned delegation: its DS is
            // asked of example.'s server, then its DNSKEY, whose negative answer shows it is no zone apex.
            { "unsigned answer", &zone_key, false, {}, 5,
                { ask(ns1, "www.example.", QType::ds), ask(ns1, "www.example.", QType::dnskey) },
                ResolveError::SignaturesMissing, "example." },
            { "DS refused by the parent", &zone_key, true, Refusal { "192.0.2.1", "example.", QType::ds }, 4,
                {}, ResolveError::DsUnavailable, "example." },
            { "DNSKEY refused by the child", &zone_key, true,
                Refusal { "198.51.100.1", "example.", QType::dnskey }, 5, {}, ResolveError::DnskeyUnavailable,
                "example." },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            SetUp();
            publish(*c.ds_key, c.sign_www);
            net->on("198.51.100.1", "www.example.", QType::ds, nodata("example."));
            net->on("198.51.100.1", "www.example.", QType::dnskey, nodata("example."));
            if (c.refused)
                net->on(c.refused->server, c.refused->qname, c.refused->type, Reply { 0x8005 });
            expectFailure(resolve("www.example."), c.why, c.zone);
            Exchanges expected(
                chain_walk.begin(), chain_walk.begin() + static_cast<std::ptrdiff_t>(c.walked));
            expected.insert(expected.end(), c.after_walk.begin(), c.after_walk.end());
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // An authoritative NODATA without SOA from a signed zone owes its proof, and without a signed SOA
    // nothing anchors one: bogus. From a zone proven unsigned (its DS names only a digest type this
    // validator lacks) it is served as an insecure answer.
    TEST_F(ResolutionDnssec, NegativeAnswerWithoutSoa)
    {
        std::vector<std::uint8_t> unknown_digest = zone_key.ds();
        unknown_digest.at(3) = 200;
        for (const bool is_signed : { true, false }) {
            SCOPED_TRACE(is_signed ? "signed" : "unsigned");
            SetUp();
            publish(zone_key, true);
            net->on("198.51.100.1", "www.example.", QType::a, Reply { authoritative });
            if (!is_signed)
                net->on("192.0.2.1", "example.", QType::ds,
                    Reply { authoritative, rrset(&root_key, "example.", QType::ds, unknown_digest) });
            const auto result = resolve("www.example.");
            Exchanges expected = chain_walk;
            if (is_signed) {
                expectError(result, ResolveError::SignaturesMissing);
            } else {
                ASSERT_TRUE(result) << describe(result.error());
                EXPECT_EQ(std::tie(result->rcode, result->answer_count, result->validated),
                    std::make_tuple(RCode::no_error, std::uint16_t { 0 }, false));
                expected.pop_back(); // example.'s keys are never asked for
            }
            EXPECT_EQ(net->exchanges, expected);
        }
    }

    // An NXDOMAIN for a minimised ancestor stands for the question (RFC 8020), so it must prove itself as
    // one for the question would: a forged one without signatures from a signed zone is bogus, not a
    // denial, and is not cached as one.
    TEST_F(ResolutionDnssec, NxdomainForAMinimisedAncestorNeedsItsProof)
    {
        limits.qname_minimisation = true;
        SetUp();
        publish(zone_key, true);
        net->on("192.0.2.1", "example.", QType::ns, delegation("example.", "ns1.example.", "198.51.100.1"));
        Reply forged = nodata("example.");
        forged.flags = 0x8403; // AA, NXDOMAIN
        net->on("198.51.100.1", "a.example.", QType::ns, forged);
        expectError(resolve("www.a.example."), ResolveError::SignaturesMissing);
        EXPECT_EQ(net->exchanges.at(1), ask(ns1, "a.example.", QType::ns));
        EXPECT_TRUE(recursor->knownBogus(*DnsName::fromText("www.a.example."), QType::a));
    }

    // ANY is asked as a question of its own: every RRset of the answer is validated, and one that fails
    // makes the whole answer bogus, never a secure answer with a part left out.
    TEST_F(ResolutionDnssec, AnyValidatesEveryRrsetOfTheAnswer)
    {
        for (const bool sign_txt : { true, false }) {
            SCOPED_TRACE(sign_txt ? "every RRset signed" : "TXT unsigned");
            SetUp();
            publish(zone_key, true);
            Rrs answer = rrset(&zone_key, "mail.example.", QType::a, ipv4("203.0.113.25"));
            const Rrs txt
                = rrset(sign_txt ? &zone_key : nullptr, "mail.example.", QType::txt, { 2, 'h', 'i' });
            answer.insert(answer.end(), txt.begin(), txt.end());
            net->on("192.0.2.1", "mail.example.", QType::any,
                delegation("example.", "ns1.example.", "198.51.100.1"));
            net->on("198.51.100.1", "mail.example.", QType::any, Reply { authoritative, answer });
            net->on("198.51.100.1", "mail.example.", QType::ds, nodata("example."));
            net->on("198.51.100.1", "mail.example.", QType::dnskey, nodata("example."));
            const auto result = recursor->resolveFromNetwork(
                UpstreamSettings {}, *DnsName::fromText("mail.example."), QType::any);
            if (sign_txt)
                expectAnswer(result,
                    { "mail.example. A 203.0.113.25", "mail.example. RRSIG", "mail.example. other",
                        "mail.example. RRSIG" },
                    true);
            else
                expectError(result, ResolveError::SignaturesMissing);
        }
    }

    // A client that sets CD gets bogus data unchecked (RFC 4035 §3.2.2). Each repeat used to go
    // upstream again: 100 questions cost 100 exchanges, and two each through a CNAME. The unchecked
    // answer is kept apart for a few seconds, never validated, and a client without CD still fails.
    TEST_F(ResolutionDnssec, RepeatedUncheckedQuestionsForBogusDataAskOnce)
    {
        struct Case {
            const char* qname;
            Exchanges one_resolution; // what fetching the unchecked answer costs
            std::vector<std::string> lines;
        };
        const Case cases[] {
            { "www.example.", { ask(ns1, "www.example.", QType::a) }, { "www.example. A 203.0.113.80" } },
            { "alias.example.", { ask(ns1, "alias.example.", QType::a), ask(ns1, "www.example.", QType::a) },
                { "alias.example. CNAME www.example.", "www.example. A 203.0.113.80" } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.qname);
            auto now = std::make_shared<std::atomic<std::int64_t>>(1000);
            start(true, dnssec::TrustAnchorStore::parse(root_key.anchorLine()).value(),
                [now] { return now->load(); });
            publish(zone_key, false);
            net->on("198.51.100.1", "www.example.", QType::ds, nodata("example."));
            net->on("198.51.100.1", "www.example.", QType::dnskey, nodata("example."));
            net->on("198.51.100.1", "alias.example.", QType::a,
                Reply { authoritative,
                    rrset(&zone_key, "alias.example.", QType::cname, wireName("www.example.")) });
            net->on("192.0.2.1", "alias.example.", QType::a,
                delegation("example.", "ns1.example.", "198.51.100.1"));
            const DnsName qname = *DnsName::fromText(c.qname);
            ASSERT_FALSE(recursor->resolveFromNetwork(UpstreamSettings {}, qname, QType::a));
            ASSERT_TRUE(recursor->knownBogus(qname, QType::a));
            net->exchanges.clear();
            for (int i = 0; i < 100; ++i)
                expectAnswer(recursor->resolveUnchecked(UpstreamSettings {}, qname, QType::a), c.lines);
            EXPECT_EQ(net->exchanges, c.one_resolution);
            // The answer cache still says bogus, and a validating resolution still fails.
            EXPECT_FALSE(recursor->resolveWithTransport(UpstreamSettings {}, qname, QType::a));
            EXPECT_FALSE(recursor->resolveFromNetwork(UpstreamSettings {}, qname, QType::a));
            // A few seconds on, the data is fetched again.
            now->fetch_add(unchecked_answer_seconds + 1);
            net->exchanges.clear();
            expectAnswer(recursor->resolveUnchecked(UpstreamSettings {}, qname, QType::a), c.lines);
            EXPECT_EQ(net->exchanges, c.one_resolution);
            EXPECT_GT(recursor->flush(qname), 0u);
            EXPECT_FALSE(recursor->keptUncheckedAnswer(qname, QType::a).value()) << "flushed";
        }
    }

} // namespace
} // namespace recursor
