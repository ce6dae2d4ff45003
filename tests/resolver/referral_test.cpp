// Nameserver addresses read from referrals and from answers: addresses no server may have are dropped.
#include "resolver/delegation.h"
#include "resolver/recursor.h"
#include "resolver/referral.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using test::wireName;
    using Bytes = std::vector<std::uint8_t>;

    struct Glue {
        std::string owner;
        Bytes address; // 4 bytes: A, 16 bytes: AAAA
    };

    Bytes v6(std::initializer_list<std::uint8_t> head, std::uint8_t last)
    {
        Bytes out(head);
        out.resize(15, 0);
        out.push_back(last);
        return out;
    }

    // A referral for www.example.test to example.test with the given nameservers and glue; the packet
    // is kept beside the message, whose records view into it.
    struct Referral {
        Bytes packet;
        DnsMessage message;
    };

    Referral referral(const std::vector<Glue>& glue, Section glue_section = Section::additional,
        const std::vector<std::string>& nameservers = { "ns1.example.test", "ns2.example.test" })
    {
        PacketBuilder b;
        const bool in_answer = glue_section == Section::answer;
        b.header(0x1234, 0x8000, 1, static_cast<std::uint16_t>(in_answer ? glue.size() : 0),
            static_cast<std::uint16_t>(nameservers.size()),
            static_cast<std::uint16_t>(in_answer ? 0 : glue.size()));
        b.question("www.example.test", QType::a, QClass::in);
        auto addRecords = [&] {
            for (const Glue& g : glue)
                b.record(
                    g.owner, g.address.size() == 4 ? QType::a : QType::aaaa, QClass::in, 3600, g.address);
        };
        if (in_answer)
            addRecords();
        for (const std::string& ns : nameservers)
            b.record("example.test", QType::ns, QClass::in, 3600, wireName(ns));
        if (!in_answer)
            addRecords();
        Referral r { b.bytes(), {} };
        r.message = DnsMessage::parse(r.packet).value();
        return r;
    }

    std::vector<std::string> texts(const NameserverSet& set)
    {
        std::vector<std::string> out;
        for (const SocketAddress& addr : set.slice())
            out.push_back(addr.toString());
        return out;
    }

    using Strings = std::vector<std::string>;

    const DnsName test_zone = *DnsName::fromText("test"); // the zone of the server that refers

    const std::vector<Glue> mixed_glue = {
        { "ns1.example.test", { 127, 0, 0, 1 } }, { "ns1.example.test", { 10, 0, 0, 1 } },
        { "ns2.example.test", v6({}, 1) }, // ::1
        { "ns2.example.test", v6({ 0xfe, 0x80 }, 1) }, // fe80::1
        { "ns2.example.test", { 169, 254, 169, 254 } }, { "ns2.example.test", { 0, 0, 0, 0 } },
        { "ns2.example.test", { 224, 0, 0, 1 } }, { "ns2.example.test", { 255, 255, 255, 255 } },
        { "ns2.example.test", v6({ 0xff, 0x02 }, 1) }, // ff02::1
        { "ns2.example.test",
            v6({ 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0 }, 1) }, // ::ffff:127.0.0.1
        { "ns2.example.test", v6({ 0x20, 0x01, 0x0d, 0xb8 }, 2) }, // 2001:db8::2
    };

    TEST(ExtractGlueNameservers, DropsAddressesNoServerMayHave)
    {
        const Referral r
            = referral({ { "ns1.example.test", { 127, 0, 0, 1 } }, { "ns2.example.test", { 10, 0, 0, 1 } } });
        EXPECT_EQ(texts(extractGlueNameservers(r.message.records, test_zone, 53, false)),
            (Strings { "10.0.0.1:53" }));
        EXPECT_EQ(texts(extractGlueNameservers(r.message.records, test_zone, 53, true)),
            (Strings { "127.0.0.1:53", "10.0.0.1:53" }));

        const Referral mixed = referral(mixed_glue);
        EXPECT_EQ(texts(extractGlueNameservers(mixed.message.records, test_zone, 53, false)),
            (Strings { "10.0.0.1:53", "[2001:db8::2]:53" }));
        EXPECT_EQ(texts(extractGlueNameservers(mixed.message.records, test_zone, 53, true)),
            (Strings {
                "127.0.0.1:53", "10.0.0.1:53", "[::1]:53", "[::ffff:127.0.0.1]:53", "[2001:db8::2]:53" }));
    }

    // Glue used to count only at or below the delegated zone: the root's address for a.gtld-servers.net.
    // in its referral for com. was dropped, and the name looked up again. What the referring server's
    // own zone holds counts (RFC 1034 §4.3.2, §5.3.3); glue beyond it still does not.
    TEST(ExtractGlueNameservers, TakesGlueFromTheReferringServersZone)
    {
        const Referral r = referral(
            { { "ns1.example.test", { 192, 0, 2, 1 } }, { "ns.other.test", { 192, 0, 2, 2 } },
                { "ns.provider.net", { 192, 0, 2, 3 } } },
            Section::additional, { "ns1.example.test", "ns.other.test", "ns.provider.net", "ns.none.test" });
        // Glue beyond the referring zone is kept apart, as the last resort.
        struct Case {
            const char* referring_zone;
            Strings glue, glueless, beyond;
        };
        const Case cases[] {
            { "test", { "192.0.2.1:53", "192.0.2.2:53" }, { "ns.provider.net.", "ns.none.test." },
                { "192.0.2.3:53" } },
            { ".", { "192.0.2.1:53", "192.0.2.2:53", "192.0.2.3:53" }, { "ns.none.test." }, {} },
            { "other.test", { "192.0.2.2:53" }, { "ns1.example.test.", "ns.provider.net.", "ns.none.test." },
                { "192.0.2.1:53", "192.0.2.3:53" } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.referring_zone);
            const DnsName zone = *DnsName::fromText(c.referring_zone);
            EXPECT_EQ(texts(extractGlueNameservers(r.message.records, zone, 53, false)), c.glue);
            EXPECT_EQ(texts(extractOutOfZoneGlue(r.message.records, zone, 53, false)), c.beyond);
            Strings glueless;
            for (const DnsName& ns : extractGluelessNameservers(r.message.records, zone, false, 5))
                glueless.push_back(ns.toText());
            EXPECT_EQ(glueless, c.glueless);
        }
    }

    TEST(ExtractAnswerAddresses, DropsAddressesNoServerMayHave)
    {
        const Referral r = referral(mixed_glue, Section::answer);
        EXPECT_EQ(texts(extractAnswerAddresses(r.message.records, 5300, false)),
            (Strings { "10.0.0.1:5300", "[2001:db8::2]:5300" }));
        EXPECT_EQ(texts(extractAnswerAddresses(r.message.records, 5300, true)),
            (Strings { "127.0.0.1:5300", "10.0.0.1:5300", "[::1]:5300", "[::ffff:127.0.0.1]:5300",
                "[2001:db8::2]:5300" }));
    }

    TEST(ExtractGlueNameservers, ForbiddenAddressesTakeNoPlaceInTheSet)
    {
        // Thirteen loopback addresses first must not crowd out the one usable address after them.
        std::vector<Glue> glue;
        for (std::uint8_t i = 1; i <= NameserverSet::capacity; ++i)
            glue.push_back({ "ns1.example.test", { 127, 0, 0, i } });
        glue.push_back({ "ns2.example.test", { 192, 0, 2, 53 } });
        const Referral r = referral(glue);
        EXPECT_EQ(texts(extractGlueNameservers(r.message.records, test_zone, 53, false)),
            (Strings { "192.0.2.53:53" }));
        EXPECT_EQ(
            extractGlueNameservers(r.message.records, test_zone, 53, true).count, NameserverSet::capacity);
    }

    // The resolver follows the referral with what its options allow; with loopback-only glue and no
    // loopback allowed it has no way forward (the root servers here are none, so nothing is sent).
    TEST(LookupDelegationNameservers, GlueFollowsTheLoopbackSetting)
    {
        const Referral r
            = referral({ { "ns1.example.test", { 127, 0, 0, 1 } }, { "ns2.example.test", { 10, 0, 0, 1 } } });
        const Referral loopback_only = referral({ { "ns1.example.test", { 127, 0, 0, 1 } } });
        QueryContext ctx;
        ctx.qname = ctx.current_qname = *DnsName::fromText("www.example.test");
        ctx.zone = DnsName::root();
        const UpstreamSettings engine { .timeout_ms = 20 };

        for (const bool allow : { false, true }) {
            SCOPED_TRACE(allow ? "loopback allowed" : "loopback not allowed");
            auto recursor = std::move(*Recursor::init(RecursorOptions {
                .root_servers = NameserverSet {}, .limits = { .allow_loopback_nameservers = allow } }));
            Resolution resolution = recursor->startResolution(engine);
            // First, while nothing is cached: without usable glue the nameserver names are looked up
            // from the (empty) root servers, which gives nothing.
            auto only = lookupDelegationNameservers(resolution, loopback_only.message, ctx);
            ASSERT_TRUE(only);
            ASSERT_EQ(only->has_value(), allow);
            if (allow) {
                EXPECT_EQ(texts((*only)->nameservers), (Strings { "127.0.0.1:53" }));
                ASSERT_EQ((*only)->unresolved.count, 1u) << "ns2 came without glue: asked if ns1 fails";
                EXPECT_EQ((*only)->unresolved.names[0].toText(), "ns2.example.test.");
            }

            auto next = lookupDelegationNameservers(resolution, r.message, ctx);
            ASSERT_TRUE(next);
            ASSERT_TRUE(next->has_value());
            EXPECT_EQ((*next)->zone.toText(), "example.test.");
            EXPECT_EQ(texts((*next)->nameservers),
                (allow ? Strings { "127.0.0.1:53", "10.0.0.1:53" } : Strings { "10.0.0.1:53" }));
        }
    }

} // namespace
} // namespace recursor
