// Judging upstream responses: what is followed, what is served and cached, and what a server may not
// speak for. Responses are built by hand; nothing is sent except where a test counts exchanges.
#include "resolver/delegation.h"
#include "resolver/recursor.h"
#include "resolver/response.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::wireName;

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    struct Rec {
        std::string owner;
        QType type;
        std::vector<std::uint8_t> rdata;
        std::uint32_t ttl { 3600 };
    };

    std::vector<std::uint8_t> a(std::uint8_t last)
    {
        return { 192, 0, 2, last };
    }
    std::vector<std::uint8_t> soa(std::uint32_t minimum)
    {
        PacketBuilder b;
        b.name("ns.example.test").name("host.example.test").u32(1).u32(2).u32(3).u32(4).u32(minimum);
        return b.bytes();
    }

    // A response for `qname`/A with the given header flags word and sections.
    QueryResult response(std::string_view qname, std::uint16_t flags, const std::vector<Rec>& answer,
        const std::vector<Rec>& authority = {}, const std::vector<Rec>& additional = {})
    {
        PacketBuilder b;
        b.header(0x1234, flags, 1, static_cast<std::uint16_t>(answer.size()),
            static_cast<std::uint16_t>(authority.size()), static_cast<std::uint16_t>(additional.size()));
        b.question(qname, QType::a, QClass::in);
        for (const auto* section : { &answer, &authority, &additional }) {
            for (const Rec& r : *section)
                b.record(r.owner, r.type, QClass::in, r.ttl, r.rdata);
        }
        QueryResult result;
        result.packet = b.bytes();
        result.response = DnsMessage::parse(result.packet).value();
        return result;
    }

    constexpr std::uint16_t aa = 0x8400; // QR and AA
    constexpr std::uint16_t nxdomain = 0x8403;

    struct Judged {
        ResolveResultOr<NetworkAction> action;
        QueryContext ctx;
    };

    class Classification : public testing::Test {
    protected:
        Judged judge(std::string_view qname, std::string_view zone, const QueryResult& result,
            std::uint8_t cnames = 0, std::vector<DnsRecord> chain = {}, StepValidator* validator = nullptr)
        {
            QueryContext ctx;
            ctx.cname_chain = std::move(chain);
            ctx.qname = ctx.current_qname = name(qname);
            ctx.zone = name(zone);
            ctx.cname_count = cnames;
            Resolution resolution = recursor->startResolution(UpstreamSettings {});
            auto action = handleNetworkResponse(resolution, ctx, result, validator);
            return { std::move(action), std::move(ctx) };
        }
        std::optional<DnsMessage> cached(std::string_view qname)
        {
            hit_ = *recursor->cache().getAnswerCopy(name(qname), QType::a);
            if (!*hit_)
                return std::nullopt;
            return DnsMessage::parse((*hit_)->packet).value();
        }

        std::unique_ptr<Recursor> recursor
            = std::move(*Recursor::init(RecursorOptions { .root_servers = NameserverSet {} }));

    private:
        std::optional<std::optional<CacheHit>> hit_;
    };

    TEST_F(Classification, ServesAndCachesOnlyWhatTheServersZoneCovers)
    {
        const auto answer = response("www.example.test", aa,
            { { "www.example.test", QType::a, a(1), 60 }, { "victim.other.test", QType::a, a(66), 30 } });
        auto judged = judge("www.example.test", "example.test", answer);
        ASSERT_TRUE(judged.action);
        ASSERT_EQ(judged.action->tag, NetworkAction::Tag::done);
        EXPECT_EQ(judged.action->result.answer_count, 1u);
        const auto msg = cached("www.example.test");
        ASSERT_TRUE(msg);
        ASSERT_EQ(msg->records.size(), 1u);
        EXPECT_EQ(msg->records[0].name.toText(), "www.example.test.");
        EXPECT_FALSE(cached("victim.other.test"));

        // Nothing the server may speak for: no progress.
        const auto stray = response("www.example.test", aa, { { "victim.other.test", QType::a, a(66) } });
        EXPECT_EQ(
            judge("www.example.test", "example.test", stray).action->tag, NetworkAction::Tag::continue_loop);
    }

    TEST_F(Classification, FollowsTheCnameOfTheCurrentNameUpToTen)
    {
        const auto answer = response("alias.example.test", aa,
            { { "alias.example.test", QType::cname, wireName("www.other.test") },
                { "www.other.test", QType::a, a(66) } });
        auto judged = judge("alias.example.test", "example.test", answer);
        ASSERT_TRUE(judged.action);
        EXPECT_EQ(judged.action->tag, NetworkAction::Tag::continue_loop);
        EXPECT_TRUE(judged.ctx.advanced);
        EXPECT_EQ(judged.ctx.current_qname.toText(), "www.other.test.");
        EXPECT_EQ(judged.ctx.zone.toText(), ".") << "the target starts again from its own delegation";
        EXPECT_EQ(judged.ctx.cname_chain.size(), 1u);

        auto eleventh = judge("alias.example.test", "example.test", answer, max_cnames);
        ASSERT_FALSE(eleventh.action);
        EXPECT_EQ(eleventh.action.error(), ResolveError::CnameLoop);
    }

    // Replies without AA used to count as no reply, and so did authoritative negative answers without an
    // SOA. Both are answers (RFC 1034 §5.3.3 step 4a, RFC 2308 §2.1 and §2.2); a negative one is cached
    // for min(TTL, MINIMUM) of its SOA (RFC 2308 §3, §5), one without SOA never. NS records of another
    // zone make a referral, whatever AA says.
    TEST_F(Classification, NegativeAnswersAndReferrals)
    {
        const Rec zone_soa { "example.test", QType::soa, soa(900), 3600 };
        struct Case {
            const char* label;
            QueryResult result;
            NetworkAction::Tag expected;
            std::int64_t cached; // seconds; 0: not cached
        };
        const Case cases[] = {
            { "NXDOMAIN", response("nx.example.test", nxdomain, {}, { zone_soa }), NetworkAction::Tag::done,
                900 },
            { "NODATA",
                response("nx.example.test", aa, {}, { { "example.test", QType::soa, soa(900), 600 } }),
                NetworkAction::Tag::done, 600 },
            { "NXDOMAIN without AA", response("nx.example.test", 0x8003, {}, { zone_soa }),
                NetworkAction::Tag::done, 900 },
            { "answer without AA",
                response("nx.example.test", 0x8000, { { "nx.example.test", QType::a, a(1) } }),
                NetworkAction::Tag::done, 3600 },
            { "SOA of another zone",
                response("nx.example.test", nxdomain, {}, { { "other.test", QType::soa, soa(900) } }),
                NetworkAction::Tag::done, 0 },
            { "neither answers nor authority", response("nx.example.test", nxdomain, {}),
                NetworkAction::Tag::done, 0 },
            { "referral",
                response("nx.example.test", 0x8000, {},
                    { { "example.test", QType::ns, wireName("ns.example.test") } }),
                NetworkAction::Tag::follow_delegation, 0 },
            { "referral with AA",
                response("nx.example.test", aa, {},
                    { { "nx.example.test", QType::ns, wireName("ns.example.test") } }),
                NetworkAction::Tag::follow_delegation, 0 },
            { "referral upwards with AA",
                response("nx.example.test", aa, {}, { { "test", QType::ns, wireName("ns.example.test") } }),
                NetworkAction::Tag::follow_delegation, 0 },
            { "referral with an SOA, without AA",
                response("nx.example.test", 0x8000, {},
                    { zone_soa, { "nx.example.test", QType::ns, wireName("ns.example.test") } }),
                NetworkAction::Tag::follow_delegation, 0 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            recursor = std::move(*Recursor::init(RecursorOptions { .root_servers = NameserverSet {} }));
            auto judged = judge("nx.example.test", "example.test", c.result);
            ASSERT_TRUE(judged.action);
            EXPECT_EQ(judged.action->tag, c.expected);
            const auto hit = *recursor->cache().getAnswerCopy(name("nx.example.test"), QType::a);
            ASSERT_EQ(hit.has_value(), c.cached != 0);
            if (hit) {
                EXPECT_EQ(hit->meta.expires_at - hit->meta.stored_at, c.cached);
            }
        }

        // Reached through a CNAME: the chain is served first, and bounds how long the answer lives.
        const auto alias = response("alias.example.test", aa,
            { { "alias.example.test", QType::cname, wireName("nx.example.test"), 60 } });
        std::vector<DnsRecord> chain { alias.response.records[0] };
        const auto nx
            = response("nx.example.test", nxdomain, {}, { { "example.test", QType::soa, soa(900), 3600 } });
        auto judged = judge("nx.example.test", "example.test", nx, 1, chain);
        ASSERT_TRUE(judged.action);
        EXPECT_EQ(judged.action->result.answer_count, 1u);
        const auto hit = *recursor->cache().getAnswerCopy(name("nx.example.test"), QType::a);
        ASSERT_TRUE(hit);
        EXPECT_EQ(hit->meta.expires_at - hit->meta.stored_at, 60);
    }

    // Answers what it was told to, and notes what it was shown.
    struct CannedValidator final : StepValidator {
        ResolveResultOr<StepVerdict> answer(
            std::span<const DnsRecord* const> answers, const DnsMessage&) override
        {
            for (const DnsRecord* rec : answers)
                shown.push_back(rec->name.toText() + " " + std::to_string(toU16(rec->rtype)));
            return verdict;
        }
        ResolveResultOr<StepVerdict> denial(
            RCode, const DnsRecord* soa, std::span<const DnsRecord* const>) override
        {
            ++denials;
            without_soa += soa == nullptr;
            return denial_verdict;
        }
        ResolveResultOr<StepVerdict> verdict { StepVerdict { true } };
        ResolveResultOr<StepVerdict> denial_verdict { std::unexpected(ResolveError::DnssecBogus) };
        std::vector<std::string> shown;
        int denials { 0 };
        int without_soa { 0 };
    };

    // Used to take every in-zone record of the answer section: a reply to www A that carried only the
    // zone's signed AAAA RRset was served as a validated "no A record".
    TEST_F(Classification, OnlyTheRrsetsOfTheQuestionAnswerIt)
    {
        const Rec zone_soa { "example.test", QType::soa, soa(900) };
        const Rec aaaa { "www.example.test", QType::aaaa, std::vector<std::uint8_t>(16, 1) };
        const Rec other_a { "mail.example.test", QType::a, a(66) };
        struct Case {
            const char* label;
            QueryResult result;
            std::optional<ResolveError> expected; // nothing: answered
            std::size_t shown;
        };
        const Case cases[] = {
            { "another type, with SOA: a negative answer, so the signed zone owes a proof",
                response("www.example.test", aa, { aaaa }, { zone_soa }), ResolveError::DnssecBogus, 0 },
            { "another owner, with SOA: the same",
                response("www.example.test", aa, { other_a }, { zone_soa }), ResolveError::DnssecBogus, 0 },
            { "nothing, without SOA: a negative answer all the same", response("www.example.test", aa, {}),
                ResolveError::DnssecBogus, 0 },
            { "the A among others: only it is judged and served",
                response("www.example.test", aa, { other_a, { "www.example.test", QType::a, a(1) }, aaaa }),
                std::nullopt, 1 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            CannedValidator validator;
            auto judged = judge("www.example.test", "example.test", c.result, 0, {}, &validator);
            EXPECT_EQ(validator.shown.size(), c.shown);
            if (c.expected) {
                ASSERT_FALSE(judged.action);
                EXPECT_EQ(judged.action.error(), *c.expected);
                EXPECT_EQ(validator.denials, 1);
                EXPECT_EQ(validator.without_soa, c.result.response.header.nsCount() == 0);
                continue;
            }
            ASSERT_TRUE(judged.action);
            EXPECT_EQ(judged.action->result.answer_count, 1u);
            EXPECT_TRUE(judged.action->result.validated);
        }
    }

    // A DNAME in a signed zone used to give SERVFAIL: only the server's unsigned CNAME was judged.
    TEST_F(Classification, FollowsADnameWithACnameOfItsOwn)
    {
        const auto answer = response("www.example.test", aa,
            { { "example.test", QType::dname, wireName("other.test"), 600 },
                { "www.example.test", QType::cname, wireName("evil.test"), 600 } });
        CannedValidator validator;
        validator.verdict = StepVerdict { true, 120 };
        auto judged = judge("www.example.test", "example.test", answer, 0, {}, &validator);
        ASSERT_TRUE(judged.action);
        EXPECT_EQ(judged.ctx.current_qname.toText(), "www.other.test.");
        EXPECT_EQ(validator.shown, std::vector<std::string> { "example.test. 39" });
        ASSERT_EQ(judged.ctx.cname_chain.size(), 2u);
        EXPECT_EQ(judged.ctx.cname_chain[1].rdata.get<RDataTag::cname>().target.toText(), "www.other.test.");
        EXPECT_EQ(judged.ctx.cname_chain[1].ttl, 120u) << "capped as its signature allows";
        EXPECT_TRUE(judged.ctx.chain_validated);

        const std::string long_label(63, 'x');
        const auto deep = name(long_label + "." + long_label + "." + long_label + ".example.test");
        EXPECT_FALSE(substituteDname(deep, name("example.test"), name(long_label + ".other.test")));
        EXPECT_EQ(
            substituteDname(name("a.b.example.test"), name("example.test"), name("t"))->toText(), "a.b.t.");
    }

    // A TTL rewritten to 2^31-1 used to be served and cached as such; TTL 0 used to be cached for 300 s.
    TEST_F(Classification, TtlsAreBoundedAndZeroIsNeverCached)
    {
        struct Case {
            const char* label;
            QueryResult result;
            std::uint32_t signature_cap;
            std::uint32_t served; // 0 with `cached` 0: not cached at all
            std::int64_t cached;
        };
        const Case cases[] = {
            { "signature's original TTL",
                response("www.example.test", aa, { { "www.example.test", QType::a, a(1), 0x7FFFFFFF } }), 120,
                120, 120 },
            { "cache_max_ttl",
                response("www.example.test", aa, { { "www.example.test", QType::a, a(1), 1'000'000 } }),
                StepVerdict::no_cap, 86400, 86400 },
            { "cache_max_negative_ttl",
                response(
                    "www.example.test", aa, {}, { { "example.test", QType::soa, soa(100'000), 100'000 } }),
                StepVerdict::no_cap, 3600, 3600 },
            { "TTL 0", response("www.example.test", aa, { { "www.example.test", QType::a, a(1), 0 } }),
                StepVerdict::no_cap, 0, 0 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            recursor = std::move(*Recursor::init(RecursorOptions { .root_servers = NameserverSet {} }));
            CannedValidator validator;
            validator.verdict = validator.denial_verdict = StepVerdict { false, c.signature_cap };
            auto judged = judge("www.example.test", "example.test", c.result, 0, {}, &validator);
            ASSERT_TRUE(judged.action);
            const auto served = DnsMessage::parse(judged.action->result.packet).value();
            EXPECT_EQ(served.records.at(0).ttl, c.served);
            const auto hit = *recursor->cache().getAnswerCopy(name("www.example.test"), QType::a);
            ASSERT_EQ(hit.has_value(), c.cached != 0);
            if (hit) {
                EXPECT_EQ(hit->meta.expires_at - hit->meta.stored_at, c.cached);
            }
        }
    }

    TEST(Referrals, GoOnlyDownwardsAndTowardsTheName)
    {
        struct Case {
            const char* delegated;
            const char* zone;
            const char* qname;
            bool usable;
        };
        const Case cases[] = {
            { "example.test", "test", "www.example.test", true },
            { "deep.example.test", ".", "a.deep.example.test", true },
            { "example.test", "test", "example.test", true },
            { "test", "test", "www.example.test", false }, // not below the zone asked
            { "test", "example.test", "www.example.test", false }, // upwards
            { ".", "fake.test", "x.fake.test", false },
            { "other.test", "test", "www.example.test", false }, // sideways, away from the name
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.delegated) + " from " + c.zone + " for " + c.qname);
            EXPECT_EQ(isUsableReferral(name(c.delegated), name(c.zone), name(c.qname)), c.usable);
        }
    }

    // A loopback UDP socket that counts the queries it gets and never answers.
    struct SilentServer {
        SilentServer()
        {
            fd = ::socket(AF_INET, SOCK_DGRAM, 0);
            address = *SocketAddress::fromIpLiteral("127.0.0.1", 0);
            socklen_t len = address.sockaddrLen();
            EXPECT_EQ(::bind(fd, address.sockaddrPtr(), len), 0);
            EXPECT_EQ(::getsockname(fd, address.sockaddrPtr(), &len), 0);
        }
        ~SilentServer() { ::close(fd); }
        int received()
        {
            int count = 0;
            std::uint8_t buf[512];
            while (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0)
                ++count;
            return count;
        }
        int fd;
        SocketAddress address;
    };

    // One crafted referral must not make a question cost unbounded work (the NXNS attack).
    TEST(Referrals, BoundTheWorkOneQuestionCauses)
    {
        SilentServer silent;
        NameserverSet roots;
        roots.append(silent.address);
        auto recursor = std::move(*Recursor::init(RecursorOptions { .root_servers = roots }));
        const UpstreamSettings engine { .timeout_ms = 20 };

        std::vector<Rec> many_names;
        for (int i = 0; i < 12; ++i)
            many_names.push_back(
                { "victim.test", QType::ns, wireName("ns" + std::to_string(i) + ".elsewhere.example") });
        const auto referral = response("www.victim.test", 0x8000, {}, many_names);
        QueryContext ctx;
        ctx.qname = ctx.current_qname = name("www.victim.test");
        ctx.zone = DnsName::root();
        Resolution resolution = recursor->startResolution(engine);
        auto next = lookupDelegationNameservers(resolution, referral.response, ctx);
        ASSERT_TRUE(next);
        EXPECT_FALSE(next->has_value());
        EXPECT_EQ(silent.received(), 4 * static_cast<int>(max_glueless_names))
            << "A and AAAA of five names, each given a second chance at its silent server";

        // Two silent roots are asked in turn until the exchange budget runs out.
        roots.append(silent.address);
        recursor = std::move(*Recursor::init(RecursorOptions { .root_servers = roots }));
        Resolution small = recursor->startResolution(engine);
        small.budget() = { .exchanges_left = 3, .deadline_ms = monotonicMs() + 10'000 };
        auto resolved = small.lookup(name("www.victim.test"), QType::a, 0, {});
        ASSERT_FALSE(resolved);
        EXPECT_EQ(resolved.error(), ResolveError::BudgetExhausted);
        EXPECT_EQ(silent.received(), 3) << "three exchanges of one datagram each";
    }

} // namespace
} // namespace recursor
