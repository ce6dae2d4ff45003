// Denial proofs against the example zones of RFC 4035 (NSEC, Appendices A and B) and RFC 5155 (NSEC3,
// Appendices A and B), and the forged or misused records the proofs must refuse.
#include "dnssec/denial.h"

#include "dnssec/nsec3.h"
#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace recursor::dnssec {
namespace {

    using enum QType;

    DnsName dn(std::string_view text)
    {
        return DnsName::fromText(text).value();
    }

    // RFC 4034 §4.1.2.
    std::vector<std::uint8_t> typeBitmap(const std::vector<QType>& types)
    {
        std::vector<std::uint8_t> out;
        for (unsigned window = 0; window < 256; ++window) {
            std::array<std::uint8_t, 32> bits {};
            std::size_t length = 0;
            for (QType type : types) {
                if (toU16(type) >> 8 != window)
                    continue;
                const unsigned low = toU16(type) & 0xFF;
                bits[low / 8] |= static_cast<std::uint8_t>(0x80 >> (low % 8));
                length = std::max<std::size_t>(length, low / 8 + 1);
            }
            if (length > 0) {
                out.push_back(static_cast<std::uint8_t>(window));
                out.push_back(static_cast<std::uint8_t>(length));
                out.insert(out.end(), bits.begin(), bits.begin() + static_cast<std::ptrdiff_t>(length));
            }
        }
        return out;
    }

    struct Nsec3Params {
        std::uint8_t flags = 1; // opt-out, as throughout the RFC 5155 example zone
        std::uint16_t iterations = 12;
        std::vector<std::uint8_t> salt = { 0xAA, 0xBB, 0xCC, 0xDD };
        std::uint8_t algorithm = 1;
    };

    std::string hashedLabel(std::string_view name, const Nsec3Params& p)
    {
        return base32hexEncode(nsec3Hash(dn(name), p.salt, p.iterations).value());
    }

    // The denial records of one zone, written into one response's authority section and parsed back.
    class Zone {
    public:
        explicit Zone(std::string apex)
            : apex_(std::move(apex))
        {
        }

        Zone& nsec(std::string_view owner, std::string_view next, const std::vector<QType>& types)
        {
            auto rdata = test::wireName(next);
            const auto bitmap = typeBitmap(types);
            rdata.insert(rdata.end(), bitmap.begin(), bitmap.end());
            return add(owner, QType::nsec, rdata);
        }

        // `label` (the owner's hashed label) and `next` in base32hex, as zone files write them.
        Zone& nsec3(std::string_view label, std::string_view next, const std::vector<QType>& types,
            const Nsec3Params& p = {})
        {
            const auto next_hash = base32hexDecode(next).value();
            std::vector<std::uint8_t> rdata { p.algorithm, p.flags,
                static_cast<std::uint8_t>(p.iterations >> 8), static_cast<std::uint8_t>(p.iterations),
                static_cast<std::uint8_t>(p.salt.size()) };
            rdata.insert(rdata.end(), p.salt.begin(), p.salt.end());
            rdata.push_back(static_cast<std::uint8_t>(next_hash.size()));
            rdata.insert(rdata.end(), next_hash.begin(), next_hash.end());
            const auto bitmap = typeBitmap(types);
            rdata.insert(rdata.end(), bitmap.begin(), bitmap.end());
            return add(std::string(label) + "." + apex_, QType::nsec3, rdata);
        }

        // An NSEC3 chain over these names, hashed with `p` and linked in hash order.
        Zone& nsec3Chain(
            const std::vector<std::pair<std::string, std::vector<QType>>>& names, const Nsec3Params& p)
        {
            std::vector<std::pair<std::string, std::vector<QType>>> hashed;
            for (const auto& [owner, types] : names)
                hashed.emplace_back(hashedLabel(owner, p), types);
            std::ranges::sort(hashed);
            for (std::size_t i = 0; i < hashed.size(); ++i)
                nsec3(hashed[i].first, hashed[(i + 1) % hashed.size()].first, hashed[i].second, p);
            return *this;
        }

        // The records with these owners (a name without a dot is a hashed label below the apex); all of
        // them when none is given.
        std::vector<const DnsRecord*> pick(const std::vector<std::string>& owners)
        {
            if (!message_) {
                packet_ = test::PacketBuilder().header(0, 0x8400, 0, 0, count_, 0).raw(body_.span()).bytes();
                message_ = DnsMessage::parse(packet_).value();
            }
            std::vector<const DnsRecord*> out;
            for (const DnsRecord& rec : message_->records) {
                const bool wanted = owners.empty() || std::ranges::any_of(owners, [&](const std::string& o) {
                    return rec.name.eql(dn(o.find('.') == std::string::npos ? o + "." + apex_ : o));
                });
                if (wanted)
                    out.push_back(&rec);
            }
            return out;
        }

        DnsName apex() const { return dn(apex_); }

    private:
        Zone& add(std::string_view owner, QType type, const std::vector<std::uint8_t>& rdata)
        {
            body_.record(owner, type, QClass::in, 3600, rdata);
            ++count_;
            message_.reset();
            return *this;
        }

        std::string apex_;
        test::PacketBuilder body_;
        std::uint16_t count_ = 0;
        std::vector<std::uint8_t> packet_;
        std::optional<DnsMessage> message_;
    };

