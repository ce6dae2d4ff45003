// Response policy zones: each trigger and action, precedence within a zone and across zones, and
// malformed policy zones refused with the owner and the problem.
#include "resolver/rpz.h"

#include "wire/header.h"
#include "wire/writer.h"

#include <deque>
#include <gtest/gtest.h>
#include <memory>

namespace recursor {
namespace {

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    // Owns the owner and RDATA bytes the input records view; copies share them.
    struct Zone {
        std::shared_ptr<std::deque<std::vector<std::uint8_t>>> storage
            = std::make_shared<std::deque<std::vector<std::uint8_t>>>();
        std::vector<RpzInputRecord> records;

        Zone& add(std::string_view owner, QType type, std::vector<std::uint8_t> bytes)
        {
            DnsName owner_name = name(owner);
            auto owner_wire = owner_name.wireBytes();
            storage->emplace_back(owner_wire.begin(), owner_wire.end());
            std::span<const std::uint8_t> owner_view = storage->back();
            storage->push_back(std::move(bytes));
            records.push_back(RpzInputRecord { owner_view, type, 300, storage->back() });
            return *this;
        }
        Zone& cname(std::string_view owner, std::string_view target)
        {
            DnsName target_name = name(target);
            auto wire = target_name.wireBytes();
            return add(owner, QType::cname, { wire.begin(), wire.end() });
        }
        // The last record's owner loses its root byte.
        Zone& truncateOwner()
        {
            records.back().owner = records.back().owner.first(records.back().owner.size() - 1);
            return *this;
        }
        RpzPolicy build(std::string_view zone = "rpz.test.") const
        {
            auto policy = RpzPolicy::build(name(zone), records);
            EXPECT_TRUE(policy.has_value()) << policy.error().text();
            return std::move(*policy);
        }
    };

    std::optional<RpzAction> qnameAction(const RpzPolicy& policy, std::string_view qname)
    {
        auto match = policy.matchQname(name(qname));
        return match ? std::optional(match->action) : std::nullopt;
    }

    DnsRecord addressRecord(std::vector<std::uint8_t> addr, Section section = Section::answer)
    {
        DnsRecord record;
        record.section = section;
        if (addr.size() == 4) {
            rdata::common::A a;
            std::copy(addr.begin(), addr.end(), a.addr.begin());
            record.rtype = QType::a;
            record.rdata = RData::make<RDataTag::a>(a);
        } else {
            rdata::common::AAAA aaaa;
            std::copy(addr.begin(), addr.end(), aaaa.addr.begin());
            record.rtype = QType::aaaa;
            record.rdata = RData::make<RDataTag::aaaa>(aaaa);
        }
        return record;
    }

    std::vector<std::uint8_t> v6(std::initializer_list<std::uint16_t> groups)
    {
        std::vector<std::uint8_t> out;
        for (auto g : groups) {
            out.push_back(static_cast<std::uint8_t>(g >> 8));
            out.push_back(static_cast<std::uint8_t>(g));
        }
        return out;
    }

    TEST(RpzPolicy, EachCnameTargetNamesItsAction)
    {
        struct Case {
            std::string_view target;
            RpzAction action;
        };
        for (const Case& c : std::initializer_list<Case> { { ".", RpzAction::nxdomain },
                 { "*.", RpzAction::nodata }, { "rpz-passthru.", RpzAction::passthru },
                 { "RPZ-DROP.", RpzAction::drop }, { "rpz-tcp-only.", RpzAction::tcp_only },
                 { "walled.garden.test.", RpzAction::local_data } }) {
            SCOPED_TRACE(c.target);
            auto policy = Zone {}.cname("bad.example.rpz.test.", c.target).build();
            auto match = policy.matchQname(name("bad.example."));
            ASSERT_TRUE(match);
            EXPECT_EQ(match->action, c.action);
            EXPECT_EQ(match->trigger, RpzTrigger::qname);
            EXPECT_EQ(*match->zone, name("rpz.test."));
            // Only a CNAME to another name is data to answer with.
            EXPECT_EQ(match->local_data.size(), c.action == RpzAction::local_data ? 1u : 0u);
        }
    }

