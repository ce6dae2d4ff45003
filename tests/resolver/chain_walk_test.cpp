// The chain of trust walked from the root anchor down to the zone that answers (RFC 4035 §5), driven
// through the canned transport: each case pins the outcome and every question asked upstream.
#include "resolver/recursor.h"

#include "base/event_loop.h"
#include "dnssec/nsec3.h"
#include "support/canned_transport.h"
#include "support/packet_builder.h"
#include "support/test_signer.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <functional>

namespace recursor {
namespace {

    using namespace test;

    // Every call into the Recursor goes through these two. A resolution runs on a fiber of an event loop,
    // where the transport yields at every exchange, so that questions asked side by side overlap.
    std::unique_ptr<Recursor> makeRecursor(std::shared_ptr<UpstreamTransport> transport, std::string anchors)
    {
        NameserverSet root_servers;
        root_servers.append(*SocketAddress::fromIpLiteral("192.0.2.1", 53));
        return Recursor::init(RecursorOptions { .validation_enabled = true,
                                  .root_servers = root_servers,
                                  .trust_anchors = dnssec::TrustAnchorStore::parse(anchors).value(),
                                  .transport = std::move(transport) })
            .value();
    }
    ResolveResultOr<ResolveResult> resolve(Recursor& recursor, std::string_view qname)
    {
        auto loop = EventLoop::create();
        std::optional<ResolveResultOr<ResolveResult>> result;
        loop->spawn([&] {
            result = kindOnly(
                recursor.resolveFromNetwork(UpstreamSettings {}, *DnsName::fromText(qname), QType::a));
            loop->stop();
        });
        loop->run();
        return std::move(result).value();
    }