    const char* text(Denial d)
    {
        switch (d) {
        case Denial::proven:
            return "proven";
        case Denial::opt_out:
            return "opt_out";
        case Denial::too_costly:
            return "too_costly";
        case Denial::unproven:
            return "unproven";
        }
        return "?";
    }

    const char* text(NoDs d)
    {
        switch (d) {
        case NoDs::insecure_delegation:
            return "insecure_delegation";
        case NoDs::not_a_cut:
            return "not_a_cut";
        case NoDs::unproven:
            return "unproven";
        }
        return "?";
    }

    enum class Ask : std::uint8_t { nxdomain, nodata, wildcard, no_ds };

    struct Case {
        const char* what;
        Ask ask;
        const char* qname;
        std::vector<std::string> owners; // the records handed over; {} for all of the zone's
        const char* expected;
        QType qtype = a; // for nodata
        std::uint8_t labels = 0; // for wildcard: the RRSIG's labels field
        const char* without_opt_out = nullptr; // for NSEC3 zones built without opt-out, when it differs
    };

    std::string run(Zone& zone, const Case& c, const DnsName& apex)
    {
        const auto records = zone.pick(c.owners);
        const DnsName qname = dn(c.qname);
        switch (c.ask) {
        case Ask::nxdomain:
            return text(proveNxdomain(qname, apex, records));
        case Ask::nodata:
            return text(proveNodata(qname, c.qtype, apex, records));
        case Ask::wildcard:
            return text(proveWildcardAnswer(qname, c.labels, apex, records));
        case Ask::no_ds:
            return text(proveNoDs(qname, apex, records));
        }
        return "?";
    }