    TEST(RpzReply, EachActionGivesItsReplyAndExtendedError)
    {
        auto policy = Zone {}
                          .cname("nx.rpz.test.", ".")
                          .cname("nodata.rpz.test.", "*.")
                          .cname("pass.rpz.test.", "rpz-passthru.")
                          .cname("drop.rpz.test.", "rpz-drop.")
                          .cname("tcp.rpz.test.", "rpz-tcp-only.")
                          .add("local.rpz.test.", QType::a, { 192, 0, 2, 1 })
                          .build();
        using Kind = RpzReply::Kind;
        struct Case {
            std::string_view qname;
            QType qtype;
            bool over_udp;
            Kind kind;
            RCode rcode;
            std::optional<std::uint16_t> ede;
            std::size_t answer;
        };
        for (const Case& c :
            std::initializer_list<Case> { { "nx.", QType::a, true, Kind::rewrite, RCode::nx_domain, 15, 0 },
                { "nodata.", QType::a, true, Kind::rewrite, RCode::no_error, 15, 0 },
                { "pass.", QType::a, true, Kind::answer_normally, RCode::no_error, std::nullopt, 0 },
                { "drop.", QType::a, false, Kind::drop, RCode::no_error, std::nullopt, 0 },
                { "tcp.", QType::a, true, Kind::truncate, RCode::no_error, std::nullopt, 0 },
                { "tcp.", QType::a, false, Kind::answer_normally, RCode::no_error, std::nullopt, 0 },
                { "local.", QType::a, true, Kind::rewrite, RCode::no_error, 17, 1 },
                { "local.", QType::aaaa, true, Kind::rewrite, RCode::no_error, 17, 0 } }) {
            SCOPED_TRACE(
                std::string(c.qname) + (c.over_udp ? " udp " : " tcp ") + std::to_string(int(c.qtype)));
            auto match = policy.matchQname(name(c.qname));
            ASSERT_TRUE(match);
            RpzReply reply = rpzReply(*match, c.qtype, c.over_udp);
            EXPECT_EQ(reply.kind, c.kind);
            EXPECT_EQ(reply.rcode, c.rcode);
            EXPECT_EQ(reply.extended_error, c.ede);
            EXPECT_EQ(reply.answer.size(), c.answer);
        }
    }

    TEST(RpzReply, RewritePacketCarriesTheLocalRecordsUnderTheAskedName)
    {
        auto policy = Zone {}
                          .add("*.local.rpz.test.", QType::a, { 192, 0, 2, 1 })
                          .add("*.local.rpz.test.", QType::a, { 192, 0, 2, 2 })
                          .add("*.local.rpz.test.", QType::txt, { 2, 'n', 'o' })
                          .cname("nx.rpz.test.", ".")
                          .build();
        struct Case {
            std::string_view qname;
            QType qtype;
            RCode rcode;
            std::size_t answers;
        };
        for (const Case& c : std::initializer_list<Case> { { "Www.Local.", QType::a, RCode::no_error, 2 },
                 { "www.local.", QType::aaaa, RCode::no_error, 0 },
                 { "nx.", QType::a, RCode::nx_domain, 0 } }) {
            SCOPED_TRACE(c.qname);
            auto match = policy.matchQname(name(c.qname));
            ASSERT_TRUE(match);
            auto packet = rpzRewritePacket(name(c.qname), c.qtype, rpzReply(*match, c.qtype, true));
            ASSERT_TRUE(packet.has_value());
            auto message = DnsMessage::parse(*packet);
            ASSERT_TRUE(message.has_value());
            EXPECT_TRUE(message->header.qr());
            EXPECT_FALSE(message->header.aa());
            EXPECT_FALSE(message->header.ad());
            EXPECT_EQ(message->header.rcode(), c.rcode);
            EXPECT_EQ(message->question_name, name(c.qname));
            ASSERT_EQ(message->records.size(), c.answers);
            for (std::size_t i = 0; i < c.answers; ++i) {
                const DnsRecord& record = message->records[i];
                EXPECT_EQ(record.name.toText(), name(c.qname).toText()); // the asked spelling
                EXPECT_EQ(record.section, Section::answer);
                EXPECT_EQ(record.rdata.get<RDataTag::a>().addr[3], i + 1);
            }
        }
    }

