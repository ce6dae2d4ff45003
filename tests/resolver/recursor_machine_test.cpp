// Whole resolutions (RFC 1034 §5.3.3) and the chain of trust they walk (RFC 4035 §5), driven through a
// canned transport: each test pins the result the client gets and every exchange made on the way.
#include "resolver/recursor.h"

#include "support/packet_builder.h"
#include "support/test_signer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <map>
#include <tuple>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::TestSigner;
    using test::wireName;

    constexpr std::uint16_t not_authoritative = 0x8000; // QR alone: referrals, lame answers
    constexpr std::uint16_t authoritative = 0x8400; // QR and AA

    struct Rr {
        std::string owner;
        QType type;
        std::vector<std::uint8_t> rdata;
    };
    using Rrs = std::vector<Rr>;
    struct Reply {
        std::uint16_t flags { authoritative };
        Rrs answer, authority, additional;
    };

    std::vector<std::uint8_t> ipv4(const char* text)
    {
        std::vector<std::uint8_t> addr(4);
        EXPECT_EQ(inet_pton(AF_INET, text, addr.data()), 1) << text;
        return addr;
    }
    Reply address(const char* owner, const char* addr, std::uint16_t flags = authoritative)
    {
        return { flags, { { owner, QType::a, ipv4(addr) } } };
    }
    // `zone` delegated to `ns`, with an address for it in the additional section.
    Reply delegation(const char* zone, const char* ns, const char* glue)
    {
        return { not_authoritative, {}, { { zone, QType::ns, wireName(ns) } },
            { { ns, QType::a, ipv4(glue) } } };
    }
    Reply nodata(const char* zone)
    {
        PacketBuilder soa;
        soa.name(zone).name(zone).u32(1).u32(3600).u32(600).u32(86400).u32(300);
        return { authoritative, {}, { { zone, QType::soa, soa.bytes() } } };
    }

    // One exchange as the transport records it: "www.example. 1 @ 192.0.2.1:53 192.0.2.2:53".
    std::string ask(const std::vector<std::string>& servers, std::string_view qname, QType qtype)
    {
        std::string text = std::string(qname) + ' ' + std::to_string(toU16(qtype)) + " @";
        for (const std::string& server : servers)
            text += ' ' + server;
        return text;
    }
    using Exchanges = std::vector<std::string>;

    // Replies by (server, qname, qtype); a fan-out is answered by the first of its servers with an entry,
    // an entry without a reply is a silent server, and a question without an entry fails the test.
    class CannedTransport final : public UpstreamTransport {
    public:
        void on(const char* server, const char* qname, QType qtype, std::optional<Reply> reply)
        {
            table_[{ std::string(server) + ":53", qname, qtype }] = std::move(reply);
        }

        TransportResult<QueryResult> exchange(const UpstreamEngine&, std::span<const SocketAddress> servers,
            const DnsName& qname, QType qtype) override
        {
            std::vector<std::string> addrs;
            for (const SocketAddress& server : servers)
                addrs.push_back(server.toString());
            exchanges.push_back(ask(addrs, qname.toText(), qtype));
            for (std::size_t i = 0; i < addrs.size(); ++i) {
                const auto entry = table_.find({ addrs[i], qname.toText(), qtype });
                if (entry == table_.end())
                    continue;
                if (!entry->second)
                    return std::unexpected(TransportError::Timeout);
                const Reply& r = *entry->second;
                PacketBuilder b;
                b.header(0, r.flags, 1, static_cast<std::uint16_t>(r.answer.size()),
                    static_cast<std::uint16_t>(r.authority.size()),
                    static_cast<std::uint16_t>(r.additional.size()));
                b.question(qname.toText(), qtype, QClass::in);
                for (const Rrs* section : { &r.answer, &r.authority, &r.additional }) {
                    for (const Rr& rr : *section)
                        b.record(rr.owner, rr.type, QClass::in, 3600, rr.rdata);
                }
                QueryResult result;
                result.packet = b.bytes();
                result.response = DnsMessage::parse(result.packet).value();
                result.from = servers[i];
                return result;
            }
            ADD_FAILURE() << "no reply canned for " << exchanges.back();
            return std::unexpected(TransportError::NetworkError);
        }

        Exchanges exchanges;

    private:
        std::map<std::tuple<std::string, std::string, QType>, std::optional<Reply>> table_;
    };

    // One root server: with several, which is asked first is the infrastructure cache's (random) choice.
    const std::vector<std::string> roots { "192.0.2.1:53" };
    const std::vector<std::string> ns1 { "198.51.100.1:53" };
    const Exchanges root_then_ns1 { ask(roots, "www.example.", QType::a),
        ask(ns1, "www.example.", QType::a) };

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
        void start(bool validation, std::optional<dnssec::TrustAnchorStore> anchors = std::nullopt)
        {
            net = std::make_shared<CannedTransport>();
            NameserverSet root_servers;
            root_servers.append(*SocketAddress::fromIpLiteral("192.0.2.1", 53));
            RecursorOptions options { .validation_enabled = validation,
                .root_servers = root_servers,
                .trust_anchors = std::move(anchors),
                .transport = net };
            recursor = Recursor::init(std::move(options)).value();
        }
        // The root delegates example. to ns1.example. (198.51.100.1), which replies `reply`.
        void exampleServerReplies(std::optional<Reply> reply)
        {
            net->on("192.0.2.1", "www.example.", QType::a,
                delegation("example.", "ns1.example.", "198.51.100.1"));
            net->on("198.51.100.1", "www.example.", QType::a, std::move(reply));
        }
        ResolveResultOr<ResolveResult> resolve(std::string_view qname)
        {
            return recursor->resolveFromNetwork(UpstreamEngine {}, *DnsName::fromText(qname), QType::a);
        }

        // NOERROR with exactly `lines` as its answer section, and `validated` as its AD bit.
        static void expectAnswer(const ResolveResultOr<ResolveResult>& result,
            const std::vector<std::string>& lines, bool validated = false)
        {
            ASSERT_TRUE(result) << errorName(result.error());
            EXPECT_EQ(result->rcode, RCode::no_error);
            EXPECT_EQ(answerLines(*result), lines);
            EXPECT_EQ(result->validated, validated);
            EXPECT_EQ((result->packet.at(3) & 0x20) != 0, validated) << "AD bit";
        }
        static void expectError(const ResolveResultOr<ResolveResult>& result, ResolveError error)
        {
            ASSERT_FALSE(result) << "answered " << testing::PrintToString(answerLines(*result));
            EXPECT_EQ(result.error(), error) << errorName(result.error());
        }

        std::shared_ptr<CannedTransport> net;
        std::unique_ptr<Recursor> recursor;
    };

    // A referral names the delegated zone's servers and their addresses as glue: the next question goes
    // to those addresses, and only to them.
    TEST_F(Resolution, ReferralWithGlue)
    {
        exampleServerReplies(address("www.example.", "203.0.113.80"));
        expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80" });
        EXPECT_EQ(net->exchanges, root_then_ns1);
    }

    // A referral whose nameserver lies outside the delegated zone carries no usable glue (an address for
    // ns.provider.net. is not the root's to give in a referral to example.): the name is resolved on its
    // own, from the root, before the delegated server can be asked.
    TEST_F(Resolution, GluelessReferral)
    {
        net->on("192.0.2.1", "www.example.", QType::a,
            delegation("example.", "ns.provider.net.", "203.0.113.66"));
        net->on("192.0.2.1", "ns.provider.net.", QType::a,
            delegation("provider.net.", "ns1.provider.net.", "198.51.100.10"));
        net->on("198.51.100.10", "ns.provider.net.", QType::a, address("ns.provider.net.", "198.51.100.20"));
        net->on("198.51.100.10", "ns.provider.net.", QType::aaaa, nodata("provider.net."));
        net->on("198.51.100.20", "www.example.", QType::a, address("www.example.", "203.0.113.80"));
        expectAnswer(resolve("www.example."), { "www.example. A 203.0.113.80" });
        const std::vector<std::string> provider { "198.51.100.10:53" };
        EXPECT_EQ(net->exchanges,
            (Exchanges { ask(roots, "www.example.", QType::a), ask(roots, "ns.provider.net.", QType::a),
                ask(provider, "ns.provider.net.", QType::a), ask(provider, "ns.provider.net.", QType::aaaa),
                ask({ "198.51.100.20:53" }, "www.example.", QType::a) }));
    }

    // A zone served only by a name inside itself, without glue, used to be chased until the question's
    // whole budget (100 exchanges) was spent on the parent's servers: the nameserver lookup met the same
    // referral again at every level. It now stops where the zone's own lookup is already in progress.
    TEST_F(Resolution, DelegationThatNeedsItselfIsNotChased)
    {
        const Reply loop { not_authoritative, {}, { { "example.", QType::ns, wireName("ns.example.") } } };
        for (const char* qname : { "www.example.", "ns.example." }) {
            net->on("192.0.2.1", qname, QType::a, loop);
            net->on("192.0.2.1", qname, QType::aaaa, loop);
        }
        expectError(resolve("www.example."), ResolveError::NoReachableAuthority);
        EXPECT_EQ(net->exchanges,
            (Exchanges { ask(roots, "www.example.", QType::a), ask(roots, "ns.example.", QType::a),
                ask(roots, "ns.example.", QType::aaaa) }));
    }

    // The servers of example. may alias a name into another zone but not answer for it: the address they
    // add for the target is dropped, and the target is resolved afresh from the closest delegation known
    // for it (the root here), not asked of them.
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
            { "answer without AA", address("www.example.", "203.0.113.66", not_authoritative) },
            { "no reply", std::nullopt },
        };
        for (const auto& [label, reply] : cases) {
            SCOPED_TRACE(label);
            start(false);
            exampleServerReplies(reply);
            expectError(resolve("www.example."), ResolveError::NoReachableAuthority);
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

    // A parent's DS that names no key the child publishes, and an unsigned answer from a zone the chain
    // proves signed (signatures stripped on the way): both are bogus, never served as insecure.
    TEST_F(ResolutionDnssec, BrokenChainOfTrust)
    {
        const TestSigner stray_key { "example." };
        struct Case {
            const char* label;
            const TestSigner* ds_key;
            bool sign_www;
            Exchanges after_walk;
        };
        const Case cases[] {
            { "DS matching no key", &stray_key, true, {} },
            // Unsigned, www.example. might be a zone of its own below an unsigned delegation: its DS is
            // asked of example.'s server, then its DNSKEY, whose negative answer shows it is no zone apex.
            { "unsigned answer", &zone_key, false,
                { ask(ns1, "www.example.", QType::ds), ask(ns1, "www.example.", QType::dnskey) } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            SetUp();
            publish(*c.ds_key, c.sign_www);
            net->on("198.51.100.1", "www.example.", QType::ds, nodata("example."));
            net->on("198.51.100.1", "www.example.", QType::dnskey, nodata("example."));
            expectError(resolve("www.example."), ResolveError::DnssecBogus);
            Exchanges expected = chain_walk;
            expected.insert(expected.end(), c.after_walk.begin(), c.after_walk.end());
            EXPECT_EQ(net->exchanges, expected);
        }
    }

} // namespace
} // namespace recursor
