// The front door under response policy zones: a question-name hit is answered before the caches, a
// response-IP hit before the answer (fresh or cached) is shaped; each with AA and AD clear and the
// extended error the action calls for, or dropped, or sent to TCP.
#include "server/front.h"

#include "server/recursor_server.h"

#include "support/canned_transport.h"
#include "support/packet_builder.h"
#include "wire/record.h"

#include <algorithm>
#include <arpa/inet.h>
#include <deque>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

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
        if (!policy) {
            ADD_FAILURE() << policy.error().text();
            return set;
        }
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

    // Owns the bytes the input records view.
    struct PolicyText {
        std::deque<Bytes> storage;
        std::vector<RpzInputRecord> records;
        void add(std::string_view owner, QType type, Bytes rdata)
        {
            storage.push_back(test::wireName(owner));
            const Bytes& owner_wire = storage.back();
            storage.push_back(std::move(rdata));
            records.push_back({ owner_wire, type, 60, storage.back() });
        }
    };

    // A connection's end of the front door: what it was sent, and whether it was let go without a reply.
    class StreamCapture final : public ReplySink {
    public:
        const SocketAddress& client() const override { return client_; }
        Transport transport() const override { return Transport::tcp; }
        void send(std::vector<std::uint8_t> reply) override { sent.push_back(std::move(reply)); }
        void abandon() override { ++abandoned; }
        std::shared_ptr<ReplySink> keep() const override { return std::make_shared<StreamCapture>(*this); }

        std::vector<Bytes> sent;
        int abandoned { 0 };

    private:
        SocketAddress client_ = *SocketAddress::fromIpLiteral("127.0.0.1", 40000);
    };

    enum class Expect : std::uint8_t { nxdomain, nodata, normal, dropped, truncated, local, followed };

    // Response-IP rules judge the addresses a forwarder answers with, when the answer is fresh and again
    // from the cache, over UDP and over TCP; a question-name rule that matched first decides alone.
    TEST(FrontPolicy, ResponseIpRulesJudgeFreshAndCachedAnswersOverEachTransport)
    {
        PolicyText policy;
        const Bytes root { 0 };
        policy.add("32.1.1.1.10.rpz-ip.rpz.test", QType::cname, root);
        policy.add("32.2.1.1.10.rpz-ip.rpz.test", QType::cname, test::wireName("*"));
        policy.add("32.3.1.1.10.rpz-ip.rpz.test", QType::cname, test::wireName("rpz-passthru"));
        policy.add("32.4.1.1.10.rpz-ip.rpz.test", QType::cname, test::wireName("rpz-drop"));
        policy.add("32.5.1.1.10.rpz-ip.rpz.test", QType::cname, test::wireName("rpz-tcp-only"));
        policy.add("24.0.0.1.10.rpz-ip.rpz.test", QType::a, { 192, 0, 2, 99 });
        policy.add("48.zz.1.db8.2001.rpz-ip.rpz.test", QType::cname, root);
        policy.add("pass.corp.rpz.test", QType::cname, test::wireName("rpz-passthru"));
        policy.add("tcp.corp.rpz.test", QType::cname, test::wireName("rpz-tcp-only"));
        policy.add("moved.corp.rpz.test", QType::cname, test::wireName("passed.corp"));

        struct Case {
            const char* qname;
            QType qtype;
            const char* address; // what the forwarder answers
            Expect udp;
            Expect tcp;
        };
        const std::vector<Case> cases {
            // A local CNAME is followed: its target resolved, then from the cache, answered after it.
            { "moved.corp.", QType::a, "10.1.1.1", Expect::followed, Expect::followed },
            { "nx.corp.", QType::a, "10.1.1.1", Expect::nxdomain, Expect::nxdomain },
            { "nodata.corp.", QType::a, "10.1.1.2", Expect::nodata, Expect::nodata },
            { "passed.corp.", QType::a, "10.1.1.3", Expect::normal, Expect::normal },
            { "drop.corp.", QType::a, "10.1.1.4", Expect::dropped, Expect::dropped },
            { "tcponly.corp.", QType::a, "10.1.1.5", Expect::truncated, Expect::normal },
            { "local.corp.", QType::a, "10.1.0.6", Expect::local, Expect::local },
            { "v6.corp.", QType::aaaa, "2001:db8:1:ffff::5", Expect::nxdomain, Expect::nxdomain },
            { "clean.corp.", QType::aaaa, "2001:db8:2::5", Expect::normal, Expect::normal },
            // Question-name rules come first: their answers would be NXDOMAIN by address.
            { "pass.corp.", QType::a, "10.1.1.1", Expect::normal, Expect::normal },
            { "tcp.corp.", QType::a, "10.1.1.1", Expect::truncated, Expect::normal },
        };
        auto net = std::make_shared<test::CannedTransport>();
        for (const Case& c : cases) {
            Bytes addr(c.qtype == QType::a ? 4 : 16);
            ASSERT_EQ(inet_pton(c.qtype == QType::a ? AF_INET : AF_INET6, c.address, addr.data()), 1);
            net->on("10.0.0.53", c.qname, c.qtype,
                test::Reply { 0x8180, { { c.qname, c.qtype, std::move(addr) } } });
        }
        NameserverSet forwarder;
        forwarder.append(*SocketAddress::fromIpLiteral("10.0.0.53", 53));
        auto recursor = Recursor::init(
            RecursorOptions { .validation_enabled = false,
                .transport = net,
                .forward_zones = { { *DnsName::fromText("corp."), forwarder, true, true } } })
                            .value();
        ServerOptions options;
        auto metrics = std::move(*Metrics::init());
        Front front(options, *recursor, *metrics);
        front.setResponsePolicy(policyOf(policy.records));
        FrontLoop loop;

        auto check = [&](Expect expect, const std::optional<Bytes>& reply) {
            ASSERT_EQ(reply.has_value(), expect != Expect::dropped);
            if (!reply)
                return;
            auto message = DnsMessage::parse(*reply);
            ASSERT_TRUE(message);
            const auto answers = std::ranges::count(message->records, Section::answer, &DnsRecord::section);
            EXPECT_FALSE(message->header.aa());
            EXPECT_FALSE(message->header.ad());
            EXPECT_EQ(message->header.tc(), expect == Expect::truncated);
            EXPECT_EQ(
                message->header.rcode(), expect == Expect::nxdomain ? RCode::nx_domain : RCode::no_error);
            EXPECT_EQ(answers,
                expect == Expect::followed ? 2 : expect == Expect::normal || expect == Expect::local);
            EXPECT_EQ(
                carriesExtendedError(*reply, 15), expect == Expect::nxdomain || expect == Expect::nodata);
            EXPECT_EQ(
                carriesExtendedError(*reply, 17), expect == Expect::local || expect == Expect::followed);
            if (expect == Expect::local) {
                EXPECT_EQ(message->records[0].rdata.get<RDataTag::a>().addr[3], 99);
            }
            if (expect == Expect::followed) {
                EXPECT_EQ(message->records[0].rdata.get<RDataTag::cname>().target.toText(), "passed.corp.");
                EXPECT_EQ(message->records[1].name.toText(), "passed.corp.");
                EXPECT_EQ(message->records[1].rdata.get<RDataTag::a>().addr[3], 3);
            }
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.qname);
            for (const char* round : { "fresh", "cached" }) {
                SCOPED_TRACE(round);
                auto reply = front.handleQuery(ednsQuery(c.qname, c.qtype));
                ASSERT_TRUE(reply);
                check(c.udp, *reply);
            }
            // Over TCP from the cache, warmed where UDP never resolved (a question-name tcp-only).
            ASSERT_TRUE(recursor->resolveWithTransport({}, *DnsName::fromText(c.qname), c.qtype));
            StreamCapture stream;
            const bool answered = front.handleMessage(loop, ednsQuery(c.qname, c.qtype), stream, 0);
            EXPECT_EQ(answered, c.tcp != Expect::dropped);
            ASSERT_EQ(stream.sent.size(), answered ? 1u : 0u) << "a dropped question gets nothing";
            check(c.tcp, answered ? std::optional(stream.sent[0]) : std::nullopt);
        }
        // Each question resolved once; every one of the three askings was a hit, "clean" aside.
        EXPECT_EQ(net->exchanges.size(), cases.size());
        EXPECT_EQ(metrics->policy_hits[0].load(), 3 * (cases.size() - 1));
    }

    // Clients asking what is being resolved join the resolution, and each gets the policy's reply: the
    // response-IP rewrite, or the CNAME followed, from one exchange upstream per name.
    TEST(FrontPolicy, ClientsJoiningAResolutionEachGetThePolicyReply)
    {
        PolicyText policy;
        policy.add("32.1.1.1.10.rpz-ip.rpz.test", QType::cname, { 0 });
        policy.add("moved.corp.rpz.test", QType::cname, test::wireName("passed.corp"));
        auto net = std::make_shared<test::CannedTransport>();
        net->yield = true; // the resolution waits, so that the others join it
        net->on("10.0.0.53", "nx.corp.", QType::a, test::address("nx.corp.", "10.1.1.1", 0x8180));
        net->on("10.0.0.53", "passed.corp.", QType::a, test::address("passed.corp.", "10.1.1.3", 0x8180));
        RecursorServer::InitOptions options;
        options.listen_addr = *SocketAddress::fromIpLiteral("127.0.0.1", 0);
        options.loop_count = 1;
        options.enable_dnssec = false;
        options.root_servers = NameserverSet {};
        options.transport = net;
        options.forward_zones = { { *DnsName::fromText("corp."), {}, true, true } };
        options.forward_zones[0].servers.append(*SocketAddress::fromIpLiteral("10.0.0.53", 53));
        options.response_policy = policyOf(policy.records);
        auto server = std::move(RecursorServer::init(std::move(options)).value());
        ASSERT_TRUE(server->start());

        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        for (std::uint16_t id = 1; id <= 6; ++id) {
            Bytes query = ednsQuery(id <= 3 ? "nx.corp" : "moved.corp", QType::a);
            query[0] = 0;
            query[1] = static_cast<std::uint8_t>(id);
            ::sendto(fd, query.data(), query.size(), 0, server->listenAddr().sockaddrPtr(),
                server->listenAddr().sockaddrLen());
        }
        std::set<int> answered;
        pollfd ready { fd, POLLIN, 0 };
        while (answered.size() < 6 && ::poll(&ready, 1, 3000) == 1) {
            Bytes reply(4096);
            reply.resize(
                static_cast<std::size_t>(std::max<ssize_t>(0, ::recv(fd, reply.data(), reply.size(), 0))));
            auto message = DnsMessage::parse(reply);
            ASSERT_TRUE(message);
            const int id = message->header.id();
            SCOPED_TRACE(id);
            answered.insert(id);
            EXPECT_EQ(message->header.rcode(), id <= 3 ? RCode::nx_domain : RCode::no_error);
            EXPECT_EQ(message->records.size(), id <= 3 ? 1u : 3u); // OPT, or CNAME A OPT
            EXPECT_TRUE(carriesExtendedError(reply, id <= 3 ? 15 : 17));
        }
        ::close(fd);
        server->stop();
        EXPECT_EQ(answered, (std::set<int> { 1, 2, 3, 4, 5, 6 }));
        EXPECT_EQ(net->exchanges.size(), 2u);
    }

} // namespace
} // namespace recursor