    // A CNAME to another name is followed for the other types only; the target's answer comes after it with
    // the target's RCODE and authority, stripped of DNSSEC records (the policy answer is not validated).
    TEST(RpzReply, ACnameIsFollowedAndTheTargetsAnswerSplicedAfterIt)
    {
        auto policy = Zone {}.cname("moved.rpz.test.", "target.example.").cname("nx.rpz.test.", ".").build();
        auto moved = policy.matchQname(name("moved."));
        ASSERT_TRUE(moved);
        EXPECT_FALSE(rpzCnameStep(rpzReply(*moved, QType::cname, true), QType::cname));
        EXPECT_FALSE(rpzCnameStep(rpzReply(*moved, QType::any, true), QType::any));
        EXPECT_FALSE(rpzCnameStep(rpzReply(*policy.matchQname(name("nx.")), QType::a, true), QType::a));
        auto step = rpzCnameStep(rpzReply(*moved, QType::a, true), QType::a);
        ASSERT_TRUE(step);
        EXPECT_EQ(step->target, name("target.example."));

        // The target's NXDOMAIN as the resolver holds it: the SOA and its RRSIG in the authority section.
        auto target = PacketWriter::init(name("target.example."), QType::a, QClass::in).value();
        setHeaderRcode(target.getHeader(), RCode::nx_domain);
        for (QType type : { QType::soa, QType::rrsig }) {
            ASSERT_TRUE(target.startRecord(name("example."), type, QClass::in, 60, Section::authority));
            ASSERT_TRUE(target.writeBlob(std::vector<std::uint8_t>(type == QType::soa ? 22 : 19, 0)));
            ASSERT_TRUE(target.commit());
        }
        auto packet = rpzFollowedPacket(name("Moved."), QType::a, *step, target.finish().value());
        ASSERT_TRUE(packet.has_value());
        auto message = DnsMessage::parse(*packet);
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(message->header.rcode(), RCode::nx_domain);
        EXPECT_FALSE(message->header.aa() || message->header.ad());
        ASSERT_EQ(message->records.size(), 2u);
        EXPECT_EQ(message->records[0].name.toText(), "Moved.");
        EXPECT_EQ(message->records[0].rdata.get<RDataTag::cname>().target, name("target.example."));
        EXPECT_EQ(std::tie(message->records[1].rtype, message->records[1].section),
            std::make_tuple(QType::soa, Section::authority));
    }

    TEST(RpzPolicy, ExactBeatsWildcardAndTheClosestWildcardWins)
    {
        auto policy = Zone {}
                          .cname("bad.example.rpz.test.", ".")
                          .cname("*.bad.example.rpz.test.", "*.")
                          .cname("good.bad.example.rpz.test.", "rpz-drop.")
                          .cname("*.example.rpz.test.", "rpz-passthru.")
                          .build();
        struct Case {
            std::string_view qname;
            std::optional<RpzAction> action;
        };
        for (const Case& c : std::initializer_list<Case> { { "bad.example.", RpzAction::nxdomain },
                 { "BAD.Example.", RpzAction::nxdomain }, { "x.bad.example.", RpzAction::nodata },
                 { "a.b.bad.example.", RpzAction::nodata }, { "good.bad.example.", RpzAction::drop },
                 { "x.good.bad.example.", RpzAction::nodata }, { "other.example.", RpzAction::passthru },
                 // A wildcard covers only names strictly below its parent.
                 { "example.", std::nullopt }, { "notbad.example.", RpzAction::passthru },
                 { "bad.example.org.", std::nullopt }, { ".", std::nullopt } }) {
            SCOPED_TRACE(c.qname);
            EXPECT_EQ(qnameAction(policy, c.qname), c.action);
        }
    }