    // The root's key as a DNSKEY trust anchor line (the DS form is TestSigner::anchorLine).
    std::string dnskeyAnchorLine(const TestSigner& key)
    {
        const std::vector<std::uint8_t> rdata = key.dnskey();
        std::string base64(4 * ((rdata.size() - 4 + 2) / 3) + 1, '\0');
        const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()), rdata.data() + 4,
            static_cast<int>(rdata.size() - 4));
        base64.resize(static_cast<std::size_t>(len));
        return ". IN DNSKEY 257 3 15 " + base64 + "\n";
    }

    // The RRset of `rdata` at `owner` and, unless `key` is null, its RRSIG.
    Rrs rrset(const TestSigner* key, const std::string& owner, QType type, std::vector<std::uint8_t> rdata)
    {
        const std::vector<std::vector<std::uint8_t>> rdatas { std::move(rdata) };
        Rrs out { { owner, type, rdatas[0] } };
        if (key)
            out.push_back({ owner, QType::rrsig, key->sign(owner, type, 3600, rdatas) });
        return out;
    }
    Rrs operator+(Rrs a, const Rrs& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    // Type bitmap of NS alone (RFC 4034 §4.1.2: window 0, one byte, bit 2), and of NS RRSIG NSEC.
    const std::vector<std::uint8_t> ns_only { 0, 1, 0x20 };
    const std::vector<std::uint8_t> ns_rrsig_nsec { 0, 6, 0x20, 0, 0, 0, 0, 0x03 };

    // NSEC RDATA (RFC 4034 §4.1): the next owner name, then the bitmap.
    std::vector<std::uint8_t> nsec(const char* next, const std::vector<std::uint8_t>& bitmap)
    {
        return PacketBuilder().name(next).raw(bitmap).bytes();
    }

    // The root (192.0.2.1) delegates test. to 198.51.100.5, which delegates example.test. to
    // 198.51.100.1; each zone signed by its own key, each DS published by the parent.
    struct World {
        TestSigner root_key { "." };
        TestSigner tld_key { "test." };
        TestSigner zone_key { "example.test." };
        std::shared_ptr<CannedTransport> net = std::make_shared<CannedTransport>();

        World()
        {
            net->on(
                "192.0.2.1", "www.example.test.", QType::a, delegation("test.", "ns.test.", "198.51.100.5"));
            net->on("198.51.100.5", "www.example.test.", QType::a,
                delegation("example.test.", "ns.example.test.", "198.51.100.1"));
            answerWww(&zone_key);
            net->on("192.0.2.1", ".", QType::dnskey,
                Reply { authoritative, rrset(&root_key, ".", QType::dnskey, root_key.dnskey()) });
            net->on("192.0.2.1", "test.", QType::ds,
                Reply { authoritative, rrset(&root_key, "test.", QType::ds, tld_key.ds()) });
            net->on("198.51.100.5", "test.", QType::dnskey,
                Reply { authoritative, rrset(&tld_key, "test.", QType::dnskey, tld_key.dnskey()) });
            dsOfExample(zone_key.ds());
            net->on("198.51.100.1", "example.test.", QType::dnskey,
                Reply { authoritative, rrset(&zone_key, "example.test.", QType::dnskey, zone_key.dnskey()) });
        }
        void answerWww(const TestSigner* key)
        {
            net->on("198.51.100.1", "www.example.test.", QType::a,
                Reply { authoritative, rrset(key, "www.example.test.", QType::a, ipv4("203.0.113.80")) });
        }
        void dsOfExample(std::vector<std::uint8_t> ds)
        {
            net->on("198.51.100.5", "example.test.", QType::ds,
                Reply { authoritative, rrset(&tld_key, "example.test.", QType::ds, std::move(ds)) });
        }
        // test.'s answer to the DS question of example.test.: NODATA, its SOA signed, and `proof`.
        void noDsAtTheParent(const Rrs& proof)
        {
            Reply reply = nodata("test.");
            reply.authority.push_back({ "test.", QType::rrsig,
                tld_key.sign("test.", QType::soa, 3600,
                    std::vector<std::vector<std::uint8_t>> { reply.authority[0].rdata }) });
            net->on("198.51.100.5", "example.test.", QType::ds,
                Reply { authoritative, {}, reply.authority + proof });
        }
    };

    // An NSEC3 (RFC 5155 §3.2; SHA-1, no opt-out, no salt, no extra iterations) matching example.test.
    // with `bitmap`, its next hash its own: the only name of the chain.
    Rrs nsec3OfExample(const TestSigner& key, const std::vector<std::uint8_t>& bitmap)
    {
        const auto hash = dnssec::nsec3Hash(*DnsName::fromText("example.test."), {}, 0).value();
        const std::string owner = dnssec::base32hexEncode(hash) + ".test.";
        auto rdata = PacketBuilder().u8(1).u8(0).u16(0).u8(0).u8(20).raw(hash).raw(bitmap).bytes();
        return rrset(&key, owner, QType::nsec3, rdata);
    }

    const std::vector<std::string> roots { "192.0.2.1:53" };
    const std::vector<std::string> tld { "198.51.100.5:53" };
    const std::vector<std::string> zone { "198.51.100.1:53" };
    const Exchanges referrals { ask(roots, "www.example.test.", QType::a),
        ask(tld, "www.example.test.", QType::a), ask(zone, "www.example.test.", QType::a) };
    const Exchanges root_keys { ask(roots, ".", QType::dnskey) };
    const Exchanges root_keys_silent { ask(roots, ".", QType::dnskey),
        ask(roots, ".", QType::dnskey) }; // a silent sole server is tried again
    const Exchanges tld_keys { ask(roots, "test.", QType::ds), ask(tld, "test.", QType::dnskey),
        ask(tld, "example.test.", QType::ds) }; // fetched ahead, beside test.'s keys
    const Exchanges zone_keys { ask(zone, "example.test.", QType::dnskey) };

    Exchanges concat(std::initializer_list<Exchanges> parts)
    {
        Exchanges out;
        for (const Exchanges& part : parts)
            out.insert(out.end(), part.begin(), part.end());
        return out;
    }

    TEST(ChainWalk, OutcomeAndQuestionsAskedForEachShapeOfTheChain)
    {
        enum class Outcome { secure, insecure, bogus };
        struct Case {
            const char* label;
            bool anchor_as_dnskey;
            std::function<void(World&)> tweak;
            Outcome outcome;
            ResolveError why; // when bogus
            Exchanges asked;
        };
        const TestSigner stray_key { "example.test." };
        const Case cases[] {
            // The DS of example.test. is asked beside test.'s DNSKEY, and once only.
            { "signed all the way", false, [](World&) {}, Outcome::secure, {},
                concat({ referrals, root_keys, tld_keys, zone_keys }) },
            // The root's keys cannot be had: an anchor given as a key stands in for them (RFC 4035 §4.4)...
            { "root keys silent, anchor a DNSKEY", true,
                [](World& w) { w.net->on("192.0.2.1", ".", QType::dnskey, std::nullopt); }, Outcome::secure,
                {}, concat({ referrals, root_keys_silent, tld_keys, zone_keys }) },
            // ...one given as a DS cannot: nothing is anchored.
            { "root keys silent, anchor a DS", false,
                [](World& w) { w.net->on("192.0.2.1", ".", QType::dnskey, std::nullopt); }, Outcome::bogus,
                ResolveError::DnssecBogus, concat({ referrals, root_keys_silent }) },
            // An insecure delegation proven by the parent's signed NSEC (RFC 4035 §5.2): the unsigned
            // answer is served without AD, and example.test.'s keys are never asked for.
            { "no DS, signed NSEC at the parent", false,
                [](World& w) {
                    w.noDsAtTheParent(
                        rrset(&w.tld_key, "example.test.", QType::nsec, nsec("test.", ns_rrsig_nsec)));
                    w.answerWww(nullptr);
                },
                Outcome::insecure, {}, concat({ referrals, root_keys, tld_keys }) },
            // The same proven by a matching NSEC3 (RFC 5155 §8.6).
            { "no DS, signed NSEC3 at the parent", false,
                [](World& w) {
                    w.noDsAtTheParent(nsec3OfExample(w.tld_key, ns_only));
                    w.answerWww(nullptr);
                },
                Outcome::insecure, {}, concat({ referrals, root_keys, tld_keys }) },
            // The proof stripped on the way (or forged with another key): example.test.'s own server
            // cannot vouch that it has no keys, so the unsigned answer is bogus, never insecure.
            { "no DS, proof unsigned", false,
                [](World& w) {
                    w.noDsAtTheParent(
                        rrset(nullptr, "example.test.", QType::nsec, nsec("test.", ns_rrsig_nsec)));
                    w.answerWww(nullptr);
                },
                Outcome::bogus, ResolveError::DnssecBogus,
                concat({ referrals, root_keys, tld_keys, zone_keys }) },
            { "no DS, NSEC3 signed by a stranger", false,
                [&stray_key](World& w) {
                    w.noDsAtTheParent(nsec3OfExample(stray_key, ns_only));
                    w.answerWww(nullptr);
                },
                Outcome::bogus, ResolveError::DnssecBogus,
                concat({ referrals, root_keys, tld_keys, zone_keys }) },
            // The parent's DS names a key example.test. does not publish (RFC 8914 §4.10).
            { "DS matching no DNSKEY", false, [&stray_key](World& w) { w.dsOfExample(stray_key.ds()); },
                Outcome::bogus, ResolveError::DnskeyMissing,
                concat({ referrals, root_keys, tld_keys, zone_keys }) },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            World world;
            world.net->yield = true;
            c.tweak(world);
            const auto recursor = makeRecursor(world.net,
                c.anchor_as_dnskey ? dnskeyAnchorLine(world.root_key) : world.root_key.anchorLine());
            const auto result = resolve(*recursor, "www.example.test.");
            if (c.outcome == Outcome::bogus) {
                ASSERT_FALSE(result) << "answered, validated " << result->validated;
                EXPECT_EQ(result.error(), c.why) << errorName(result.error());
            } else {
                ASSERT_TRUE(result) << errorName(result.error());
                EXPECT_EQ(result->rcode, RCode::no_error);
                EXPECT_EQ(result->answer_count, c.outcome == Outcome::secure ? 2 : 1) << "A, and its RRSIG";
                EXPECT_EQ(result->validated, c.outcome == Outcome::secure);
                EXPECT_EQ((result->packet.at(3) & 0x20) != 0, c.outcome == Outcome::secure) << "AD bit";
            }
            EXPECT_EQ(world.net->exchanges, c.asked);
            // test.'s keys and the DS of example.test. are asked side by side, not one after the other.
            const bool walked_below_test = std::ranges::search(c.asked, tld_keys).size() > 0;
            EXPECT_EQ(world.net->most_in_flight, walked_below_test ? 2 : 1);
        }
    }

} // namespace
} // namespace recursor
