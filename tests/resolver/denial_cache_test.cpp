// The validated denial ranges answering questions without asking (RFC 8198). The cache trusts its
// caller to have verified what it stores, so the records here carry no signatures.
#include "resolver/denial_cache.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::wireName;

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    // NSEC next name and a bitmap of window 0 with A (and NS SOA at the apex), RRSIG and NSEC.
    std::vector<std::uint8_t> nsec(std::string_view next, bool apex)
    {
        auto rdata = wireName(next);
        const std::vector<std::uint8_t> bitmap = apex
            ? std::vector<std::uint8_t> { 0, 6, 0x62, 0, 0, 0, 0, 0x03 } // A NS SOA RRSIG NSEC
            : std::vector<std::uint8_t> { 0, 6, 0x40, 0, 0, 0, 0, 0x03 }; // A RRSIG NSEC
        rdata.insert(rdata.end(), bitmap.begin(), bitmap.end());
        return rdata;
    }

    // example.test. -> a.example.test. (or *.example.test.) -> m.example.test. -> back to the apex.
    struct Proofs {
        explicit Proofs(const std::string& zone = "example.test", const std::string& second = "a")
        {
            PacketBuilder b;
            b.header(0, 0x8403, 1, 0, 4, 0).question("x." + zone, QType::a, QClass::in);
            PacketBuilder soa;
            soa.name("ns.test").name("host.test").u32(1).u32(2).u32(3).u32(4).u32(300);
            b.record(zone, QType::soa, QClass::in, 3600, soa.bytes());
            b.record(zone, QType::nsec, QClass::in, 3600, nsec(second + "." + zone, true));
            b.record(second + "." + zone, QType::nsec, QClass::in, 3600, nsec("m." + zone, false));
            b.record("m." + zone, QType::nsec, QClass::in, 3600, nsec(zone, false));
            packet = b.bytes();
            msg = DnsMessage::parse(packet).value();
            for (const DnsRecord& rec : msg.records)
                (rec.rtype == QType::soa ? soa_records : nsec_records).push_back(&rec);
        }
        std::vector<std::uint8_t> packet;
        DnsMessage msg;
        std::vector<const DnsRecord*> soa_records;
        std::vector<const DnsRecord*> nsec_records;
    };

    struct Clocked {
        std::shared_ptr<std::atomic<std::int64_t>> now = std::make_shared<std::atomic<std::int64_t>>(1000);
        DenialCache cache { [now = now] { return now->load(); }, 1 << 20 };
    };

    TEST(DenialCache, AnswersWhatItsRangesProveAndNothingElse)
    {
        Clocked c;
        Proofs proofs;
        ASSERT_TRUE(c.cache.put(name("example.test"), proofs.soa_records, proofs.nsec_records, 300));
        struct Case {
            const char* qname;
            QType qtype;
            std::optional<RCode> expected;
        };
        const Case cases[] = {
            { "b.example.test", QType::a, RCode::nx_domain }, // covered, and so is *.example.test
            { "deep.b.example.test", QType::txt, RCode::nx_domain },
            { "a.example.test", QType::mx, RCode::no_error }, // NODATA: a exists without MX
            { "a.example.test", QType::a, std::nullopt }, // exists: ask
            // ANY and meta-types are in no bitmap: a missing bit proves nothing of them. ANY at a name
            // whose NSEC lacks bit 255 used to come back NOERROR, empty, with AD, although A exists.
            { "a.example.test", QType::any, std::nullopt }, { "a.example.test", QType::axfr, std::nullopt },
            { "a.example.test", QType::ixfr, std::nullopt }, { "a.example.test", QType::tsig, std::nullopt },
            { "a.example.test", QType::tkey, std::nullopt }, { "a.example.test", QType::maila, std::nullopt },
            { "a.example.test", QType::opt, std::nullopt }, { "a.example.test", QType { 0 }, std::nullopt },
            { "a.example.test", QType { 200 }, std::nullopt },
            { "b.example.test", QType::any, RCode::nx_domain }, // an absent name holds no type at all
            { "b.example.test", QType::axfr, RCode::nx_domain },
            { "z.other.test", QType::a, std::nullopt }, // no zone of ours
        };
        for (const Case& k : cases) {
            SCOPED_TRACE(k.qname);
            auto answer = c.cache.answer(name(k.qname), k.qtype);
            ASSERT_TRUE(answer);
            ASSERT_EQ(answer->has_value(), k.expected.has_value());
            if (!k.expected)
                continue;
            EXPECT_EQ((*answer)->rcode, *k.expected);
            EXPECT_TRUE((*answer)->validated);
            const auto msg = DnsMessage::parse((*answer)->packet).value();
            EXPECT_NE(msg.header.bytes[3] & flag_ad, 0);
            EXPECT_EQ(msg.question_name.toText(), std::string(k.qname) + ".");
            ASSERT_FALSE(msg.records.empty());
            EXPECT_EQ(msg.records[0].rtype, QType::soa);
            EXPECT_EQ(msg.records[0].ttl, 300u) << "no longer than it was stored for";
        }
        c.now->fetch_add(301);
        EXPECT_FALSE(c.cache.answer(name("b.example.test"), QType::a)->has_value()) << "expired";
    }

    TEST(DenialCache, ExpandsAStoredWildcardForNamesItsRangesProveAbsent)
    {
        Clocked c;
        const Proofs proofs("example.test", "*");
        PacketBuilder b;
        b.header(0, 0x8400, 1, 1, 0, 0).question("x.example.test", QType::a, QClass::in);
        b.record("x.example.test", QType::a, QClass::in, 600, std::vector<std::uint8_t> { 192, 0, 2, 7 });
        const auto packet = b.bytes();
        const auto expanded = DnsMessage::parse(packet).value();
        const std::vector<const DnsRecord*> rrset { &expanded.records[0] };
        ASSERT_TRUE(c.cache.putWildcard(name("example.test"), 2, rrset, proofs.nsec_records, 120));

        auto answer = c.cache.answer(name("b.example.test"), QType::a);
        ASSERT_TRUE(answer && answer->has_value());
        const auto msg = DnsMessage::parse((*answer)->packet).value();
        ASSERT_EQ(msg.records.size(), 1u);
        EXPECT_EQ(msg.records[0].name.toText(), "b.example.test.");
        EXPECT_EQ(msg.records[0].ttl, 120u);
        EXPECT_NE(msg.header.bytes[3] & flag_ad, 0);
        EXPECT_FALSE(c.cache.answer(name("m.example.test"), QType::a)->has_value()) << "m exists";
        EXPECT_FALSE(c.cache.answer(name("b.example.test"), QType::any)->has_value())
            << "the wildcard's other types are not known";
        EXPECT_FALSE(c.cache.answer(name("b.example.test"), QType::txt)->has_value()) << "no SOA for NODATA";
    }

    TEST(DenialCache, StaysWithinItsByteBudget)
    {
        auto now = std::make_shared<std::atomic<std::int64_t>>(1000);
        DenialCache cache([now] { return now->load(); }, 2048);
        for (int zone = 0; zone < 200; ++zone) {
            const std::string apex = "z" + std::to_string(zone) + ".test";
            const Proofs proofs(apex);
            ASSERT_TRUE(cache.put(name(apex), proofs.soa_records, proofs.nsec_records, 300));
        }
        EXPECT_GT(cache.rangeCount(), 0u);
        EXPECT_LT(cache.rangeCount(), 20u);
    }

} // namespace
} // namespace recursor