    TEST(RpzPolicy, LocalDataAnswersByTypeAndGathersScatteredRecords)
    {
        auto policy = Zone {}
                          .add("host.example.rpz.test.", QType::a, { 192, 0, 2, 1 })
                          .add("other.example.rpz.test.", QType::a, { 192, 0, 2, 9 })
                          .add("host.example.rpz.test.", QType::txt, { 3, 'y', 'e', 's' })
                          .add("host.example.rpz.test.", QType::a, { 192, 0, 2, 2 })
                          .cname("*.alias.rpz.test.", "walled.garden.test.")
                          .build();
        auto host = policy.matchQname(name("host.example."));
        ASSERT_TRUE(host);
        EXPECT_EQ(host->action, RpzAction::local_data);
        auto a = host->recordsFor(QType::a);
        ASSERT_EQ(a.size(), 2u);
        EXPECT_EQ(a[0]->rdata, (std::vector<std::uint8_t> { 192, 0, 2, 1 }));
        EXPECT_EQ(a[1]->rdata, (std::vector<std::uint8_t> { 192, 0, 2, 2 }));
        EXPECT_EQ(host->recordsFor(QType::txt).size(), 1u);
        EXPECT_TRUE(host->recordsFor(QType::aaaa).empty()); // NODATA for a type the rule lacks
        // A CNAME answers every type.
        auto alias = policy.matchQname(name("www.alias."));
        ASSERT_TRUE(alias);
        auto for_mx = alias->recordsFor(QType::mx);
        ASSERT_EQ(for_mx.size(), 1u);
        EXPECT_EQ(for_mx[0]->rtype, QType::cname);
    }

    TEST(RpzPolicy, ResponseIpLongestPrefixWinsOverEveryAddressOfTheAnswer)
    {
        auto policy = Zone {}
                          .cname("32.4.3.2.1.rpz-ip.rpz.test.", "rpz-drop.")
                          .cname("24.0.3.2.1.rpz-ip.rpz.test.", ".")
                          .cname("8.0.0.0.10.rpz-ip.rpz.test.", "*.")
                          .cname("128.1.zz.db8.2001.rpz-ip.rpz.test.", "rpz-tcp-only.")
                          .cname("48.zz.1.db8.2001.rpz-ip.rpz.test.", ".")
                          .cname("128.1.0.0.0.0.0.0.fe80.rpz-ip.rpz.test.", "rpz-drop.")
                          .build();
        EXPECT_EQ(policy.ipRuleCount(), 6u);
        struct Case {
            std::string_view label;
            std::vector<DnsRecord> answer;
            std::optional<RpzAction> action;
        };
        std::vector<Case> cases {
            { "host route", { addressRecord({ 1, 2, 3, 4 }) }, RpzAction::drop },
            { "within the /24", { addressRecord({ 1, 2, 3, 5 }) }, RpzAction::nxdomain },
            { "within the /8", { addressRecord({ 10, 200, 0, 1 }) }, RpzAction::nodata },
            { "outside", { addressRecord({ 11, 0, 0, 1 }) }, std::nullopt },
            { "longest over all records", { addressRecord({ 1, 2, 3, 5 }), addressRecord({ 1, 2, 3, 4 }) },
                RpzAction::drop },
            { "authority section ignored", { addressRecord({ 1, 2, 3, 4 }, Section::authority) },
                std::nullopt },
            { "v6 host", { addressRecord(v6({ 0x2001, 0xdb8, 0, 0, 0, 0, 0, 1 })) }, RpzAction::tcp_only },
            { "v6 /48", { addressRecord(v6({ 0x2001, 0xdb8, 1, 0, 0, 0, 0, 5 })) }, RpzAction::nxdomain },
            { "v6 outside", { addressRecord(v6({ 0x2001, 0xdb8, 2, 0, 0, 0, 0, 5 })) }, std::nullopt },
            { "v6 without zz", { addressRecord(v6({ 0xfe80, 0, 0, 0, 0, 0, 0, 1 })) }, RpzAction::drop },
            // An IPv4 rule does not match the IPv4-mapped IPv6 address, nor the reverse.
            { "mapped", { addressRecord(v6({ 0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304 })) }, std::nullopt },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto match = policy.matchResponse(c.answer);
            EXPECT_EQ(match ? std::optional(match->action) : std::nullopt, c.action);
            if (match) {
                EXPECT_EQ(match->trigger, RpzTrigger::response_ip);
            }
        }
    }

