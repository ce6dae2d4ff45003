// The front door keeping popular and failing names answered: an expired answer served stale (RFC 8767)
// when its servers fail or stay silent past the client response timer, with TTL 30 and EDE 3 or 19,
// never for bogus data; and an answer asked for near the end of its TTL refreshed once in the background.
#include "server/front.h"

#include "server/recursor_server.h"

#include "support/canned_transport.h"
#include "support/packet_builder.h"
#include "wire/record.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <unistd.h>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;
    constexpr const char* forwarder = "10.0.0.53";

    // A question with RD set and an EDNS OPT record (1232 bytes, DO clear).
    Bytes ednsQuery(std::string_view qname, QType qtype, std::uint16_t id = 0x4242)
    {
        test::PacketBuilder b;
        b.header(id, 0x0100, 1, 0, 0, 1).question(qname, qtype, QClass::in);
        b.u8(0).u16(41).u16(1232).u32(0).u16(0);
        return b.bytes();
    }

    std::optional<std::uint8_t> extendedError(const Bytes& reply)
    {
        const Bytes option { 0, 15, 0, 2, 0 }; // OPTION-CODE 15, length 2, INFO-CODE high byte (RFC 8914)
        auto at = std::search(reply.begin(), reply.end(), option.begin(), option.end());
        if (at == reply.end() || reply.end() - at < 6)
            return std::nullopt;
        return at[5];
    }

    struct FakeClock {
        std::shared_ptr<std::atomic<std::int64_t>> now
            = std::make_shared<std::atomic<std::int64_t>>(1'000'000);
        Cache::Clock fn() const
        {
            return [now = now] { return now->load(); };
        }
    };

    // A resolver whose names under corp. are asked of one forwarder, its answers kept at most `max_ttl`.
    std::unique_ptr<Recursor> forwardingRecursor(std::shared_ptr<test::CannedTransport> net,
        const FakeClock& clock, std::uint32_t stale_window, std::uint32_t max_ttl = 60)
    {
        NameserverSet servers;
        servers.append(*SocketAddress::fromIpLiteral(forwarder, 53));
        AnswerLimits limits;
        limits.cache_max_ttl = max_ttl;
        limits.cache_max_negative_ttl = max_ttl;
        return Recursor::init(RecursorOptions { .validation_enabled = false,
                                  .clock = clock.fn(),
                                  .limits = limits,
                                  .transport = std::move(net),
                                  .forward_zones = { { *DnsName::fromText("corp."), servers, true, true } },
                                  .stale_window_seconds = stale_window })
            .value();
    }

    test::Reply negative(std::uint16_t rcode)
    {
        test::Reply reply = test::nodata("corp.");
        reply.flags = static_cast<std::uint16_t>(0x8180 | rcode);
        return reply;
    }

    // The upstream fails the question once its answer has expired: the client gets the expired answer
    // instead of SERVFAIL, when serve-stale keeps it and it was not bogus.
    TEST(FrontStale, ServesAnExpiredAnswerWhenItsServersFail)
    {
        enum class Expect : std::uint8_t { stale_answer, stale_nxdomain, stale_nodata, servfail };
        struct Case {
            const char* what;
            test::Reply reply;
            std::uint32_t window;
            std::int64_t past_expiry;
            bool bogus;
            Expect expect;
        };
        const std::vector<Case> cases {
            { "an address", test::address("a.corp.", "10.1.1.1", 0x8180), 86400, 1, false,
                Expect::stale_answer },
            { "an NXDOMAIN", negative(3), 86400, 1, false, Expect::stale_nxdomain },
            { "a NODATA", negative(0), 86400, 1, false, Expect::stale_nodata },
            { "past the window", test::address("a.corp.", "10.1.1.1", 0x8180), 100, 101, false,
                Expect::servfail },
            { "serve-stale off", test::address("a.corp.", "10.1.1.1", 0x8180), 0, 1, false,
                Expect::servfail },
            { "bogus", test::address("a.corp.", "10.1.1.1", 0x8180), 86400, 1, true, Expect::servfail },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            auto net = std::make_shared<test::CannedTransport>();
            net->on(forwarder, "a.corp.", QType::a, c.reply);
            FakeClock clock;
            auto recursor = forwardingRecursor(net, clock, c.window);
            ServerOptions options;
            auto metrics = std::move(*Metrics::init());
            Front front(options, *recursor, *metrics);

            auto fresh = front.handleQuery(ednsQuery("a.corp", QType::a));
            ASSERT_TRUE(fresh && *fresh);
            EXPECT_FALSE(extendedError(**fresh).has_value());
            if (c.bogus) { // the data failed validation when last asked
                ASSERT_TRUE(recursor->cache().putBogus(*DnsName::fromText("a.corp."), QType::a, 60));
            }
            net->on(forwarder, "a.corp.", QType::a, std::nullopt); // silent from now on
            clock.now->fetch_add(60 + c.past_expiry);

            auto reply = front.handleQuery(ednsQuery("a.corp", QType::a));
            ASSERT_TRUE(reply && *reply);
            auto message = DnsMessage::parse(**reply);
            ASSERT_TRUE(message);
            EXPECT_GT(net->exchanges.size(), 1u) << "the servers were asked again";
            const RCode rcode = c.expect == Expect::servfail ? RCode::serv_fail
                : c.expect == Expect::stale_nxdomain         ? RCode::nx_domain
                                                             : RCode::no_error;
            EXPECT_EQ(message->header.rcode(), rcode);
            EXPECT_EQ(message->header.id(), 0x4242);
            const std::optional<std::uint8_t> ede = extendedError(**reply);
            const bool stale = c.expect != Expect::servfail;
            EXPECT_EQ(metrics->stale_answers.load(), stale ? 1u : 0u);
            if (!stale) {
                EXPECT_NE(ede, std::optional<std::uint8_t>(extended_error_stale_answer));
                continue;
            }
            EXPECT_EQ(ede,
                c.expect == Expect::stale_nxdomain ? extended_error_stale_nxdomain
                                                   : extended_error_stale_answer);
            for (const DnsRecord& rec : message->records) {
                if (rec.rtype != QType::opt) {
                    EXPECT_EQ(rec.ttl, stale_answer_ttl) << "RFC 8767 §4";
                }
            }
        }
    }

    // A client's sink over UDP that keeps what it was sent.
    class DatagramCapture final : public ReplySink {
    public:
        explicit DatagramCapture(std::shared_ptr<std::vector<Bytes>> sent)
            : sent_(std::move(sent))
        {
        }
        const SocketAddress& client() const override { return client_; }
        Transport transport() const override { return Transport::udp; }
        void send(std::vector<std::uint8_t> reply) override { sent_->push_back(std::move(reply)); }
        void abandon() override { }
        std::shared_ptr<ReplySink> keep() const override { return std::make_shared<DatagramCapture>(sent_); }

    private:
        std::shared_ptr<std::vector<Bytes>> sent_;
        SocketAddress client_ = *SocketAddress::fromIpLiteral("127.0.0.1", 40000);
    };

    // Clients asking near the end of an answer's TTL are answered from the cache at once, and the first
    // of them starts one refresh in the background: the entry lives a whole TTL again.
    TEST(FrontPrefetch, RefreshesAnAnswerOnceNearTheEndOfItsTtl)
    {
        struct Case {
            std::uint32_t ttl;
            std::int64_t elapsed;
            bool prefetch;
            bool refreshed;
        };
        for (const Case& c : std::initializer_list<Case> {
                 { 100, 95, true, true }, { 100, 50, true, false }, // not yet due
                 { 9, 9, true, false }, // too short to be worth it
                 { 100, 95, false, false }, // prefetch = false
             }) {
            SCOPED_TRACE(std::to_string(c.ttl) + "s after " + std::to_string(c.elapsed) + "s, prefetch "
                + std::to_string(c.prefetch));
            auto net = std::make_shared<test::CannedTransport>();
            net->on(forwarder, "p.corp.", QType::a, test::address("p.corp.", "10.1.1.2", 0x8180));
            FakeClock clock;
            auto recursor = forwardingRecursor(net, clock, 0, c.ttl);
            ServerOptions options;
            options.prefetch = c.prefetch;
            auto metrics = std::move(*Metrics::init());
            Front front(options, *recursor, *metrics);
            auto events = EventLoop::create();
            FrontLoop loop;
            loop.events = events.get();

            ASSERT_TRUE(front.handleQuery(ednsQuery("p.corp", QType::a)));
            clock.now->fetch_add(c.elapsed);
            auto sent = std::make_shared<std::vector<Bytes>>();
            DatagramCapture sink(sent);
            for (std::uint16_t id = 1; id <= 3; ++id)
                EXPECT_TRUE(front.handleMessage(loop, ednsQuery("p.corp", QType::a, id), sink, 0));
            EXPECT_EQ(sent->size(), 3u) << "every client is answered at once, from the cache";
            ASSERT_TRUE(events->spawnDetached([&] { events->stop(); })); // after the refresh, if any
            events->run();

            EXPECT_EQ(net->exchanges.size(), c.refreshed ? 2u : 1u);
            EXPECT_EQ(metrics->prefetches_started.load(), c.refreshed ? 1u : 0u);
            EXPECT_EQ(loop.prefetching, 0u);
            auto hit = recursor->cache().getAnswerCopy(*DnsName::fromText("p.corp."), QType::a);
            ASSERT_TRUE(hit && *hit);
            EXPECT_EQ((*hit)->meta.stored_at, clock.now->load() - (c.refreshed ? 0 : c.elapsed));
        }
    }

    // The servers of an expired answer stay silent longer than the client response timer (RFC 8767 §5):
    // the client and those that joined its resolution get the stale answer then, and the resolution goes
    // on to refresh the cache when the servers answer at last.
    TEST(FrontStale, ClientsGetTheStaleAnswerAtTheClientResponseTimer)
    {
        auto net = std::make_shared<test::CannedTransport>();
        net->yield = true;
        int asked = 0;
        net->otherwise = [&](std::string_view, std::string_view, QType) {
            ++asked;
            waitReady({}, 3000); // silent past the timer, then answers
            return test::address("slow.corp.", "10.1.1.9", 0x8180);
        };
        RecursorServer::InitOptions options;
        options.listen_addr = *SocketAddress::fromIpLiteral("127.0.0.1", 0);
        options.loop_count = 1;
        options.enable_dnssec = false;
        options.root_servers = NameserverSet {};
        options.transport = net;
        options.stale_window_seconds = 86400;
        options.forward_zones = { { *DnsName::fromText("corp."), {}, true, true } };
        options.forward_zones[0].servers.append(*SocketAddress::fromIpLiteral(forwarder, 53));
        auto server = std::move(RecursorServer::init(std::move(options)).value());
        // What the servers said before they went silent, expired since.
        const Bytes old_answer = [] {
            test::PacketBuilder b;
            b.header(0, 0x8180, 1, 1, 0, 0).question("slow.corp.", QType::a, QClass::in);
            const Bytes address { 10, 1, 1, 8 };
            b.record("slow.corp.", QType::a, QClass::in, 0, address);
            return b.bytes();
        }();
        ASSERT_TRUE(server->recursorCore().cache().putAnswer(
            *DnsName::fromText("slow.corp."), QType::a, old_answer, 1, RCode::no_error, false, false, 0));
        ::usleep(1'100'000);
        ASSERT_TRUE(server->start());

        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        auto ask = [&](std::uint16_t id) {
            Bytes query = ednsQuery("slow.corp", QType::a, id);
            ::sendto(fd, query.data(), query.size(), 0, server->listenAddr().sockaddrPtr(),
                server->listenAddr().sockaddrLen());
        };
        auto receive = [&]() -> std::optional<Bytes> {
            pollfd ready { fd, POLLIN, 0 };
            if (::poll(&ready, 1, 5000) != 1)
                return std::nullopt;
            Bytes reply(4096);
            reply.resize(
                static_cast<std::size_t>(std::max<ssize_t>(0, ::recv(fd, reply.data(), reply.size(), 0))));
            return reply;
        };
        for (std::uint16_t id = 1; id <= 3; ++id)
            ask(id);
        std::set<int> answered;
        for (int i = 0; i < 3; ++i) {
            auto reply = receive();
            ASSERT_TRUE(reply);
            auto message = DnsMessage::parse(*reply);
            ASSERT_TRUE(message);
            answered.insert(message->header.id());
            EXPECT_EQ(extendedError(*reply), std::optional<std::uint8_t>(extended_error_stale_answer));
            ASSERT_GE(message->records.size(), 1u);
            EXPECT_EQ(message->records[0].rdata.get<RDataTag::a>().addr[3], 8) << "the old address";
            EXPECT_EQ(message->records[0].ttl, stale_answer_ttl);
        }
        EXPECT_EQ(answered, (std::set<int> { 1, 2, 3 }));
        EXPECT_EQ(asked, 1) << "the joined clients shared the one resolution";
        // While that resolution goes on, a new client gets the stale answer at once, and starts no other.
        ask(5);
        auto meanwhile = receive();
        ASSERT_TRUE(meanwhile);
        EXPECT_EQ(extendedError(*meanwhile), std::optional<std::uint8_t>(extended_error_stale_answer));
        EXPECT_EQ(asked, 1);

        // Once the servers answer, the cache holds the fresh answer.
        ::usleep(1'500'000);
        ask(4);
        auto fresh = receive();
        ASSERT_TRUE(fresh);
        auto message = DnsMessage::parse(*fresh);
        ASSERT_TRUE(message);
        EXPECT_EQ(message->header.id(), 4);
        EXPECT_FALSE(extendedError(*fresh).has_value());
        ASSERT_GE(message->records.size(), 1u);
        EXPECT_EQ(message->records[0].rdata.get<RDataTag::a>().addr[3], 9);
        ::close(fd);
        server->stop();
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(server->metrics().stale_answers.load(), 4u);
    }

} // namespace
} // namespace recursor
