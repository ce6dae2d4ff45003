// Local zones: master files read with libzscanner and answered as their authority would
// (RFC 1034 §4.3.2, RFC 4592 wildcards, RFC 2308 negative answers), and the files refused at load.
#include "resolver/delegation.h"
#include "resolver/local_zone.h"
#include "resolver/recursor.h"
#include "wire/record.h"
#include "wire/type_names.h"

#include "support/canned_transport.h"
#include "support/packet_builder.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace recursor {
namespace {

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    // The SOA's TTL is 3600 and its MINIMUM 300: a negative answer carries it with TTL 300.
    constexpr std::string_view zone_text = R"($TTL 600
@            3600 IN SOA ns.example. host.example. 2026120801 7200 900 1209600 300
@                NS  ns
ns               A   192.0.2.53
www              A   192.0.2.1
www              AAAA 2001:db8::1
www              TXT ( "split over"
                       "two lines" ) ; a comment
alias            CNAME www
second           CNAME alias
out              CNAME target.elsewhere.
tochild          CNAME alias2
alias2           CNAME host.child
loop1            CNAME loop2
loop2            CNAME loop1
*.wild           A   192.0.2.7
*.wild           TXT "wild"
exists.wild      TXT "here"
x.y.wild         TXT "deep"
*.cnamewild      CNAME www
child            NS  ns.child
ns.child         A   192.0.2.54
WwW.Mixed        A   192.0.2.9
opaque           TYPE65280 \# 3 010203
dangling         CNAME gone
)";

    LocalZone zone()
    {
        auto loaded = LocalZone::loadText(name("example."), zone_text, "example.zone");
        EXPECT_TRUE(loaded.has_value()) << (loaded ? "" : loaded.error().describe());
        return std::move(*loaded);
    }

    // "RCODE flags | answer records | authority records | additional records", each record
    // "owner TYPE TTL"; flags list aa and ad when set.
    std::string summary(const ResolveResult& result)
    {
        auto msg = DnsMessage::parse(result.packet);
        if (!msg)
            return "unparsable";
        std::string out = rcodeName(static_cast<std::uint16_t>(msg->header.rcode()));
        out += msg->header.aa() ? " aa" : "";
        out += msg->header.ad() ? " ad" : "";
        Section section = Section::answer;
        out += " |";
        for (const DnsRecord& record : msg->records) {
            for (; section != record.section; section = static_cast<Section>(static_cast<int>(section) + 1))
                out += " |";
            out += " " + record.name.toText() + " " + typeName(record.rtype) + " "
                + std::to_string(record.ttl);
        }
        return out;
    }

    TEST(LocalZone, AnswersEachCaseAsItsAuthorityWould)
    {
        const LocalZone local = zone();
        struct Case {
            std::string_view qname;
            QType qtype;
            std::string_view expected;
        };
        const Case cases[] = {
            // Several types at one name; names compared without case.
            { "www.example.", QType::a, "NOERROR aa | www.example. A 600" },
            { "WWW.EXAMPLE.", QType::aaaa, "NOERROR aa | WWW.EXAMPLE. AAAA 600" },
            { "www.example.", QType::any,
                "NOERROR aa | www.example. A 600 www.example. AAAA 600 www.example. TXT 600" },
            { "www.mixed.example.", QType::a, "NOERROR aa | www.mixed.example. A 600" },
            { "opaque.example.", static_cast<QType>(65280), "NOERROR aa | opaque.example. TYPE65280 600" },
            // NODATA and NXDOMAIN: the SOA with min(TTL, MINIMUM) in authority.
            { "www.example.", QType::mx, "NOERROR aa | | example. SOA 300" },
            { "nowhere.example.", QType::a, "NXDOMAIN aa | | example. SOA 300" },
            { "example.", QType::soa, "NOERROR aa | example. SOA 3600" },
            // CNAMEs followed inside the zone; a chain that leaves it is resolved (chainToResolve).
            { "second.example.", QType::a,
                "NOERROR aa | second.example. CNAME 600 alias.example. CNAME 600 www.example. A 600" },
            { "alias.example.", QType::cname, "NOERROR aa | alias.example. CNAME 600" },
            { "alias.example.", QType::mx, "NOERROR aa | alias.example. CNAME 600 | example. SOA 300" },
            { "out.example.", QType::a, "resolved elsewhere" },
            { "out.example.", QType::cname, "NOERROR aa | out.example. CNAME 600" },
            { "tochild.example.", QType::a, "resolved elsewhere" },
            // A CNAME loop ends after max_cname_steps + 1 records instead of spinning.
            { "loop1.example.", QType::a,
                "NOERROR aa | loop1.example. CNAME 600 loop2.example. CNAME 600 loop1.example. CNAME 600 "
                "loop2.example. CNAME 600 loop1.example. CNAME 600 loop2.example. CNAME 600 loop1.example. "
                "CNAME 600 loop2.example. CNAME 600 loop1.example. CNAME 600" },
            // Wildcards (RFC 4592): synthesised under the question's name, never under a name that
            // exists, whether it holds records or is an empty non-terminal (y.wild).
            { "a.wild.example.", QType::a, "NOERROR aa | a.wild.example. A 600" },
            { "a.b.wild.example.", QType::txt, "NOERROR aa | a.b.wild.example. TXT 600" },
            { "exists.wild.example.", QType::a, "NOERROR aa | | example. SOA 300" },
            { "y.wild.example.", QType::a, "NOERROR aa | | example. SOA 300" },
            { "z.y.wild.example.", QType::a, "NXDOMAIN aa | | example. SOA 300" },
            { "a.wild.example.", QType::mx, "NOERROR aa | | example. SOA 300" },
            { "q.cnamewild.example.", QType::a,
                "NOERROR aa | q.cnamewild.example. CNAME 600 www.example. A 600" },
            // Below a zone cut the child answers (delegationFor); only DS at the cut is the parent's.
            { "host.child.example.", QType::a, "resolved elsewhere" },
            { "child.example.", QType::ns, "resolved elsewhere" },
            { "child.example.", QType::ds, "NOERROR aa | | example. SOA 300" },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.qname) + " " + typeName(c.qtype));
            auto answered = local.answer(name(c.qname), c.qtype);
            ASSERT_TRUE(answered.has_value());
            EXPECT_EQ(*answered ? summary(**answered) : "resolved elsewhere", c.expected);
        }
    }

    TEST(LocalZone, DelegatesBelowACutToTheServersTheFileNames)
    {
        auto local = LocalZone::loadText(name("example."),
            "@ SOA ns host 1 1 1 1 1\n"
            "child NS ns.child\nchild NS ns.elsewhere.\nchild NS noaddress\n"
            "ns.child A 127.0.0.2\nns.child AAAA ::1\nns.child TXT \"not an address\"\n"
            "bare NS nowhere\n",
            "t.zone");
        ASSERT_TRUE(local.has_value()) << local.error().describe();
        for (std::string_view below : { "child.example.", "a.b.child.example." }) {
            SCOPED_TRACE(below);
            const auto delegation = local->delegationFor(name(below), 5300);
            ASSERT_TRUE(delegation.has_value());
            EXPECT_EQ(delegation->zone, name("child.example."));
            ASSERT_EQ(delegation->nameservers.count, 2u); // loopback too: the operator named it
            EXPECT_EQ(delegation->nameservers.addrs[0].toString(), "127.0.0.2:5300");
            EXPECT_EQ(delegation->nameservers.addrs[1].toString(), "[::1]:5300");
        }
        EXPECT_FALSE(local->delegationFor(name("example."), 53).has_value());
        EXPECT_FALSE(local->delegationFor(name("other.example."), 53).has_value());
        // A cut whose servers the file gives no address for has nowhere to send the question.
        EXPECT_FALSE(local->delegationFor(name("x.bare.example."), 53).has_value());
    }

    TEST(LocalZone, HandsAChainThatLeavesItToResolution)
    {
        const LocalZone local = zone();
        struct Case {
            std::string_view qname;
            QType qtype;
            std::string_view chain; // "owner>target" links
        };
        const Case cases[] = {
            { "out.example.", QType::a, "out.example.>target.elsewhere." },
            { "tochild.example.", QType::aaaa,
                "tochild.example.>alias2.example. alias2.example.>host.child.example." },
            // Answered, or not the zone's to answer: no chain.
            { "second.example.", QType::a, "" },
            { "out.example.", QType::cname, "" },
            { "nowhere.example.", QType::a, "" },
            { "x.child.example.", QType::a, "" },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.qname);
            auto chain = local.chainToResolve(name(c.qname), c.qtype);
            ASSERT_TRUE(chain.has_value());
            std::string links;
            for (const DnsRecord& link : *chain)
                links += (links.empty() ? "" : " ") + link.name.toText() + ">"
                    + link.rdata.get<RDataTag::cname>().target.toText();
            EXPECT_EQ(links, c.chain);
        }
    }

    TEST(LocalZone, RefusesFilesItCannotServeNamingFileAndLine)
    {
        struct Case {
            std::string_view label;
            std::string text;
            ZoneFileError kind;
            std::string_view problem_prefix;
        };
        const std::string soa = "@ IN SOA ns.example. host.example. 1 2 3 4 5\n";
        const Case cases[] = {
            { "syntax", soa + "www A 192.0.2.1\nbad A not-an-address\n", ZoneFileError::Syntax,
                "t.zone:3: " },
            { "no soa", "www A 192.0.2.1\n", ZoneFileError::NoApexSoa, "t.zone: no SOA record at example." },
            { "soa below the apex", "www IN SOA ns. host. 1 2 3 4 5\n", ZoneFileError::NoApexSoa,
                "t.zone: no SOA" },
            { "outside", soa + "\nwww.other. A 192.0.2.1\n", ZoneFileError::OutOfZone,
                "t.zone:3: www.other. is outside the zone example." },
            // The scanner knows class IN alone: a CH record is a syntax error, not data served as IN.
            { "class", soa + "www CH TXT \"x\"\n", ZoneFileError::Syntax, "t.zone:2: " },
            { "include missing", soa + "$INCLUDE /nonexistent/zone\n", ZoneFileError::FileUnreadable, "" },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto loaded = LocalZone::loadText(name("example."), c.text, "t.zone");
            ASSERT_FALSE(loaded.has_value());
            EXPECT_EQ(loaded.error().kind, c.kind) << loaded.error().describe();
            EXPECT_TRUE(loaded.error().describe().starts_with(c.problem_prefix)) << loaded.error().describe();
        }
        auto missing = LocalZone::loadFile(name("example."), "/nonexistent/example.zone");
        ASSERT_FALSE(missing.has_value());
        EXPECT_EQ(missing.error().kind, ZoneFileError::FileUnreadable);
        EXPECT_TRUE(missing.error().describe().starts_with("/nonexistent/example.zone: "))
            << missing.error().describe();
    }

    TEST(LocalZone, ReadsFilesWithIncludesRelativeToTheirOrigin)
    {
        test::ScratchDir dir;
        const std::string part = dir.write("part.zone", "host A 192.0.2.8\n");
        const std::string main = dir.write(
            "main.zone", "$TTL 60\n@ SOA ns host 7 1 1 1 1\n$INCLUDE " + part + " sub.example.\n");
        auto loaded = LocalZone::loadFile(name("example."), main);
        ASSERT_TRUE(loaded.has_value()) << loaded.error().describe();
        EXPECT_EQ(loaded->serial(), 7u);
        EXPECT_EQ(loaded->recordCount(), 2u);
        EXPECT_EQ(summary(**loaded->answer(name("host.sub.example."), QType::a)),
            "NOERROR aa | host.sub.example. A 60");
    }

    TEST(LocalZones, TheLongestApexHoldingTheNameAnswersAndDescribesItself)
    {
        LocalZones zones;
        zones.add(*LocalZone::loadText(name("example."), "@ SOA ns host 1 1 1 1 1\n", "outer"));
        zones.add(*LocalZone::loadText(name("in.example."), "@ SOA ns host 2 1 1 1 1\n", "inner \"q\""));
        EXPECT_EQ(zones.covering(name("a.in.example."))->file(), "inner \"q\"");
        EXPECT_EQ(zones.covering(name("other.example."))->file(), "outer");
        EXPECT_EQ(zones.covering(name("example.org.")), nullptr);
        // Looked up by suffix from the root down: names above an apex, case and a second zone of one apex.
        zones.add(*LocalZone::loadText(name("deep.a.b.c.example.org."), "@ SOA ns host 3 1 1 1 1\n", "deep"));
        zones.add(*LocalZone::loadText(name("EXAMPLE."), "@ SOA ns host 4 1 1 1 1\n", "again"));
        EXPECT_EQ(zones.covering(name("c.example.org.")), nullptr);
        EXPECT_EQ(zones.covering(name("x.Deep.A.B.C.Example.Org."))->file(), "deep");
        EXPECT_EQ(zones.covering(name("In.Example."))->file(), "inner \"q\"");
        EXPECT_EQ(zones.covering(name("example."))->file(), "outer");
        EXPECT_EQ(zones.covering(DnsName::root()), nullptr);
        LocalZones whole;
        whole.add(*LocalZone::loadText(DnsName::root(), "@ SOA ns host 5 1 1 1 1\n", "root"));
        EXPECT_EQ(whole.covering(name("any.name.")), &whole.zones()[0]);
        const std::string json = zones.describeJson();
        EXPECT_TRUE(
            json.starts_with(R"([{"name":"example.","serial":1,"records":1,"file":"outer","loaded_at":)"))
            << json;
        EXPECT_NE(
            json.find(R"({"name":"in.example.","serial":2,"records":1,"file":"inner \"q\"","loaded_at":)"),
            std::string::npos)
            << json;
    }

    TEST(LocalZones, ServesTheBuiltInZonesUnlessAConfiguredZoneCoversThem)
    {
        LocalZones zones;
        zones.add(*LocalZone::loadText(name("168.192.in-addr.arpa."), "@ SOA ns host 9 1 1 1 1\n", "mine"));
        zones.add(*LocalZone::loadText(name("ip6.arpa."), "@ SOA ns host 9 1 1 1 1\n", "above"));
        zones.addBuiltIns();
        // localhost., invalid., 127., 10., 16. to 31.172. and 254.169.in-addr.arpa.: the configured
        // zones cover 168.192.in-addr.arpa. and every built-in zone under ip6.arpa.
        EXPECT_EQ(zones.zones().size(), 2u + 3 + 1 + 16 + 1);
        struct Case {
            std::string_view qname;
            QType qtype;
            std::string_view expected;
        };
        const Case cases[] = {
            { "localhost.", QType::a, "NOERROR aa | localhost. A 10800" },
            { "LocalHost.", QType::aaaa, "NOERROR aa | LocalHost. AAAA 10800" },
            { "www.localhost.", QType::a, "NOERROR aa | www.localhost. A 10800" },
            { "localhost.", QType::mx, "NOERROR aa | | localhost. SOA 10800" },
            { "1.0.0.127.in-addr.arpa.", QType::ptr, "NOERROR aa | 1.0.0.127.in-addr.arpa. PTR 10800" },
            { "2.0.0.127.in-addr.arpa.", QType::ptr, "NXDOMAIN aa | | 127.in-addr.arpa. SOA 10800" },
            { "anything.invalid.", QType::a, "NXDOMAIN aa | | invalid. SOA 10800" },
            { "1.0.0.10.in-addr.arpa.", QType::ptr, "NXDOMAIN aa | | 10.in-addr.arpa. SOA 10800" },
            { "9.9.31.172.in-addr.arpa.", QType::ptr, "NXDOMAIN aa | | 31.172.in-addr.arpa. SOA 10800" },
            { "1.1.254.169.in-addr.arpa.", QType::ptr, "NXDOMAIN aa | | 254.169.in-addr.arpa. SOA 10800" },
            { "1.1.168.192.in-addr.arpa.", QType::ptr, "NXDOMAIN aa | | 168.192.in-addr.arpa. SOA 1" },
            { "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.e.f.ip6.arpa.", QType::ptr,
                "NXDOMAIN aa | | ip6.arpa. SOA 1" },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.qname);
            const LocalZone* zone = zones.covering(name(c.qname));
            ASSERT_NE(zone, nullptr);
            auto answered = zone->answer(name(c.qname), c.qtype);
            ASSERT_TRUE(answered.has_value() && answered->has_value());
            EXPECT_EQ(summary(**answered), c.expected);
        }
        // Outside the ranges: 172.32/16 and 192.169/16 are public.
        EXPECT_EQ(zones.covering(name("1.32.172.in-addr.arpa.")), nullptr);
        EXPECT_EQ(zones.covering(name("1.169.192.in-addr.arpa.")), nullptr);

        LocalZones alone;
        alone.addBuiltIns();
        EXPECT_EQ(alone.zones().size(), 3u + 1 + 16 + 1 + 1 + 4 + 1);
        const std::string loopback6
            = "1.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.ip6.arpa.";
        auto answered = alone.covering(name(loopback6))->answer(name(loopback6), QType::ptr);
        ASSERT_TRUE(answered.has_value() && answered->has_value());
        EXPECT_EQ(summary(**answered), "NOERROR aa | " + loopback6 + " PTR 10800");

        // A [forward:] or [stub:] section takes the built-in zones at and below it over.
        LocalZones forwarded;
        const DnsName sent_elsewhere[] = { name("10.in-addr.arpa."), name("ip6.arpa."), name("localhost.") };
        forwarded.addBuiltIns(sent_elsewhere);
        EXPECT_EQ(forwarded.zones().size(), alone.zones().size() - 1 - 1 - 1 - 4);
        EXPECT_EQ(forwarded.covering(name("1.0.0.10.in-addr.arpa.")), nullptr);
        EXPECT_EQ(forwarded.covering(name("localhost.")), nullptr);
        EXPECT_NE(forwarded.covering(name("1.0.0.127.in-addr.arpa.")), nullptr);

        // One below a zone's apex takes the names at and below it: the longest section wins.
        LocalZones carved;
        const DnsName below[] = { name("1.168.192.in-addr.arpa."), name("127.in-addr.arpa.") };
        carved.addBuiltIns(below);
        EXPECT_EQ(carved.covering(name("5.1.168.192.in-addr.arpa.")), nullptr);
        EXPECT_EQ(carved.covering(name("1.168.192.in-addr.arpa.")), nullptr);
        EXPECT_EQ(carved.covering(name("5.2.168.192.in-addr.arpa."))->apex(), name("168.192.in-addr.arpa."));
        EXPECT_EQ(carved.covering(name("1.0.0.127.in-addr.arpa.")), nullptr);
    }

    // Questions under a configured zone are answered locally and never reach the transport;
    // others are not touched.
    TEST(Recursor, AnswersLocalZonesAheadOfEverythingElse)
    {
        auto zones = std::make_shared<LocalZones>();
        zones->add(zone());
        auto recursor = Recursor::init(RecursorOptions { .local_zones = zones });
        ASSERT_TRUE(recursor.has_value());
        EXPECT_EQ((*recursor)->startResolution({}).localZones(), zones.get());
        auto local = (*recursor)->answerLocally(name("www.example."), QType::a);
        ASSERT_TRUE(local.has_value() && local->has_value());
        EXPECT_EQ(summary(**local), "NOERROR aa | www.example. A 600");
        auto elsewhere = (*recursor)->answerLocally(name("www.example.org."), QType::a);
        ASSERT_TRUE(elsewhere.has_value());
        EXPECT_FALSE(elsewhere->has_value());
    }

    // Local zones and insecure [forward:]/[stub:] sections are the negative trust anchors, answered by one
    // check: the machine used to ask two, one of them only for the child zones a local file delegates.
    TEST(LocalZones, NegativeTrustAnchorsAreLocalZonesAndInsecureSections)
    {
        LocalZones local;
        local.add(zone());
        const std::vector<ForwardZone> sections { { .name = name("insecure.test."), .insecure = true },
            { .name = name("secure.insecure.test.") }, { .name = name("checked.test.") } };
        const std::pair<std::string_view, bool> cases[] = {
            { "example.", true },
            { "host.child.example.", true },
            { "insecure.test.", true },
            { "www.insecure.test.", true },
            { "www.secure.insecure.test.", false }, // the longest section decides
            { "www.checked.test.", false },
            { "example.org.", false },
        };
        for (const auto& [qname, expected] : cases) {
            SCOPED_TRACE(qname);
            EXPECT_EQ(underNegativeTrustAnchor(sections, &local, name(qname)), expected);
        }
        EXPECT_FALSE(underNegativeTrustAnchor(sections, nullptr, name("example.")));
    }

    // A CNAME from the public side into a local zone used to send its target to the root servers (an
    // NXDOMAIN from the public root, here a question the transport has no entry for). The target is
    // answered from the zone, after the public link, without AA or AD; below a cut of the file, the
    // child's servers it names are asked.
    TEST(Recursor, FollowsAPublicCnameIntoALocalZone)
    {
        auto zones = std::make_shared<LocalZones>();
        zones->add(zone());
        NameserverSet roots;
        roots.append(*SocketAddress::fromIpLiteral("192.0.2.1", 53));
        struct Case {
            std::string_view target;
            std::string_view expected;
            std::size_t exchanges;
        };
        const Case cases[] = {
            { "www.example.", "NOERROR | in.public. CNAME 3600 www.example. A 600", 1 },
            { "second.example.",
                "NOERROR | in.public. CNAME 3600 second.example. CNAME 600 alias.example. CNAME 600 "
                "www.example. A "
                "600",
                1 },
            { "nowhere.example.", "NXDOMAIN | in.public. CNAME 3600 | example. SOA 300", 1 },
            { "exists.wild.example.", "NOERROR | in.public. CNAME 3600 | example. SOA 300", 1 }, // NODATA
            // The zone's links to a missing name are kept.
            { "dangling.example.",
                "NXDOMAIN | in.public. CNAME 3600 dangling.example. CNAME 600 | example. SOA 300", 1 },
            { "tochild.example.",
                "NOERROR | in.public. CNAME 3600 tochild.example. CNAME 600 alias2.example. CNAME 600 "
                "host.child.example. A 3600",
                2 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.target);
            auto net = std::make_shared<test::CannedTransport>();
            net->on("192.0.2.1", "in.public.", QType::a,
                test::Reply {
                    test::authoritative, { { "in.public.", QType::cname, test::wireName(c.target) } } });
            net->on("192.0.2.54", "host.child.example.", QType::a,
                test::Reply {
                    test::authoritative, { { "host.child.example.", QType::a, test::ipv4("192.0.2.99") } } });
            auto recursor = Recursor::init(RecursorOptions {
                .validation_enabled = false, .root_servers = roots, .transport = net, .local_zones = zones });
            ASSERT_TRUE(recursor.has_value());
            const auto result = (*recursor)->resolveFromNetwork({}, name("in.public."), QType::a);
            ASSERT_TRUE(result.has_value()) << describe(result.error());
            EXPECT_EQ(summary(*result), c.expected);
            EXPECT_FALSE(result->validated);
            EXPECT_EQ(net->exchanges.size(), c.exchanges);
        }
    }

    std::shared_ptr<const LocalZones> zonesOf(
        std::initializer_list<std::pair<const char*, std::string_view>> files)
    {
        auto zones = std::make_shared<LocalZones>();
        for (const auto& [apex, text] : files)
            zones->add(LocalZone::loadText(name(apex), text, "reload.zone").value());
        return zones;
    }

    constexpr std::string_view other_v1
        = "@ 600 IN SOA ns. host. 1 7200 900 1209600 300\nwww 600 IN A 192.0.2.1\n";

    // A reload that reads a zone's records again keeps what the cache learnt below it; a zone added,
    // removed, or whose records (the SOA serial among them) changed has its names flushed.
    TEST(Recursor, ReplacingLocalZonesFlushesTheChangedOnesOnly)
    {
        const auto initial = [] { return zonesOf({ { "example.", zone_text }, { "other.", other_v1 } }); };
        auto recursor = Recursor::init(RecursorOptions { .local_zones = initial() }).value();
        const struct {
            const char* label;
            std::shared_ptr<const LocalZones> zones;
            std::vector<std::string> flushed;
        } cases[] = {
            { "both read again", initial(), {} },
            { "a record changed",
                zonesOf({ { "example.", zone_text },
                    { "other.",
                        "@ 600 IN SOA ns. host. 1 7200 900 1209600 300\nwww 600 IN A 192.0.2.3\n" } }),
                { "other." } },
            { "only the serial changed",
                zonesOf({ { "example.", zone_text },
                    { "other.",
                        "@ 600 IN SOA ns. host. 2 7200 900 1209600 300\nwww 600 IN A 192.0.2.1\n" } }),
                { "other." } },
            { "other. removed", zonesOf({ { "example.", zone_text } }), { "other." } },
            { "third. added",
                zonesOf({ { "example.", zone_text }, { "other.", other_v1 }, { "third.", other_v1 } }),
                { "third." } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.label);
            recursor->replaceZones(initial(), {});
            const Resolution before = recursor->startResolution({});
            std::vector<std::string> flushed;
            for (const DnsName& zone : recursor->replaceZones(c.zones, {}))
                flushed.push_back(zone.toText());
            EXPECT_EQ(flushed, c.flushed);
            EXPECT_EQ(before.localZones()->zones().size(), 2u) << "in flight: the zones it started with";
            EXPECT_EQ(recursor->zones()->local, c.zones);
        }
    }

    // Loops answer while reloads swap the zones: every answer comes whole from one version or the other,
    // and the swap races with no reader (ThreadSanitizer runs this).
    TEST(Recursor, AnswersRacingWithReloadsComeFromOneWholeVersion)
    {
        const auto v1 = zonesOf({ { "other.", other_v1 } });
        const auto v2 = zonesOf(
            { { "other.", "@ 600 IN SOA ns. host. 2 7200 900 1209600 300\nwww 600 IN A 192.0.2.2\n" } });
        const DnsName www = name("www.other.");
        const auto packetOf
            = [&](const LocalZones& zones) { return (*zones.covering(www)->answer(www, QType::a))->packet; };
        const std::vector<std::uint8_t> answers[] = { packetOf(*v1), packetOf(*v2) };
        ASSERT_NE(answers[0], answers[1]);
        auto recursor = Recursor::init(RecursorOptions { .local_zones = v1 }).value();
        std::atomic<bool> done { false };
        std::atomic<int> wrong { 0 };
        std::atomic<int> answered { 0 };
        std::vector<std::thread> loops;
        for (int i = 0; i < 2; ++i)
            loops.emplace_back([&] {
                while (!done.load()) {
                    auto local = recursor->answerLocally(www, QType::a);
                    const bool whole = local && *local
                        && ((*local)->packet == answers[0] || (*local)->packet == answers[1]);
                    wrong += whole ? 0 : 1;
                    ++answered;
                }
            });
        for (int reload = 0; reload < 200; ++reload)
            recursor->replaceZones(reload % 2 == 0 ? v2 : v1, {});
        while (answered.load() < 100)
            std::this_thread::yield();
        done = true;
        for (std::thread& loop : loops)
            loop.join();
        EXPECT_EQ(wrong.load(), 0);
    }

} // namespace
} // namespace recursor