    TEST(RpzSet, TheFirstPolicyZoneThatMatchesWins)
    {
        RpzSet set;
        set.add(Zone {}.cname("bad.example.first.", "rpz-passthru.").build("first."));
        set.add(Zone {}
                    .cname("bad.example.second.", ".")
                    .cname("worse.example.second.", "rpz-drop.")
                    .cname("32.4.3.2.1.rpz-ip.second.", ".")
                    .build("second."));
        auto bad = set.matchQname(name("bad.example."));
        ASSERT_TRUE(bad);
        EXPECT_EQ(bad->action, RpzAction::passthru);
        EXPECT_EQ(*bad->zone, name("first."));
        auto worse = set.matchQname(name("worse.example."));
        ASSERT_TRUE(worse);
        EXPECT_EQ(worse->action, RpzAction::drop);
        EXPECT_EQ(*worse->zone, name("second."));
        EXPECT_EQ(worse->zone_index, 1u);
        std::vector<DnsRecord> answer { addressRecord({ 1, 2, 3, 4 }) };
        auto ip = set.matchResponse(answer);
        ASSERT_TRUE(ip);
        EXPECT_EQ(*ip->zone, name("second."));
        EXPECT_FALSE(set.matchQname(name("fine.example.")));
        // A wildcard at the policy zone's apex covers every name but the root.
        set.add(Zone {}.cname("*.catchall.", "*.").build("catchall."));
        auto fine = set.matchQname(name("fine.example."));
        ASSERT_TRUE(fine);
        EXPECT_EQ(*fine->zone, name("catchall."));
        EXPECT_EQ(fine->action, RpzAction::nodata);
        EXPECT_FALSE(set.matchQname(name(".")));
    }