    void runCases(Zone& zone, const std::vector<Case>& cases, bool opt_out = true)
    {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            const char* expected = !opt_out && c.without_opt_out ? c.without_opt_out : c.expected;
            EXPECT_EQ(run(zone, c, zone.apex()), expected);
        }
    }

    // ---- helpers ----

    TEST(DenialHelpers, CanonicalOrderIsRfc4034Section6_1)
    {
        const char* ordered[] = { "example.", "a.example.", "yljkjljk.a.example.", "Z.a.example.",
            "zABC.a.EXAMPLE.", "z.example.", "\\001.z.example.", "*.z.example.", "\\200.z.example." };
        for (std::size_t i = 0; i < std::size(ordered); ++i) {
            SCOPED_TRACE(ordered[i]);
            EXPECT_EQ(canonicalCompare(dn(ordered[i]), dn(ordered[i])), 0);
            for (std::size_t j = i + 1; j < std::size(ordered); ++j) {
                EXPECT_LT(canonicalCompare(dn(ordered[i]), dn(ordered[j])), 0) << ordered[j];
                EXPECT_GT(canonicalCompare(dn(ordered[j]), dn(ordered[i])), 0) << ordered[j];
            }
        }
        EXPECT_EQ(canonicalCompare(dn("WWW.Example."), dn("www.example.")), 0);
        EXPECT_LT(canonicalCompare(dn("."), dn("com.")), 0);
    }

    TEST(DenialHelpers, BitmapHasType)
    {
        const auto bitmap = typeBitmap({ a, mx, rrsig, nsec, static_cast<QType>(1234) });
        for (QType t : { a, mx, rrsig, nsec, static_cast<QType>(1234) })
            EXPECT_TRUE(bitmapHasType(bitmap, t)) << toU16(t);
        for (QType t : { ns, soa, ds, cname, aaaa, static_cast<QType>(1235), static_cast<QType>(0xFF01) })
            EXPECT_FALSE(bitmapHasType(bitmap, t)) << toU16(t);
        // A window that claims more bytes than there are is read no further than its end.
        const std::vector<std::uint8_t> truncated = { 0, 32, 0x40 };
        EXPECT_TRUE(bitmapHasType(truncated, a));
        EXPECT_FALSE(bitmapHasType(truncated, mx));
        EXPECT_FALSE(bitmapHasType({}, a));
    }

    TEST(DenialHelpers, NsecCovers)
    {
        const struct {
            const char *owner, *next, *name, *zone;
            bool covers;
        } cases[] = {
            { "b.example.", "ns1.example.", "ml.example.", "example.", true },
            { "B.EXAMPLE.", "NS1.example.", "ML.example.", "example.", true },
            { "b.example.", "ns1.example.", "b.example.", "example.", false }, // the owner exists
            { "b.example.", "ns1.example.", "ns1.example.", "example.", false }, // the next name exists
            { "b.example.", "ns1.example.", "a.b.example.", "example.", true }, // below a name sorts after it
            { "xx.example.", "example.", "xz.example.", "example.", true }, // the last NSEC wraps to the apex
            { "xx.example.", "example.", "a.xx.example.", "example.", true },
            { "xx.example.", "example.", "zzz.", "example.", false }, // after it, but outside the zone
            { "xx.example.", "a.example.", "xz.example.", "example.", false }, // wraps, but not to the apex
            { "xx.example.", "a.example.", "aa.example.", "example.", false },
            { "example.", "example.", "a.example.", "example.", true }, // the zone's only NSEC
            { "example.", "example.", "example.", "example.", false },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.owner) + " " + c.next + " " + c.name);
            EXPECT_EQ(nsecCovers(dn(c.owner), dn(c.next), dn(c.name), dn(c.zone)), c.covers);
        }
    }

    // ---- NSEC: the RFC 4035 Appendix A zone ----

    Zone rfc4035Zone()
    {
        Zone z("example.");
        z.nsec("example.", "a.example.", { ns, soa, mx, rrsig, nsec, dnskey })
            .nsec("a.example.", "ai.example.", { ns, ds, rrsig, nsec })
            .nsec("ai.example.", "b.example.", { a, hinfo, aaaa, rrsig, nsec })
            .nsec("b.example.", "ns1.example.", { ns, rrsig, nsec })
            .nsec("ns1.example.", "ns2.example.", { a, rrsig, nsec })
            .nsec("ns2.example.", "*.w.example.", { a, rrsig, nsec })
            .nsec("*.w.example.", "x.w.example.", { mx, rrsig, nsec })
            .nsec("x.w.example.", "x.y.w.example.", { mx, rrsig, nsec })
            .nsec("x.y.w.example.", "xx.example.", { mx, rrsig, nsec })
            .nsec("xx.example.", "example.", { a, hinfo, aaaa, rrsig, nsec });
        return z;
    }

    TEST(DenialNsec, Rfc4035AppendixB)
    {
        Zone zone = rfc4035Zone();
        runCases(zone,
            {
                // B.2: the NSEC covering ml.example. and the one covering *.example.
                { "B.2 NXDOMAIN", Ask::nxdomain, "ml.example.", { "b.example.", "example." }, "proven" },
                { "B.2 NXDOMAIN, all records", Ask::nxdomain, "ml.example.", {}, "proven" },
                { "B.2 without the wildcard's NSEC", Ask::nxdomain, "ml.example.", { "b.example." },
                    "unproven" },
                { "B.2 without ml's NSEC", Ask::nxdomain, "ml.example.", { "example." }, "unproven" },
                { "NXDOMAIN after the last name", Ask::nxdomain, "zz.example.", { "xx.example.", "example." },
                    "proven" },
                { "NXDOMAIN for a name that exists", Ask::nxdomain, "ai.example.", {}, "unproven" },
                { "NXDOMAIN for the apex", Ask::nxdomain, "example.", {}, "unproven" },
                { "NXDOMAIN for an empty non-terminal", Ask::nxdomain, "y.w.example.", {}, "unproven" },
                { "NXDOMAIN where a wildcard would answer", Ask::nxdomain, "a.z.w.example.", {}, "unproven" },
                { "NXDOMAIN outside the zone", Ask::nxdomain, "ml.example.com.", {}, "unproven" },
                // B.3
                { "B.3 NODATA", Ask::nodata, "ns1.example.", { "ns1.example." }, "proven", mx },
                { "B.3 for a type it has", Ask::nodata, "ns1.example.", { "ns1.example." }, "unproven", a },
                { "B.3 for a name it does not match", Ask::nodata, "ns2.example.", { "ns1.example." },
                    "unproven", mx },
                { "NODATA at an empty non-terminal", Ask::nodata, "y.w.example.", { "x.w.example." },
                    "proven", a },
                { "NODATA at the ENT w.example.", Ask::nodata, "w.example.", { "ns2.example." }, "proven",
                    a },
                { "NODATA for an absent name", Ask::nodata, "ml.example.", {}, "unproven", a },
                // B.4: the referral to the unsigned b.example.
                { "B.4 no DS", Ask::nodata, "b.example.", { "b.example." }, "proven", ds },
                { "B.4 insecure delegation", Ask::no_ds, "b.example.", { "b.example." },
                    "insecure_delegation" },
                { "a.example. has a DS", Ask::no_ds, "a.example.", { "a.example." }, "unproven" },
                { "a.example. DS NODATA", Ask::nodata, "a.example.", { "a.example." }, "unproven", ds },
                { "the parent side of a cut holds no A", Ask::nodata, "b.example.", { "b.example." },
                    "unproven", a },
                { "the apex's NSEC denies no DS", Ask::nodata, "example.", { "example." }, "unproven", ds },
                { "the apex is no delegation of its own", Ask::no_ds, "example.", { "example." },
                    "unproven" },
                { "ns1.example. is no cut", Ask::no_ds, "ns1.example.", { "ns1.example." }, "not_a_cut" },
                { "an absent name is no cut", Ask::no_ds, "ml.example.", { "b.example." }, "not_a_cut" },
                { "an ENT is no cut", Ask::no_ds, "w.example.", { "ns2.example." }, "not_a_cut" },
                { "no record, no proof", Ask::no_ds, "ml.example.", { "example." }, "unproven" },
                // B.6: a.z.w.example. MX from *.w.example. (RRSIG labels 2): z.w.example. does not exist.
                { "B.6 wildcard answer", Ask::wildcard, "a.z.w.example.", { "x.y.w.example." }, "proven", a,
                    2 },
                { "B.6 with another NSEC", Ask::wildcard, "a.z.w.example.", { "*.w.example." }, "unproven", a,
                    2 },
                { "from *.example.: w.example. exists", Ask::wildcard, "a.z.w.example.", {}, "unproven", a,
                    1 },
                { "labels field not below the name", Ask::wildcard, "x.w.example.", {}, "unproven", a, 3 },
                { "wildcard above the zone", Ask::wildcard, "a.z.w.example.", {}, "unproven", a, 0 },
                // B.7: a.z.w.example. AAAA: the wildcard *.w.example. has no AAAA.
                { "B.7 wildcard NODATA", Ask::nodata, "a.z.w.example.", { "x.y.w.example.", "*.w.example." },
                    "proven", aaaa },
                { "B.7 for the type the wildcard has", Ask::nodata, "a.z.w.example.", {}, "unproven", mx },
                { "B.7 without the wildcard's NSEC", Ask::nodata, "a.z.w.example.", { "x.y.w.example." },
                    "unproven", aaaa },
                { "B.7 without the covering NSEC", Ask::nodata, "a.z.w.example.", { "*.w.example." },
                    "unproven", aaaa },
            });
    }

    // No bitmap lists ANY or a meta-type (RFC 6895 §3.1). A NODATA for ANY at a name whose NSEC lacks
    // bit 255 used to be proven, so a forged or cached empty answer hid the name's A and MX with AD set.
    TEST(DenialNsec, AnyAndMetaTypesAreInNoBitmap)
    {
        Zone zone = rfc4035Zone();
        std::vector<Case> cases {
            { "ANY at ns1.example.", Ask::nodata, "ns1.example.", { "ns1.example." }, "unproven", any },
            { "ANY at the apex", Ask::nodata, "example.", { "example." }, "unproven", any },
            { "ANY where an ENT is: nothing there", Ask::nodata, "y.w.example.", { "x.w.example." }, "proven",
                any },
            { "AXFR at an ENT", Ask::nodata, "y.w.example.", { "x.w.example." }, "unproven", axfr },
            { "ANY at a wildcard", Ask::nodata, "a.z.w.example.", { "x.y.w.example.", "*.w.example." },
                "unproven", any },
            { "NXDOMAIN speaks of every type", Ask::nxdomain, "ml.example.", {}, "proven" },
        };
        for (const QType meta : { axfr, ixfr, tsig, tkey, maila, mailb, opt, QType { 0 }, QType { 128 },
                 QType { 200 }, QType { 248 } })
            cases.push_back({ "a meta-type at ns1.example.", Ask::nodata, "ns1.example.", { "ns1.example." },
                "unproven", meta });
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " type " + std::to_string(toU16(c.qtype)));
            EXPECT_EQ(run(zone, c, zone.apex()), c.expected);
        }
        // The types beside the range still follow their bits.
        runCases(zone,
            { { "type 127", Ask::nodata, "ns1.example.", {}, "proven", QType { 127 } },
                { "type 256", Ask::nodata, "ns1.example.", {}, "proven", uri } });
    }

    TEST(DenialNsec, NothingBelowADelegationOrDname)
    {
        Zone zone = rfc4035Zone();
        runCases(zone,
            {
                // b.example. NSEC ns1.example. NS RRSIG NSEC spans a.b.example. but speaks for the parent
                // only.
                { "NXDOMAIN below a cut", Ask::nxdomain, "a.b.example.", {}, "unproven" },
                { "NXDOMAIN for glue", Ask::nxdomain, "ns1.a.example.", {}, "unproven" },
                { "NODATA below a cut", Ask::nodata, "a.b.example.", {}, "unproven", a },
                { "no DS below a cut", Ask::no_ds, "a.b.example.", {}, "unproven" },
                { "no wildcard answer below a cut", Ask::wildcard, "x.a.b.example.", {}, "unproven", a, 2 },
            });
        Zone dname("dn.test.");
        dname.nsec("dn.test.", "c.dn.test.", { ns, soa, rrsig, nsec, dnskey })
            .nsec("c.dn.test.", "d.dn.test.", { cname, rrsig, nsec })
            .nsec("d.dn.test.", "e.dn.test.", { QType::dname, rrsig, nsec })
            .nsec("e.dn.test.", "dn.test.", { a, rrsig, nsec });
        runCases(dname,
            {
                { "NXDOMAIN below a DNAME", Ask::nxdomain, "x.d.dn.test.", {}, "unproven" },
                { "NODATA below a DNAME", Ask::nodata, "x.d.dn.test.", {}, "unproven", a },
                { "NODATA at the DNAME", Ask::nodata, "d.dn.test.", { "d.dn.test." }, "proven", a },
                { "NXDOMAIN beside it", Ask::nxdomain, "b.dn.test.", { "dn.test." }, "proven" },
                { "NODATA at a CNAME", Ask::nodata, "c.dn.test.", { "c.dn.test." }, "unproven", a },
                { "NODATA for the CNAME", Ask::nodata, "c.dn.test.", { "c.dn.test." }, "unproven", cname },
            });
    }

    TEST(DenialNsec, WrapAroundOnlyToTheApex)
    {
        // *.wild.sec. NSEC b.wild.sec. replayed under wwv.wild.sec. (as a wildcard expansion would name it)
        // looks like a last NSEC, but its next name is not the apex: it covers nothing.
        Zone zone("wild.sec.");
        zone.nsec("wild.sec.", "*.wild.sec.", { ns, soa, rrsig, nsec, dnskey })
            .nsec("*.wild.sec.", "b.wild.sec.", { a, rrsig, nsec })
            .nsec("b.wild.sec.", "z.wild.sec.", { a, rrsig, nsec })
            .nsec("z.wild.sec.", "wild.sec.", { a, rrsig, nsec })
            .nsec("wwv.wild.sec.", "b.wild.sec.", { a, rrsig, nsec });
        runCases(zone,
            {
                { "the moved NSEC does not hide z.wild.sec.", Ask::wildcard, "z.wild.sec.",
                    { "wwv.wild.sec." }, "unproven", a, 2 },
                { "nor a name after it", Ask::wildcard, "zz.wild.sec.", { "wwv.wild.sec." }, "unproven", a,
                    2 },
                { "nor in a wildcard NODATA", Ask::nodata, "zz.wild.sec.", { "wwv.wild.sec.", "*.wild.sec." },
                    "unproven", mx },
                { "the real last NSEC wraps", Ask::wildcard, "zz.wild.sec.", { "z.wild.sec." }, "proven", a,
                    2 },
                { "real wildcard NODATA", Ask::nodata, "zz.wild.sec.", { "z.wild.sec.", "*.wild.sec." },
                    "proven", mx },
                { "a real span", Ask::wildcard, "c.wild.sec.", { "b.wild.sec." }, "proven", a, 2 },
            });
        Zone bad("example.");
        bad.nsec("example.", "a.example.", { ns, soa, rrsig, nsec, dnskey })
            .nsec("xx.example.", "ai.example.", { a, rrsig, nsec });
        runCases(bad, { { "wrap not to the apex", Ask::nxdomain, "zz.example.", {}, "unproven" } });
    }

    TEST(DenialNsec, OnlyRecordsOfTheZone)
    {
        Zone zone = rfc4035Zone();
        const auto all = zone.pick({});
        EXPECT_EQ(text(proveNxdomain(dn("ml.example."), dn("example."), all)), std::string("proven"));
        // The same records handed over as another zone's, or a qname in another zone.
        EXPECT_EQ(
            text(proveNxdomain(dn("a.sub.example."), dn("sub.example."), all)), std::string("unproven"));
        EXPECT_EQ(text(proveNxdomain(dn("ml.example."), dn("com."), all)), std::string("unproven"));
        EXPECT_EQ(text(proveNoDs(dn("ml.example."), dn("w.example."), all)), std::string("unproven"));
        // DS at the root: the root's own NSEC has SOA, and the root has no parent to ask.
        Zone root(".");
        root.nsec(".", "aaa.", { ns, soa, rrsig, nsec, dnskey });
        runCases(root, { { "no DS at the root", Ask::nodata, ".", {}, "proven", ds } });
    }

    // ---- NSEC3: the RFC 5155 Appendix A zone (SHA-1, salt aabbccdd, 12 iterations) ----

    Zone rfc5155Zone(std::uint8_t flags)
    {
        const Nsec3Params p { .flags = flags };
        Zone z("example.");
        z.nsec3("0p9mhaveqvm6t7vbl5lop2u3t2rp3tom", "2t7b4g4vsa5smi47k61mv5bv1a22bojr",
             { mx, dnskey, ns, soa, nsec3param, rrsig }, p) // example.
            .nsec3("2t7b4g4vsa5smi47k61mv5bv1a22bojr", "2vptu5timamqttgl4luu9kg21e0aor3s", { a, rrsig },
                p) // ns1.example.
            .nsec3("2vptu5timamqttgl4luu9kg21e0aor3s", "35mthgpgcu1qg68fab165klnsnk3dpvl", { mx, rrsig },
                p) // x.y.w.example.
            .nsec3("35mthgpgcu1qg68fab165klnsnk3dpvl", "b4um86eghhds6nea196smvmlo4ors995", { ns, ds, rrsig },
                p) // a.example.
            .nsec3("b4um86eghhds6nea196smvmlo4ors995", "gjeqe526plbf1g8mklp59enfd789njgi", { mx, rrsig },
                p) // x.w.example.
            .nsec3("gjeqe526plbf1g8mklp59enfd789njgi", "ji6neoaepv8b5o6k4ev33abha8ht9fgc",
                { a, hinfo, aaaa, rrsig }, p) // ai.example.
            .nsec3("ji6neoaepv8b5o6k4ev33abha8ht9fgc", "k8udemvp1j2f7eg6jebps17vp3n8i58h", {},
                p) // y.w.example.
            .nsec3("k8udemvp1j2f7eg6jebps17vp3n8i58h", "kohar7mbb8dc2ce8a9qvl8hon4k53uhi", {},
                p) // w.example.
            .nsec3("kohar7mbb8dc2ce8a9qvl8hon4k53uhi", "q04jkcevqvmu85r014c7dkba38o0ji5r", { a, rrsig },
                p) // 2t7b4g4vsa5smi47k61mv5bv1a22bojr.example.
            .nsec3("q04jkcevqvmu85r014c7dkba38o0ji5r", "r53bq7cc2uvmubfu5ocmm6pers9tk9en", { a, rrsig },
                p) // ns2.example.
            .nsec3("r53bq7cc2uvmubfu5ocmm6pers9tk9en", "t644ebqk9bibcna874givr6joj62mlhv", { mx, rrsig },
                p) // *.w.example.
            .nsec3("t644ebqk9bibcna874givr6joj62mlhv", "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom",
                { a, hinfo, aaaa, rrsig }, p); // xx.example.
        return z;
    }

    TEST(DenialNsec3, HashesAreTheRfc5155Ones)
    {
        const Nsec3Params p;
        EXPECT_EQ(hashedLabel("example.", p), "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom");
        // The hashes Appendix B names in its comments.
        EXPECT_EQ(hashedLabel("c.x.w.example.", p), "0va5bpr2ou0vk0lbqeeljri88laipsfh");
        EXPECT_EQ(hashedLabel("*.x.w.example.", p), "92pqneegtaue7pjatc3l3qnk738c6v5m");
        EXPECT_EQ(hashedLabel("c.example.", p), "4g6p9u5gvfshp30pqecj98b3maqbn1ck");
        // The owners of the zone above.
        const struct {
            const char *name, *label;
        } owners[] = {
            { "ns1.example.", "2t7b4g4vsa5smi47k61mv5bv1a22bojr" },
            { "x.y.w.example.", "2vptu5timamqttgl4luu9kg21e0aor3s" },
            { "a.example.", "35mthgpgcu1qg68fab165klnsnk3dpvl" },
            { "x.w.example.", "b4um86eghhds6nea196smvmlo4ors995" },
            { "ai.example.", "gjeqe526plbf1g8mklp59enfd789njgi" },
            { "y.w.example.", "ji6neoaepv8b5o6k4ev33abha8ht9fgc" },
            { "w.example.", "k8udemvp1j2f7eg6jebps17vp3n8i58h" },
            { "2t7b4g4vsa5smi47k61mv5bv1a22bojr.example.", "kohar7mbb8dc2ce8a9qvl8hon4k53uhi" },
            { "ns2.example.", "q04jkcevqvmu85r014c7dkba38o0ji5r" },
            { "*.w.example.", "r53bq7cc2uvmubfu5ocmm6pers9tk9en" },
            { "xx.example.", "t644ebqk9bibcna874givr6joj62mlhv" },
        };
        for (const auto& o : owners)
            EXPECT_EQ(hashedLabel(o.name, p), o.label) << o.name;
    }

    const std::vector<Case>& rfc5155Cases()
    {
        static const std::vector<Case> cases = {
            // B.1: a.c.x.w.example.: x.w.example. matched, c.x.w.example. and *.x.w.example. covered.
            { "B.1 NXDOMAIN", Ask::nxdomain, "a.c.x.w.example.",
                { "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom", "b4um86eghhds6nea196smvmlo4ors995",
                    "35mthgpgcu1qg68fab165klnsnk3dpvl" },
                "opt_out", a, 0, "proven" },
            { "B.1, all records", Ask::nxdomain, "a.c.x.w.example.", {}, "opt_out", a, 0, "proven" },
            { "B.1 without the wildcard's cover", Ask::nxdomain, "a.c.x.w.example.",
                { "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom", "b4um86eghhds6nea196smvmlo4ors995" }, "unproven" },
            { "B.1 without the closest encloser", Ask::nxdomain, "a.c.x.w.example.",
                { "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom", "35mthgpgcu1qg68fab165klnsnk3dpvl" }, "unproven" },
            { "B.1 without the next closer's cover", Ask::nxdomain, "a.c.x.w.example.",
                { "b4um86eghhds6nea196smvmlo4ors995", "35mthgpgcu1qg68fab165klnsnk3dpvl" }, "unproven" },
            { "NXDOMAIN for a name that exists", Ask::nxdomain, "ai.example.", {}, "unproven" },
            { "NXDOMAIN for a name that looks like a hash", Ask::nxdomain,
                "2t7b4g4vsa5smi47k61mv5bv1a22bojr.example.", {}, "unproven" },
            { "NXDOMAIN for an empty non-terminal", Ask::nxdomain, "y.w.example.", {}, "unproven" },
            { "NXDOMAIN where a wildcard would answer", Ask::nxdomain, "a.z.w.example.", {}, "unproven" },
            { "NXDOMAIN below a cut", Ask::nxdomain, "x.a.example.", {}, "unproven" },
            // B.2 and B.2.1
            { "B.2 NODATA", Ask::nodata, "ns1.example.", { "2t7b4g4vsa5smi47k61mv5bv1a22bojr" }, "proven",
                mx },
            { "B.2 for a type it has", Ask::nodata, "ns1.example.", {}, "unproven", a },
            { "B.2.1 NODATA at an empty non-terminal", Ask::nodata, "y.w.example.",
                { "ji6neoaepv8b5o6k4ev33abha8ht9fgc" }, "proven", a },
            { "NODATA for an absent name", Ask::nodata, "a.c.x.w.example.", {}, "unproven", a },
            { "the parent side of a cut holds no A", Ask::nodata, "a.example.", {}, "unproven", a },
            { "a.example. has a DS", Ask::nodata, "a.example.", {}, "unproven", ds },
            { "the apex denies no DS", Ask::nodata, "example.", {}, "unproven", ds },
            // B.3: the referral to c.example., inside an opt-out span.
            { "B.3 no DS", Ask::no_ds, "c.example.",
                { "35mthgpgcu1qg68fab165klnsnk3dpvl", "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom" },
                "insecure_delegation", a, 0, "not_a_cut" },
            { "B.3 DS NODATA", Ask::nodata, "c.example.",
                { "35mthgpgcu1qg68fab165klnsnk3dpvl", "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom" }, "opt_out", ds, 0,
                "unproven" },
            { "B.3 without the closest encloser", Ask::no_ds, "c.example.",
                { "35mthgpgcu1qg68fab165klnsnk3dpvl" }, "unproven" },
            { "a.example. has a DS", Ask::no_ds, "a.example.", {}, "unproven" },
            { "ns1.example. is no cut", Ask::no_ds, "ns1.example.", {}, "not_a_cut" },
            { "an ENT is no cut", Ask::no_ds, "y.w.example.", {}, "not_a_cut" },
            { "the apex", Ask::no_ds, "example.", {}, "unproven" },
            { "below a cut", Ask::no_ds, "x.a.example.", {}, "unproven" },
            // B.4: a.z.w.example. from *.w.example.: z.w.example. covered.
            { "B.4 wildcard answer", Ask::wildcard, "a.z.w.example.", { "q04jkcevqvmu85r014c7dkba38o0ji5r" },
                "opt_out", a, 2, "proven" },
            { "B.4 without the cover", Ask::wildcard, "a.z.w.example.",
                { "k8udemvp1j2f7eg6jebps17vp3n8i58h", "r53bq7cc2uvmubfu5ocmm6pers9tk9en" }, "unproven", a,
                2 },
            { "from *.example.: w.example. exists", Ask::wildcard, "a.z.w.example.", {}, "unproven", a, 1 },
            // B.5: a.z.w.example. AAAA: w.example. matched, z.w.example. covered, *.w.example. without AAAA.
            { "B.5 wildcard NODATA", Ask::nodata, "a.z.w.example.",
                { "k8udemvp1j2f7eg6jebps17vp3n8i58h", "q04jkcevqvmu85r014c7dkba38o0ji5r",
                    "r53bq7cc2uvmubfu5ocmm6pers9tk9en" },
                "opt_out", aaaa, 0, "proven" },
            { "B.5 for the type the wildcard has", Ask::nodata, "a.z.w.example.", {}, "unproven", mx },
            { "B.5 without the wildcard", Ask::nodata, "a.z.w.example.",
                { "k8udemvp1j2f7eg6jebps17vp3n8i58h", "q04jkcevqvmu85r014c7dkba38o0ji5r" }, "unproven",
                aaaa },
        };
        return cases;
    }

    TEST(DenialNsec3, Rfc5155AppendixB)
    {
        Zone zone = rfc5155Zone(1);
        runCases(zone, rfc5155Cases());
    }

    TEST(DenialNsec3, Rfc5155AppendixBWithoutOptOut)
    {
        Zone zone = rfc5155Zone(0);
        runCases(zone, rfc5155Cases(), false);
    }

    // The same with NSEC3: only an empty non-terminal, whose NSEC3 lists no type, holds no RRset for ANY.
    TEST(DenialNsec3, AnyAndMetaTypesAreInNoBitmap)
    {
        Zone zone = rfc5155Zone(0);
        runCases(zone,
            {
                { "ANY at ns1.example.", Ask::nodata, "ns1.example.", { "2t7b4g4vsa5smi47k61mv5bv1a22bojr" },
                    "unproven", any },
                { "ANY at the apex", Ask::nodata, "example.", {}, "unproven", any },
                { "ANY at the ENT y.w.example.", Ask::nodata, "y.w.example.",
                    { "ji6neoaepv8b5o6k4ev33abha8ht9fgc" }, "proven", any },
                { "AXFR at the ENT", Ask::nodata, "y.w.example.", {}, "unproven", axfr },
                { "TSIG at ns1.example.", Ask::nodata, "ns1.example.", {}, "unproven", tsig },
                { "TYPE0 at ns1.example.", Ask::nodata, "ns1.example.", {}, "unproven", QType { 0 } },
                { "ANY at a wildcard", Ask::nodata, "a.z.w.example.", {}, "unproven", any },
                { "ANY under an opt-out span", Ask::nodata, "c.example.", {}, "unproven", any },
            });
    }

    TEST(DenialNsec3, IgnoresRecordsUnfitForProofs)
    {
        const char* ns1 = "2t7b4g4vsa5smi47k61mv5bv1a22bojr";
        const char* next = "2vptu5timamqttgl4luu9kg21e0aor3s";
        const struct {
            const char* what;
            std::string owner_label;
            Nsec3Params params;
            const char* expected;
        } cases[] = {
            { "fit", ns1, {}, "proven" },
            { "owner two labels below the apex", std::string(ns1) + ".w", {}, "unproven" },
            { "hash algorithm 2", ns1, { .algorithm = 2 }, "unproven" },
            { "unknown flag", ns1, { .flags = 0x03 }, "unproven" },
            { "iterations above the cap", ns1, { .iterations = 151 }, "too_costly" },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.what);
            Zone zone("example.");
            zone.nsec3(c.owner_label, next, { a, rrsig }, c.params);
            EXPECT_EQ(text(proveNodata(dn("ns1.example."), mx, zone.apex(), zone.pick({}))),
                std::string(c.expected));
        }
        // Short hashes that would cover every longer one, and a label outside base32hex.
        Zone zone = rfc5155Zone(0);
        zone.nsec3("00000000", "vvvvvvvv", {}, { .flags = 0 })
            .nsec3("00000000000000000000000000000000", "vvvvvvvv", {}, { .flags = 0 })
            .nsec3(
                "0p9mhaveqvm6t7vbl5lop2u3t2rp3tow", "vvvvvvvvvvvvvvvvvvvvvvvvvvvvvvvv", {}, { .flags = 0 });
        runCases(zone,
            {
                { "short hashes", Ask::nxdomain, "a.c.x.w.example.",
                    { "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom", "b4um86eghhds6nea196smvmlo4ors995", "00000000" },
                    "unproven" },
                { "short next hash", Ask::nxdomain, "a.c.x.w.example.",
                    { "0p9mhaveqvm6t7vbl5lop2u3t2rp3tom", "b4um86eghhds6nea196smvmlo4ors995",
                        "00000000000000000000000000000000" },
                    "unproven" },
                { "not base32hex", Ask::nxdomain, "a.c.x.w.example.",
                    { "b4um86eghhds6nea196smvmlo4ors995", "35mthgpgcu1qg68fab165klnsnk3dpvl",
                        "0p9mhaveqvm6t7vbl5lop2u3t2rp3tow" },
                    "unproven" },
            });
    }

    TEST(DenialNsec3, PrefersACoverWithoutOptOut)
    {
        // The same span twice, as a zone that dropped opt-out signed it before and after: the record
        // without opt-out proves the name absent, whichever comes first.
        for (const std::uint8_t first : { 0, 1 }) {
            SCOPED_TRACE(first);
            Zone zone("example.");
            for (const std::uint8_t flags : { first, static_cast<std::uint8_t>(1 - first) })
                zone.nsec3("q04jkcevqvmu85r014c7dkba38o0ji5r", "r53bq7cc2uvmubfu5ocmm6pers9tk9en",
                    { a, rrsig }, { .flags = flags });
            runCases(zone, { { "B.4", Ask::wildcard, "a.z.w.example.", {}, "proven", a, 2 } });
        }
    }

    TEST(DenialNsec3, IterationCap)
    {
        for (const std::uint16_t iterations : { 0, 150, 151, 2500 }) {
            SCOPED_TRACE(iterations);
            const bool costly = iterations > max_nsec3_iterations;
            Zone zone("cap.test.");
            zone.nsec3Chain({ { "cap.test.", { ns, soa, rrsig, dnskey, nsec3param } },
                                { "b.cap.test.", { a } }, { "d.cap.test.", { ns } } },
                { .flags = 0, .iterations = iterations, .salt = { 0xAB } });
            const char* cost = costly ? "too_costly" : nullptr;
            const std::vector<Case> cases = {
                { "NXDOMAIN", Ask::nxdomain, "c.cap.test.", {}, cost ? cost : "proven" },
                { "NODATA", Ask::nodata, "b.cap.test.", {}, cost ? cost : "proven", mx },
                { "a false NXDOMAIN", Ask::nxdomain, "b.cap.test.", {}, cost ? cost : "unproven" },
                { "wildcard answer", Ask::wildcard, "x.c.cap.test.", {}, cost ? cost : "proven", a, 2 },
                { "wildcard above the apex", Ask::wildcard, "x.c.cap.test.", {}, "unproven", a, 0 },
                { "insecure delegation", Ask::no_ds, "d.cap.test.", {}, "insecure_delegation" },
                { "no cut", Ask::no_ds, "b.cap.test.", {}, costly ? "insecure_delegation" : "not_a_cut" },
            };
            runCases(zone, cases);
        }
        // An NSEC proof stands beside costly NSEC3 records, and records of a cheap parameter set are used
        // beside those of a costly one.
        Zone mixed("cap.test.");
        mixed.nsec3Chain({ { "cap.test.", { ns, soa } }, { "b.cap.test.", { a } } }, { .iterations = 151 })
            .nsec("cap.test.", "b.cap.test.", { ns, soa, rrsig, nsec, dnskey });
        runCases(mixed, { { "NSEC beside costly NSEC3", Ask::nxdomain, "a.cap.test.", {}, "proven" } });
        Zone two_sets("cap.test.");
        two_sets.nsec3Chain({ { "cap.test.", { ns, soa } }, { "b.cap.test.", { a } } }, { .iterations = 151 })
            .nsec3Chain(
                { { "cap.test.", { ns, soa } }, { "b.cap.test.", { a } } }, { .flags = 0, .iterations = 1 });
        runCases(
            two_sets, { { "cheap set beside a costly one", Ask::nodata, "b.cap.test.", {}, "proven", mx } });
    }

    TEST(DenialNsec3, LongNamesStayCheap)
    {
        // A 120-label qname below the apex: every ancestor hashed once, at 150 iterations.
        std::string qname;
        for (int i = 0; i < 120; ++i)
            qname += "a.";
        qname += "cap.test.";
        Zone zone("cap.test.");
        zone.nsec3Chain(
            { { "cap.test.", { ns, soa } }, { "b.cap.test.", { a } } }, { .flags = 0, .iterations = 150 });
        EXPECT_EQ(text(proveNxdomain(dn(qname), zone.apex(), zone.pick({}))), std::string("proven"));
    }

} // namespace
} // namespace recursor::dnssec
