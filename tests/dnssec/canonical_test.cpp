// Canonical RDATA, ordering and the signed-data feed (RFC 4034 §6, RFC 6840 §5.1, RFC 4035 §5.3.2).
#include "dnssec/canonical.h"

#include "dnssec/keytag.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace recursor::dnssec {
namespace {

    using ByteVec = std::vector<std::uint8_t>;

    DnsName name(const char* text)
    {
        return *DnsName::fromText(text);
    }

    DnsRecord record(RData rdata, const char* owner = "example.", QClass rclass = QClass::in)
    {
        return DnsRecord { rdata, 300, rdata.rtype(), rclass, name(owner), Section::answer };
    }

    RData unknown(std::uint16_t rtype, const ByteVec& bytes)
    {
        return RData::make<RDataTag::unknown>(RData::Unknown { bytes, static_cast<QType>(rtype) });
    }

    ByteVec bytesOf(std::initializer_list<ByteVec> parts)
    {
        ByteVec out;
        for (const ByteVec& p : parts)
            out.insert(out.end(), p.begin(), p.end());
        return out;
    }

    ByteVec wire(const char* text)
    {
        const DnsName n = name(text);
        return ByteVec(n.wireBytes().begin(), n.wireBytes().end());
    }

    TEST(SerializeRData, LowerCasesOnlyTheListedTypesAndNeverCompresses)
    {
        const ByteVec px_raw = bytesOf({ { 0, 10 }, wire("Map.Example."), wire("X400.Example.") });
        const ByteVec opaque = bytesOf({ wire("Keep.Case.") });
        const struct {
            const char* label;
            DnsRecord rec;
            ByteVec expected;
        } cases[] = {
            { "MX exchange lower-cased",
                record(RData::make<RDataTag::mx>(rdata::common::MX { 10, name("Mail.Example.") })),
                bytesOf({ { 0, 10 }, wire("mail.example.") }) },
            { "SOA names in full, though the second could point at the first",
                record(RData::make<RDataTag::soa>(
                    rdata::common::SOA { name("NS.example."), name("Host.NS.example."), 1, 2, 3, 4, 5 })),
                bytesOf({ wire("ns.example."), wire("host.ns.example."),
                    { 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5 } }) },
            { "SRV target lower-cased (RFC 6840 §5.1 keeps SRV in the list)",
                record(RData::make<RDataTag::srv>(rdata::common::SRV { 1, 2, 3, name("Sip.Example.") })),
                bytesOf({ { 0, 1, 0, 2, 0, 3 }, wire("sip.example.") }) },
            { "HTTPS target kept as it is",
                record(RData::make<RDataTag::https>(rdata::common::SVCB { 1, name("Svc.Example."), {} })),
                bytesOf({ { 0, 1 }, wire("Svc.Example.") }) },
            { "NSEC next name lower-cased",
                record(RData::make<RDataTag::nsec>(rdata::dnssec::NSEC { name("Next.Example."), {} })),
                wire("next.example.") },
            { "DNAME target lower-cased",
                record(RData::make<RDataTag::dname>(rdata::misc::DNAME { name("Other.Example.") })),
                wire("other.example.") },
            { "PX carried as unknown RDATA: both names lower-cased", record(unknown(26, px_raw)),
                bytesOf({ { 0, 10 }, wire("map.example."), wire("x400.example.") }) },
            { "an unknown type exactly as received", record(unknown(65280, opaque)), opaque },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(serializeRData(c.rec), c.expected);
        }
    }

    TEST(CanonicalRRset, OrdersRDataAsOctetStringsShorterFirstAndKeepsDuplicates)
    {
        const ByteVec a { 1, 3 }, b { 1, 2, 0 }, c { 1, 2 };
        const std::vector<DnsRecord> records = { record(unknown(65280, a)), record(unknown(65280, b)),
            record(unknown(65280, c)), record(unknown(65280, b)) };
        const auto rrset = CanonicalRRset::init(records);
        ASSERT_TRUE(rrset);
        const std::vector<std::size_t> expected = { 2, 1, 3, 0 };
        EXPECT_EQ(std::vector(rrset->order().begin(), rrset->order().end()), expected);
    }