    TEST(RpzPolicy, RefusesMalformedRulesNamingTheOwner)
    {
        struct Case {
            std::string_view label;
            Zone zone;
            RpzError kind;
            std::string_view owner;
            std::size_t record = 0; // the index the error names, so a reader can name its line
        };
        Zone crowded; // more records at one owner than a rule can hold
        for (int i = 0; i <= 0xFFFF; ++i)
            crowded.add("x.rpz.test.", QType::a, { 10, 0, std::uint8_t(i >> 8), std::uint8_t(i) });
        std::vector<Case> cases {
            { "too many records", crowded, RpzError::TooManyRecords, "x.rpz.test." },
            { "outside", Zone {}.cname("bad.example.", "."), RpzError::OwnerOutsideZone, "bad.example." },
            { "owner not a name", Zone {}.add("x.rpz.test.", QType::a, { 1, 2, 3, 4 }).truncateOwner(),
                RpzError::BadOwner, "" },
            { "apex data", Zone {}.add("rpz.test.", QType::a, { 1, 2, 3, 4 }), RpzError::DataAtApex,
                "rpz.test." },
            { "v4 prefix 33", Zone {}.cname("33.4.3.2.1.rpz-ip.rpz.test.", "."), RpzError::BadPrefixLength,
                "33.4.3.2.1.rpz-ip.rpz.test." },
            { "prefix 0", Zone {}.cname("0.4.3.2.1.rpz-ip.rpz.test.", "."), RpzError::BadPrefixLength,
                "0.4.3.2.1.rpz-ip.rpz.test." },
            { "prefix not a number", Zone {}.cname("x.4.3.2.1.rpz-ip.rpz.test.", "."),
                RpzError::BadPrefixLength, "x.4.3.2.1.rpz-ip.rpz.test." },
            { "octet 256", Zone {}.cname("32.4.3.256.1.rpz-ip.rpz.test.", "."), RpzError::BadIpTrigger,
                "32.4.3.256.1.rpz-ip.rpz.test." },
            { "v6 two zz", Zone {}.cname("128.1.zz.1.zz.rpz-ip.rpz.test.", "."), RpzError::BadIpTrigger,
                "128.1.zz.1.zz.rpz-ip.rpz.test." },
            { "v6 short", Zone {}.cname("64.1.2.3.4.5.rpz-ip.rpz.test.", "."), RpzError::BadIpTrigger,
                "64.1.2.3.4.5.rpz-ip.rpz.test." },
            { "v6 group too wide", Zone {}.cname("128.12345.zz.rpz-ip.rpz.test.", "."),
                RpzError::BadIpTrigger, "128.12345.zz.rpz-ip.rpz.test." },
            { "v6 prefix 129", Zone {}.cname("129.zz.1.rpz-ip.rpz.test.", "."), RpzError::BadPrefixLength,
                "129.zz.1.rpz-ip.rpz.test." },
            { "MX", Zone {}.add("mx.rpz.test.", QType::mx, { 0, 10, 0 }), RpzError::UnsupportedRecordType,
                "mx.rpz.test." },
            { "CNAME and A", Zone {}.cname("x.rpz.test.", ".").add("x.rpz.test.", QType::a, { 1, 2, 3, 4 }),
                RpzError::CnameWithOtherData, "x.rpz.test." },
            { "two CNAMEs", Zone {}.cname("x.rpz.test.", ".").cname("x.rpz.test.", "*."),
                RpzError::DuplicateCname, "x.rpz.test." },
            { "short A", Zone {}.add("x.rpz.test.", QType::a, { 1, 2, 3 }), RpzError::BadRdata,
                "x.rpz.test." },
            { "short A after a good one",
                Zone {}
                    .add("x.rpz.test.", QType::a, { 1, 2, 3, 4 })
                    .cname("y.rpz.test.", ".")
                    .add("x.rpz.test.", QType::a, { 1, 2, 3 }),
                RpzError::BadRdata, "x.rpz.test.", 2 },
            { "bad trigger after good rules",
                Zone {}.cname("y.rpz.test.", ".").cname("0.zz.rpz-ip.rpz.test.", "."),
                RpzError::BadPrefixLength, "0.zz.rpz-ip.rpz.test.", 1 },
            { "AAAA of 4", Zone {}.add("x.rpz.test.", QType::aaaa, { 1, 2, 3, 4 }), RpzError::BadRdata,
                "x.rpz.test." },
            { "TXT overrun", Zone {}.add("x.rpz.test.", QType::txt, { 5, 'a' }), RpzError::BadRdata,
                "x.rpz.test." },
            { "CNAME junk", Zone {}.add("x.rpz.test.", QType::cname, { 3, 'a' }), RpzError::BadRdata,
                "x.rpz.test." },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            auto policy = RpzPolicy::build(name("rpz.test."), c.zone.records);
            ASSERT_FALSE(policy.has_value());
            EXPECT_EQ(policy.error().kind, c.kind);
            EXPECT_EQ(policy.error().text(), std::string(c.owner) + ": " + dottedErrorName(c.kind));
            EXPECT_EQ(policy.error().record, c.record);
        }
    }

    TEST(RpzPolicy, SkipsTheApexSoaAndNsAndCountsUnsupportedTriggers)
    {
        auto policy = Zone {}
                          .add("rpz.test.", QType::soa, { 0 })
                          .add("rpz.test.", QType::ns, { 0 })
                          .cname("ns.example.rpz-nsdname.rpz.test.", ".")
                          .cname("32.1.0.0.10.rpz-client-ip.rpz.test.", ".")
                          .cname("bad.rpz.test.", ".")
                          .build();
        EXPECT_EQ(policy.skippedCount(), 2u);
        EXPECT_EQ(policy.qnameRuleCount(), 1u);
        // A skipped nsdname trigger does not act as a question-name rule either.
        EXPECT_FALSE(policy.matchQname(name("ns.example.rpz-nsdname.")));
    }

