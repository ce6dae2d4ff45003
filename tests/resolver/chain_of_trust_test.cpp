// The chain validator on RRsets signed by dnssec-signzone (tests/dnssec/fixtures), with the zone's keys
// already in the cache, so that nothing is looked up.
#include "resolver/chain_of_trust.h"

#include "dnssec/keytag.h"
#include "dnssec/signed_fixture.h"
#include "resolver/recursor.h"

#include <gtest/gtest.h>

#include <deque>

namespace recursor {
namespace {

    using dnssec::fixture::fixtureDir;
    using dnssec::fixture::readFile;

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    // Fixture responses of the alg13.test. zone, kept alive beside the records that view them.
    struct Signed {
        explicit Signed(std::initializer_list<const char*> stems)
        {
            for (const char* stem : stems) {
                packets.push_back(readFile(fixtureDir() + "alg13/" + stem + ".bin"));
                messages.push_back(DnsMessage::parse(packets.back()).value());
            }
            for (DnsMessage& msg : messages) {
                for (DnsRecord& rec : msg.records)
                    records.push_back(&rec);
            }
        }
        std::deque<std::vector<std::uint8_t>> packets;
        std::deque<DnsMessage> messages;
        std::vector<DnsRecord*> records;
    };

    class ChainValidation : public testing::Test {
    protected:
        void SetUp() override
        {
            const auto key = dnssec::fixture::loadZoneKey(13).value();
            auto keys = std::make_shared<ZoneKeys>();
            keys->zone = name("alg13.test");
            keys->keys.push_back(key.key().copyOwned().value());
            keys->keytags.push_back(dnssec::computeKeytag(key.key()));
            ASSERT_TRUE(recursor->cache().putZoneSecurity(keys->zone, ZoneSecurity { keys }, 3600));
            ctx.zone = ctx.qname = ctx.current_qname = name("alg13.test");
        }
        std::unique_ptr<Recursor> recursor
            = std::move(*Recursor::init(RecursorOptions { .root_servers = NameserverSet {} }));
        QueryContext ctx;
        Resolution resolution = recursor->startResolution(UpstreamSettings {});
        ResolutionBudget& budget = resolution.budget();
    };

    // The budget used to reset for every response, so that CNAME steps each had a fresh one; a TTL
    // rewritten to 2^31-1 was served as it came; and every negative answer re-checked the same SOA and
    // NSEC signatures.
    TEST_F(ChainValidation, SignatureChecksComeOutOfTheQuestionsBudgetAndCapTheTtl)
    {
        Signed www({ "www_A" });
        for (DnsRecord* rec : www.records)
            rec->ttl = 0x7FFFFFFF;
        const std::vector<const DnsRecord*> answers(www.records.begin(), www.records.end());
        budget.verifications_left = 1;
        auto verdict = validateAnswerRrsets(resolution, ctx, answers, www.messages[0]);
        ASSERT_TRUE(verdict);
        EXPECT_TRUE(verdict->secure);
        EXPECT_EQ(verdict->ttl_cap, 3600u) << "the RRSIG's original TTL";
        EXPECT_EQ(budget.verifications_left, 0);
        verdict = validateAnswerRrsets(resolution, ctx, answers, www.messages[0]);
        ASSERT_FALSE(verdict);
        EXPECT_EQ(verdict.error(), ResolveError::DnssecBogus);
        // The same signature over the same bytes, checked once, costs nothing the next time.
        budget.verifications_left = 1;
        verdict = validateAnswerRrsets(resolution, ctx, answers, www.messages[0]);
        ASSERT_TRUE(verdict);
        EXPECT_TRUE(verdict->secure);
        EXPECT_EQ(budget.verifications_left, 1);
    }

    // A denial record's signature verifies under any owner its labels field allows: moved from
    // *.w.alg13.test. to x.w.alg13.test., the wildcard's NSEC "proved" that x had no TXT.
    TEST_F(ChainValidation, DenialRecordsCountOnlyUnderTheirOwnName)
    {
        struct Case {
            const char* label;
            const char* owner;
            bool secure;
        };
        for (const Case& c :
            { Case { "in place", "*.w.alg13.test", true }, Case { "moved", "x.w.alg13.test", false } }) {
            SCOPED_TRACE(c.label);
            Signed proof({ "apex_SOA", "star.w_NSEC" });
            for (DnsRecord* rec : proof.records) {
                if (rec->name.eql(name("*.w.alg13.test")))
                    rec->name = name(c.owner);
            }
            const std::vector<const DnsRecord*> authority(proof.records.begin(), proof.records.end());
            ctx.current_qname = name(c.owner);
            ctx.qtype = QType::txt;
            const auto verdict
                = validateDenial(resolution, ctx, RCode::no_error, *authority.front(), authority);
            if (c.secure) {
                ASSERT_TRUE(verdict);
                EXPECT_TRUE(verdict->secure);
            } else {
                ASSERT_FALSE(verdict);
                EXPECT_EQ(verdict.error(), ResolveError::DnssecBogus);
            }
        }
    }

} // namespace
} // namespace recursor