    TEST(CanonicalRRset, RefusesRecordsOfMoreThanOneRRset)
    {
        const auto a = RData::make<RDataTag::a>(rdata::common::A { { 192, 0, 2, 1 } });
        const auto aaaa = RData::make<RDataTag::aaaa>(rdata::common::AAAA {});
        const struct {
            const char* label;
            std::vector<DnsRecord> records;
            DnssecResult<std::size_t> expected; // the record count on success
        } cases[] = {
            { "owners differing in case only", { record(a, "www.example."), record(a, "WWW.Example.") }, 2 },
            { "two owners", { record(a, "www.example."), record(a, "ftp.example.") },
                std::unexpected(DnssecError::MixedNames) },
            { "A and AAAA", { record(a), record(aaaa) }, std::unexpected(DnssecError::MixedTypes) },
            { "two classes", { record(a), record(a, "example.", QClass::chaos) },
                std::unexpected(DnssecError::MixedClasses) },
            { "nothing at all", {}, std::unexpected(DnssecError::MixedNames) },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            const auto rrset = CanonicalRRset::init(c.records);
            EXPECT_EQ(rrset ? DnssecResult<std::size_t>(rrset->order().size())
                            : DnssecResult<std::size_t>(std::unexpected(rrset.error())),
                c.expected);
        }
    }

    TEST(SignedOwner, RebuildsWildcardOwnersFromTheLabelsField)
    {
        const struct {
            const char* owner;
            std::uint8_t labels;
            const char* expected; // nullptr: InvalidRRSIG
        } cases[] = {
            { "WWW.Example.", 2, "www.example." },
            { "a.b.w.example.", 2, "*.w.example." },
            { "a.b.w.example.", 1, "*.example." },
            { "a.example.", 0, "*." },
            { "*.w.example.", 2, "*.w.example." },
            { "*.w.example.", 3, nullptr }, // the "*" label is not counted
            { "w.example.", 3, nullptr },
            { ".", 0, "." },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.owner) + " " + std::to_string(c.labels));
            const auto owner = signedOwner(name(c.owner), c.labels);
            if (c.expected == nullptr)
                EXPECT_EQ(owner, std::unexpected(DnssecError::InvalidRRSIG));
            else
                EXPECT_EQ(owner.value().toText(), c.expected);
        }
    }

    TEST(RrsetDigest, RefusesMalformedRrsigPrefixes)
    {
        const std::vector<DnsRecord> records = { record(RData::make<RDataTag::a>(rdata::common::A {})) };
        const auto rrset = CanonicalRRset::init(records);
        ASSERT_TRUE(rrset);
        const ByteVec fixed(18, 0);
        const struct {
            const char* label;
            ByteVec prefix;
        } cases[] = {
            { "18 bytes, no signer name", fixed },
            { "a label length of 64", bytesOf({ fixed, { 64 }, ByteVec(64, 'a'), { 0 } }) },
            { "a label running past the end", bytesOf({ fixed, { 3, 'a', 'b' } }) },
            { "no terminating zero", bytesOf({ fixed, { 1, 'a' } }) },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(rrsetDigest(c.prefix, *rrset, [](std::span<const std::uint8_t>) {}),
                std::unexpected(DnssecError::InvalidRRSIG));
        }
    }

    TEST(RrsetDigest, FeedsOriginalTtlAndDropsATrailingSignature)
    {
        const std::vector<DnsRecord> records
            = { record(RData::make<RDataTag::a>(rdata::common::A { { 192, 0, 2, 1 } }), "A.Example.") };
        const auto rrset = CanonicalRRset::init(records);
        ASSERT_TRUE(rrset);
        // type A, algorithm 13, 2 labels, original TTL 3600, times, key tag, signer ".", signature 0xEE.
        const ByteVec prefix = { 0, 1, 13, 2, 0, 0, 0x0E, 0x10, 0, 0, 0, 2, 0, 0, 0, 1, 0x12, 0x34, 0 };
        ByteVec fed;
        const auto done
            = rrsetDigest(bytesOf({ prefix, { 0xEE } }), *rrset, [&fed](std::span<const std::uint8_t> piece) {
                  fed.insert(fed.end(), piece.begin(), piece.end());
              });
        ASSERT_TRUE(done);
        EXPECT_EQ(fed,
            bytesOf({ prefix, wire("a.example."), { 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 192, 0, 2, 1 } }));
    }

    TEST(Keytag, SumsTheRDataAsBigEndianWords)
    {
        const ByteVec key = { 1, 2, 3 };
        EXPECT_EQ(computeKeytag(256, 3, 8, key), 2058); // 0x0100 + 0x0308 + 0x0102 + 0x0300
    }

} // namespace
} // namespace recursor::dnssec