    // A policy file read as the server reads it: the apex SOA and NS are no rules, and whatever stops the
    // load names the file and the line at fault, a rule the engine refuses among them.
    TEST(RpzLoad, ReadsAMasterFileAndNamesTheLineOfWhatStopsIt)
    {
        const std::string head = "$TTL 60\n@ SOA ns. admin. 1 60 60 60 60\n@ NS ns.\n";
        auto good = loadRpzPolicy(name("rpz.test."),
            head + "bad.example CNAME .\n*.bad.example CNAME *.\n32.1.2.0.10.rpz-ip CNAME rpz-drop.\n",
            "good.rpz");
        ASSERT_TRUE(good) << good.error().describe();
        EXPECT_EQ(good->qnameRuleCount(), 2u);
        EXPECT_EQ(good->ipRuleCount(), 1u);
        EXPECT_EQ(qnameAction(*good, "x.bad.example."), RpzAction::nodata);
        struct Case {
            std::string_view label;
            std::optional<std::string> text; // none: read the path
            ZoneFileError kind;
            std::string_view message; // describe(), or its start
        };
        for (const Case& c : std::initializer_list<Case> {
                 { "unsupported type", head + "ok CNAME .\nmx MX 10 mail.\n", ZoneFileError::BadRule,
                     "f.rpz:5: mx.rpz.test.: error.UnsupportedRecordType" },
                 { "bad trigger", head + "\n; a comment\n33.1.2.3.4.rpz-ip CNAME .\n", ZoneFileError::BadRule,
                     "f.rpz:6: 33.1.2.3.4.rpz-ip.rpz.test.: error.BadPrefixLength" },
                 { "data at the apex", head + "@ A 192.0.2.1\n", ZoneFileError::BadRule,
                     "f.rpz:4: rpz.test.: error.DataAtApex" },
                 { "outside", head + "evil.example. CNAME .\n", ZoneFileError::OutOfZone,
                     "f.rpz:4: evil.example. is outside the zone rpz.test." },
                 { "syntax", head + "x CNAME\n", ZoneFileError::Syntax, "f.rpz:4: " },
                 { "missing", std::nullopt, ZoneFileError::FileUnreadable, "/nonexistent/f.rpz: " },
             }) {
            SCOPED_TRACE(c.label);
            auto loaded = c.text ? loadRpzPolicy(name("rpz.test."), *c.text, "f.rpz")
                                 : loadRpzPolicy(name("rpz.test."), std::nullopt, "/nonexistent/f.rpz");
            ASSERT_FALSE(loaded);
            EXPECT_EQ(loaded.error().kind, c.kind);
            EXPECT_TRUE(loaded.error().describe().starts_with(c.message)) << loaded.error().describe();
        }
    }

    TEST(RpzPolicy, ManyRulesAllFoundAcrossTableGrowth)
    {
        Zone zone;
        constexpr int rules = 5000;
        for (int i = 0; i < rules; ++i)
            zone.cname("n" + std::to_string(i) + ".example.rpz.test.", i % 2 ? "." : "*.");
        auto policy = zone.build();
        EXPECT_EQ(policy.qnameRuleCount(), std::size_t(rules));
        for (int i = 0; i < rules; ++i)
            ASSERT_EQ(qnameAction(policy, "N" + std::to_string(i) + ".example."),
                i % 2 ? RpzAction::nxdomain : RpzAction::nodata)
                << i;
        EXPECT_FALSE(qnameAction(policy, "n5000.example."));
        EXPECT_FALSE(qnameAction(policy, "n1.example.org."));
    }

} // namespace
} // namespace recursor
