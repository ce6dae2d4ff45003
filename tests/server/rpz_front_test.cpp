// The front door under response policy zones: a question-name hit is answered before the caches, with
// AA and AD clear and the extended error the action calls for, or dropped, or sent to TCP.
#include "server/front.h"

#include "support/packet_builder.h"
#include "wire/record.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;

    // A question with RD and AD set and an EDNS OPT record (1232 bytes, DO clear).
    Bytes ednsQuery(std::string_view qname, QType qtype)
    {
        test::PacketBuilder b;
        b.header(0x4242, 0x0120, 1, 0, 0, 1).question(qname, qtype, QClass::in);
        b.u8(0).u16(41).u16(1232).u32(0).u16(0);
        return b.bytes();
    }

    bool carriesExtendedError(const Bytes& reply, std::uint8_t code)
    {
        const Bytes option { 0, 15, 0, 2, 0, code }; // OPTION-CODE 15, length 2, INFO-CODE (RFC 8914 §2)
        return std::search(reply.begin(), reply.end(), option.begin(), option.end()) != reply.end();
    }

    std::shared_ptr<const RpzSet> policyOf(std::span<const RpzInputRecord> records)
    {
        auto set = std::make_shared<RpzSet>();
        auto policy = RpzPolicy::build(*DnsName::fromText("rpz.test."), records);
        EXPECT_TRUE(policy.has_value());
        set->add(std::move(*policy));
        return set;
    }

    TEST(FrontPolicy, QuestionNameHitsAreAnsweredBeforeResolving)
    {
        const Bytes nx = test::wireName("nx.example.rpz.test"),
                    drop = test::wireName("drop.example.rpz.test"),
                    tcp = test::wireName("tcp.example.rpz.test"), local = test::wireName("*.local.rpz.test");
        const Bytes root { 0 }, drop_target = test::wireName("rpz-drop"),
                                tcp_target = test::wireName("rpz-tcp-only");
        const Bytes address { 192, 0, 2, 7 };
        const std::vector<RpzInputRecord> records {
            { nx, QType::cname, 300, root },
            { drop, QType::cname, 300, drop_target },
            { tcp, QType::cname, 300, tcp_target },
            { local, QType::a, 60, address },
        };
        ServerOptions options;
        auto recursor = std::move(*Recursor::init(false));
        auto metrics = std::move(*Metrics::init());
        Front front(options, *recursor, *metrics);
        front.setResponsePolicy(policyOf(records));

        auto nx_reply = front.handleQuery(ednsQuery("nx.example", QType::a));
        ASSERT_TRUE(nx_reply && *nx_reply);
        auto nx_message = DnsMessage::parse(**nx_reply);
        ASSERT_TRUE(nx_message);
        EXPECT_EQ(nx_message->header.rcode(), RCode::nx_domain);
        EXPECT_FALSE(nx_message->header.aa());
        EXPECT_FALSE(nx_message->header.ad()); // asked with AD
        EXPECT_EQ(nx_message->header.id(), 0x4242);
        EXPECT_TRUE(carriesExtendedError(**nx_reply, 15));

        auto dropped = front.handleQuery(ednsQuery("drop.example", QType::a));
        ASSERT_TRUE(dropped);
        EXPECT_FALSE(dropped->has_value());

        auto tcp_reply = front.handleQuery(ednsQuery("tcp.example", QType::a));
        ASSERT_TRUE(tcp_reply && *tcp_reply);
        auto tcp_message = DnsMessage::parse(**tcp_reply);
        ASSERT_TRUE(tcp_message);
        EXPECT_TRUE(tcp_message->header.tc());
        EXPECT_EQ(tcp_message->header.rcode(), RCode::no_error);
        EXPECT_EQ(std::ranges::count(tcp_message->records, Section::answer, &DnsRecord::section), 0);

        auto local_reply = front.handleQuery(ednsQuery("WWW.local", QType::a));
        ASSERT_TRUE(local_reply && *local_reply);
        auto local_message = DnsMessage::parse(**local_reply);
        ASSERT_TRUE(local_message);
        ASSERT_GE(local_message->records.size(), 1u);
        const DnsRecord& answer = local_message->records[0];
        EXPECT_EQ(answer.section, Section::answer);
        EXPECT_EQ(answer.name.toText(), "WWW.local.");
        EXPECT_EQ(answer.rdata.get<RDataTag::a>().addr[3], 7);
        EXPECT_FALSE(local_message->header.aa());
        EXPECT_TRUE(carriesExtendedError(**local_reply, 17));
        // Every hit counts for its zone, a dropped question too.
        EXPECT_EQ(metrics->policyZoneName(0), "rpz.test.");
        EXPECT_EQ(metrics->policy_hits[0].load(), 4u);
    }

} // namespace
} // namespace recursor
