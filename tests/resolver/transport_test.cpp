// The upstream transport against fake authoritative servers on loopback: the request bytes, which
// datagrams count as the reply, attempts and their fixed deadlines, TCP fallback and its faults, fan-out.
#include "resolver/transport.h"

#include "resolver/upstream_cookies.h"

#include "base/clock.h"

#include "support/packet_builder.h"
#include "wire/header.h"
#include "wire/writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <set>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;
    using Clock = std::chrono::steady_clock;
    using namespace std::chrono_literals;
    using test::PacketBuilder;

    constexpr std::string_view qname_text = "www.example.test";

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    SocketAddress local(std::uint16_t port = 0, std::string_view host = "127.0.0.1")
    {
        return *SocketAddress::fromIpLiteral(host, port);
    }

    int boundSocket(int type, const SocketAddress& address)
    {
        const int fd = ::socket(address.family(), type | SOCK_CLOEXEC, 0);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::bind(fd, address.sockaddrPtr(), address.sockaddrLen()), 0);
        return fd;
    }

    SocketAddress boundAddress(int fd)
    {
        sockaddr_storage ss {};
        socklen_t len = sizeof ss;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
        return *SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&ss), len);
    }

    struct ReplyShape {
        std::optional<std::string_view> qname; // default: the query's question
        std::optional<QType> qtype;
        std::optional<QClass> qclass;
        std::uint16_t id_offset = 0;
        bool tc = false;
        std::uint32_t ttl = 300; // of the one A record, to tell replies apart
        std::optional<Bytes> cookie; // the data of a COOKIE option in an OPT record
        std::uint16_t rcode = 0; // with the upper bits in the OPT record when there is a cookie
    };

    Bytes replyTo(std::span<const std::uint8_t> query, const ReplyShape& shape = {})
    {
        const auto msg = *DnsMessage::parse(query);
        const DnsName qname = shape.qname ? name(*shape.qname) : msg.question_name;
        auto w = *PacketWriter::init(
            qname, shape.qtype.value_or(msg.question_type), shape.qclass.value_or(msg.question_class));
        const auto id = static_cast<std::uint16_t>(msg.header.id() + shape.id_offset);
        auto header = w.getHeader();
        header[0] = static_cast<std::uint8_t>(id >> 8);
        header[1] = static_cast<std::uint8_t>(id);
        header[2] = static_cast<std::uint8_t>(flag_qr | (shape.tc ? 0x02 : 0));
        header[3] = static_cast<std::uint8_t>(shape.rcode & 0x0F);
        if (!shape.tc && shape.rcode == 0) {
            EXPECT_TRUE(w.startRecord(qname, QType::a, QClass::in, shape.ttl, Section::answer));
            EXPECT_TRUE(w.writeIPv4({ 192, 0, 2, 1 }));
        }
        if (shape.cookie) {
            EXPECT_TRUE(w.startRecord(DnsName::root(), QType::opt, static_cast<QClass>(1232),
                static_cast<std::uint32_t>(shape.rcode >> 4) << 24, Section::additional));
            EXPECT_TRUE(w.writeBlob(PacketBuilder()
                                        .u16(option_cookie)
                                        .u16(static_cast<std::uint16_t>(shape.cookie->size()))
                                        .raw(*shape.cookie)
                                        .bytes()));
        }
        return *w.finish();
    }

    // The COOKIE option data of a query, if it has one.
    std::optional<Bytes> cookieOf(std::span<const std::uint8_t> query)
    {
        const auto msg = DnsMessage::parse(query);
        for (const DnsRecord& rec : msg->records) {
            const auto* raw = rec.rdata.getIf<RData::Unknown>();
            if (rec.rtype != QType::opt || !raw)
                continue;
            const auto found = findCookieOption(raw->data);
            if (!found || !*found)
                return std::nullopt;
            Bytes data((*found)->client.begin(), (*found)->client.end());
            data.insert(data.end(), (*found)->server.begin(), (*found)->server.end());
            return data;
        }
        return std::nullopt;
    }

    // The query's header turned into a reply with `rcode` and no question, as some servers send errors.
    Bytes bareHeader(std::span<const std::uint8_t> query, RCode rcode)
    {
        Bytes h(query.begin(), query.begin() + 12);
        h[2] = flag_qr, h[3] = static_cast<std::uint8_t>(rcode), h[5] = 0, h[11] = 0;
        return h;
    }

    Bytes framed(Bytes message)
    {
        const auto n = message.size();
        message.insert(message.begin(), { static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n) });
        return message;
    }

    struct Datagram {
        Bytes bytes;
        bool from_other_port = false;
        std::chrono::milliseconds delay { 0 }; // before sending it
    };
    using Script = std::function<std::vector<Datagram>(std::span<const std::uint8_t> query)>;

    // Answers each query with the datagrams its script gives, from its own port or a second one.
    class FakeUdpServer {
    public:
        explicit FakeUdpServer(Script script, const SocketAddress& at = local())
            : fd_(boundSocket(SOCK_DGRAM, at))
            , other_fd_(boundSocket(SOCK_DGRAM, local(0, at.isIPv6() ? "::1" : "127.0.0.1")))
            , script_(std::move(script))
            , thread_([this] { run(); })
        {
        }
        ~FakeUdpServer()
        {
            stop();
            ::close(fd_);
            ::close(other_fd_);
        }

        SocketAddress address() const { return boundAddress(fd_); }

        // Ends the server once it has read what is already queued; every query it read, in order.
        const std::vector<Bytes>& stop()
        {
            stop_ = true;
            if (thread_.joinable())
                thread_.join();
            return queries_;
        }

    private:
        void run()
        {
            while (!stop_) {
                pollfd p { .fd = fd_, .events = POLLIN, .revents = 0 };
                if (::poll(&p, 1, 10) == 1)
                    serveOne();
            }
            while (readQuery(MSG_DONTWAIT)) { }
        }

        std::optional<SocketAddress> readQuery(int flags)
        {
            Bytes buf(4096);
            sockaddr_storage ss {};
            socklen_t len = sizeof ss;
            const ssize_t n
                = ::recvfrom(fd_, buf.data(), buf.size(), flags, reinterpret_cast<sockaddr*>(&ss), &len);
            if (n < 0)
                return std::nullopt;
            buf.resize(static_cast<std::size_t>(n));
            queries_.push_back(std::move(buf));
            return SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&ss), len);
        }

        void serveOne()
        {
            const auto client = readQuery(0);
            if (!client)
                return;
            for (const Datagram& d : script_(queries_.back())) {
                for (auto waited = 0ms; waited < d.delay && !stop_; waited += 10ms)
                    std::this_thread::sleep_for(10ms);
                if (stop_)
                    return;
                ::sendto(d.from_other_port ? other_fd_ : fd_, d.bytes.data(), d.bytes.size(), 0,
                    client->sockaddrPtr(), client->sockaddrLen());
            }
        }

        int fd_;
        int other_fd_;
        Script script_;
        std::atomic<bool> stop_ { false };
        std::vector<Bytes> queries_;
        std::thread thread_;
    };

    struct TcpReply {
        Bytes bytes; // written as they are: the test frames them
        bool hold_open = false; // keep the connection open, silent, until the server stops
    };

    // One connection at a time: reads one framed query, writes the reply, closes.
    class FakeTcpServer {
    public:
        explicit FakeTcpServer(
            std::function<TcpReply(std::span<const std::uint8_t>)> respond, const SocketAddress& at = local())
            : fd_(boundSocket(SOCK_STREAM, at))
            , respond_(std::move(respond))
        {
            EXPECT_EQ(::listen(fd_, 4), 0);
            thread_ = std::thread([this] { run(); });
        }
        ~FakeTcpServer()
        {
            stop_ = true;
            thread_.join();
            ::close(fd_);
        }

        SocketAddress address() const { return boundAddress(fd_); }
        int exchanges() const { return exchanges_; }
        Bytes lastQuery() const { return last_query_; } // read once the exchange is over

    private:
        void run()
        {
            while (!stop_) {
                pollfd p { .fd = fd_, .events = POLLIN, .revents = 0 };
                if (::poll(&p, 1, 10) != 1)
                    continue;
                const int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (conn >= 0) {
                    serve(conn);
                    ::close(conn);
                }
            }
        }

        void serve(int conn)
        {
            const timeval wait { 2, 0 };
            ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
            std::uint8_t prefix[2];
            if (::recv(conn, prefix, 2, MSG_WAITALL) != 2)
                return;
            Bytes query((prefix[0] << 8) | prefix[1]);
            if (::recv(conn, query.data(), query.size(), MSG_WAITALL) != static_cast<ssize_t>(query.size()))
                return;
            last_query_ = query;
            ++exchanges_; // before the reply, which is what the client waits for
            const TcpReply reply = respond_(query);
            ::send(conn, reply.bytes.data(), reply.bytes.size(), MSG_NOSIGNAL);
            while (reply.hold_open && !stop_)
                std::this_thread::sleep_for(10ms);
        }

        int fd_;
        std::function<TcpReply(std::span<const std::uint8_t>)> respond_;
        std::atomic<bool> stop_ { false };
        std::atomic<int> exchanges_ { 0 };
        Bytes last_query_;
        std::thread thread_;
    };

    UpstreamSettings engine(std::uint32_t timeout_ms, std::uint8_t attempts = 1, bool tcp_fallback = true)
    {
        return UpstreamSettings {
            .timeout_ms = timeout_ms, .attempts = attempts, .tcp_fallback = tcp_fallback
        };
    }

    template <typename T> std::optional<TransportError> errorOf(const TransportResult<T>& result)
    {
        return result ? std::nullopt : std::optional(result.error());
    }

    TransportResult<QueryResult> ask(const UpstreamSettings& eng, const SocketAddress& server)
    {
        return queryUpstream(eng, server, name(qname_text), QType::a);
    }

    TEST(UpstreamRequest, IsAPlainQuestionWithDnssecOkOpt)
    {
        const auto request = prepareUpstreamRequest(name("www.Example.test"), QType::aaaa);
        ASSERT_TRUE(request);
        const Bytes& p = request->packet;
        ASSERT_GE(p.size(), 2u);
        const Bytes expected = PacketBuilder()
                                   .raw({ p[0], p[1] })
                                   .raw({ 0, 0, 0, 1, 0, 0, 0, 0, 0, 1 }) // every flag clear, QD 1, AR 1
                                   .question("www.Example.test", QType::aaaa, QClass::in)
                                   .raw({ 0, 0, 41, 0x04, 0xD0, 0, 0, 0x80, 0, 0, 0 }) // OPT 1232, DO
                                   .bytes();
        EXPECT_EQ(p, expected);
        EXPECT_EQ(request->query_id, (p[0] << 8) | p[1]);

        // A forwarder is asked to recurse: RD alone among the flags, the rest of the packet unchanged.
        const auto forwarded = prepareUpstreamRequest(name("www.Example.test"), QType::aaaa, true);
        ASSERT_TRUE(forwarded);
        Bytes with_rd = expected;
        with_rd[0] = forwarded->packet[0];
        with_rd[1] = forwarded->packet[1];
        with_rd[2] = 0x01;
        EXPECT_EQ(forwarded->packet, with_rd);

        std::set<std::uint16_t> ids;
        for (int i = 0; i < 16; ++i)
            ids.insert(prepareUpstreamRequest(name("a.test"), QType::a)->query_id);
        EXPECT_GT(ids.size(), 1u); // sixteen equal random IDs: odds of 2^-240

        EXPECT_EQ(errorOf(prepareUpstreamRequest(DnsName {}, QType::a)), TransportError::QueryBuildError);
    }

    TEST(Transport, JudgesRepliesByIdFlagsOpcodeAndExactlyTheOneQuestion)
    {
        using enum ReplyVerdict;
        const ExpectedQuestion question { .qname = name("a.test"), .qtype = QType::a, .qclass = QClass::in };
        const auto header = [](std::uint16_t id, std::uint16_t qdcount, std::uint16_t flags = 0x8000) {
            return PacketBuilder().header(id, flags, qdcount, 0, 0, 0);
        };
        const std::uint8_t address[] = { 192, 0, 2, 1 };
        struct Case {
            const char* label;
            Bytes packet;
            ReplyVerdict expected;
        };
        const std::vector<Case> cases = {
            { "matching", header(7, 1).question("a.test", QType::a, QClass::in).bytes(), reply },
            { "name in other case", header(7, 1).question("A.TesT", QType::a, QClass::in).bytes(), reply },
            { "other ID", header(8, 1).question("a.test", QType::a, QClass::in).bytes(), stray },
            // A query, not a response (RFC 1035 §4.1.1): a reflection of ours, or a stranger's question.
            { "QR clear", header(7, 1, 0x0000).question("a.test", QType::a, QClass::in).bytes(), stray },
            { "opcode STATUS", header(7, 1, 0x9000).question("a.test", QType::a, QClass::in).bytes(), stray },
            { "opcode NOTIFY", header(7, 1, 0xA000).question("a.test", QType::a, QClass::in).bytes(), stray },
            { "header only", header(7, 0).bytes(), stray },
            { "QDCOUNT 0 with a question", header(7, 0).question("a.test", QType::a, QClass::in).bytes(),
                stray },
            { "no question, NOERROR with an answer",
                header(7, 0).patchU16(6, 1).record("a.test", QType::a, QClass::in, 300, address).bytes(),
                stray },
            // A bare header with an error RCODE: the server's failure, told at once.
            { "header only, FORMERR", header(7, 0, 0x8001).bytes(), error_without_question },
            { "header only, SERVFAIL", header(7, 0, 0x8002).bytes(), error_without_question },
            { "header only, NOTIMP", header(7, 0, 0x8004).bytes(), error_without_question },
            { "header only, REFUSED", header(7, 0, 0x8005).bytes(), error_without_question },
            { "header only, REFUSED, other ID", header(8, 0, 0x8005).bytes(), stray },
            { "header only, REFUSED, QR clear", header(7, 0, 0x0005).bytes(), stray },
            { "header only, REFUSED, opcode NOTIFY", header(7, 0, 0xA005).bytes(), stray },
            { "two questions",
                header(7, 2)
                    .question("a.test", QType::a, QClass::in)
                    .question("a.test", QType::a, QClass::in)
                    .bytes(),
                stray },
            { "other name", header(7, 1).question("b.test", QType::a, QClass::in).bytes(), stray },
            { "parent name", header(7, 1).question("test", QType::a, QClass::in).bytes(), stray },
            { "other type", header(7, 1).question("a.test", QType::aaaa, QClass::in).bytes(), stray },
            { "other class", header(7, 1).question("a.test", QType::a, QClass::chaos).bytes(), stray },
            { "class cut off", header(7, 1).name("a.test").u16(1).u8(0).bytes(), stray },
            { "name cut off", header(7, 1).label("a").bytes(), stray },
            { "pointer as the name", header(7, 1).pointer(12).u16(1).u16(1).bytes(), stray },
            { "eleven bytes", Bytes { 0, 7, 0x80, 0, 0, 1, 0, 0, 0, 0, 0 }, stray },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(judgeReply(c.packet, 7, question), c.expected);
            EXPECT_EQ(isReplyTo(c.packet, 7, question), c.expected == reply);
        }
    }

    // Every datagram before the real reply is dropped; those from the server asked are counted as strays,
    // and one from another port never reaches the connected socket at all.
    TEST(Transport, DropsDatagramsThatDoNotAnswerTheQuery)
    {
        struct Case {
            const char* label;
            std::function<Datagram(std::span<const std::uint8_t>)> first;
            bool first_accepted;
            std::uint64_t strays_counted;
        };
        const auto with_flags = [](std::span<const std::uint8_t> q, std::uint8_t byte2) {
            Bytes r = replyTo(q, { .ttl = 7 });
            r[2] = byte2;
            return Datagram { r };
        };
        const std::vector<Case> cases = {
            { "other ID", [](auto q) { return Datagram { replyTo(q, { .id_offset = 1, .ttl = 7 }) }; }, false,
                1 },
            { "other source port",
                [](auto q) {
                    return Datagram { replyTo(q, { .ttl = 7 }), /*from_other_port=*/true };
                },
                false, 0 },
            { "other name", [](auto q) { return Datagram { replyTo(q, { .qname = "x.test", .ttl = 7 }) }; },
                false, 1 },
            { "other type",
                [](auto q) { return Datagram { replyTo(q, { .qtype = QType::aaaa, .ttl = 7 }) }; }, false,
                1 },
            { "other class",
                [](auto q) { return Datagram { replyTo(q, { .qclass = QClass::chaos, .ttl = 7 }) }; }, false,
                1 },
            { "QR clear", [&](auto q) { return with_flags(q, 0x00); }, false, 1 },
            { "opcode UPDATE", [&](auto q) { return with_flags(q, flag_qr | (5 << 3)); }, false, 1 },
            { "header only, NOERROR", [](auto q) { return Datagram { bareHeader(q, RCode::no_error) }; },
                false, 1 },
            { "eleven bytes", [&](auto q) { return Datagram { Bytes(q.begin(), q.begin() + 11) }; }, false,
                1 },
            { "name in other case",
                [](auto q) { return Datagram { replyTo(q, { .qname = "WWW.Example.TEST", .ttl = 7 }) }; },
                true, 0 },
            // RFC 7873 §5.3: a forger who guessed ID and port still cannot know our client cookie.
            { "another client cookie echoed",
                [](auto q) {
                    Bytes forged = *cookieOf(q);
                    forged[0] ^= 1;
                    return Datagram { replyTo(q, { .ttl = 7, .cookie = forged }) };
                },
                false, 0 },
            { "our client cookie echoed",
                [](auto q) { return Datagram { replyTo(q, { .ttl = 7, .cookie = cookieOf(q) }) }; }, true,
                0 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            FakeUdpServer server([&](auto q) { return std::vector { c.first(q), Datagram { replyTo(q) } }; });
            const std::uint64_t strays_before = upstreamStrayDatagrams();
            const std::uint64_t mismatches_before = upstreamCookieMismatches();
            const auto result = ask(engine(2000), server.address());
            ASSERT_TRUE(result) << errorName(result.error());
            ASSERT_GE(result->response.records.size(), 1u);
            EXPECT_EQ(result->response.records[0].ttl, c.first_accepted ? 7u : 300u);
            EXPECT_EQ(result->from, server.address());
            EXPECT_EQ(upstreamStrayDatagrams() - strays_before, c.strays_counted);
            EXPECT_EQ(upstreamCookieMismatches() - mismatches_before,
                std::string_view(c.label) == "another client cookie echoed" ? 1u : 0u);
        }
    }

    TEST(UpstreamCookies, EachServerHasItsOwnClientCookieAndGetsItsServerCookieBack)
    {
        const Bytes server_cookie { 1, 0, 0, 0, 0x5c, 0xf7, 0x9f, 0x11, 0x1f, 0x81, 0x30, 0xc3, 0xee, 0xe2,
            0x94, 0x80 };
        const auto script = [&](std::span<const std::uint8_t> q) {
            Bytes cookie = cookieOf(q).value_or(Bytes {});
            cookie.resize(client_cookie_size);
            cookie.insert(cookie.end(), server_cookie.begin(), server_cookie.end());
            return std::vector { Datagram { replyTo(q, { .cookie = cookie }) } };
        };
        FakeUdpServer first(script);
        FakeUdpServer second(script);
        ASSERT_TRUE(ask(engine(2000), first.address()));
        ASSERT_TRUE(ask(engine(2000), first.address()));
        ASSERT_TRUE(ask(engine(2000), second.address()));
        const auto& to_first = first.stop();
        const auto& to_second = second.stop();
        ASSERT_EQ(to_first.size(), 2u);
        ASSERT_EQ(to_second.size(), 1u);
        const Bytes cookie_first = cookieOf(to_first[0]).value_or(Bytes {});
        ASSERT_EQ(cookie_first.size(), client_cookie_size) << "the first query knows no server cookie";
        Bytes remembered = cookie_first;
        remembered.insert(remembered.end(), server_cookie.begin(), server_cookie.end());
        EXPECT_EQ(cookieOf(to_first[1]), remembered) << "the second sends the server cookie back";
        // Cookies go by address (RFC 7873 §5.1): the second server listens on 127.0.0.1 too.
        EXPECT_EQ(cookieOf(to_second[0]), remembered);
        const UpstreamCookies& cookies = UpstreamCookies::process();
        EXPECT_NE(cookies.clientCookieFor(local(53, "127.0.0.2")), cookies.clientCookieFor(local(53)));
        EXPECT_NE(cookies.clientCookieFor(local(53, "::1")), cookies.clientCookieFor(local(53)));
        EXPECT_EQ(cookies.clientCookieFor(local(54)), cookies.clientCookieFor(local(53)));
    }

    TEST(UpstreamCookies, ABadcookieReplyIsAskedAgainOnceWithTheFreshCookie)
    {
        const Bytes fresh { 1, 0, 0, 0, 9, 9, 9, 9, 8, 8, 8, 8, 7, 7, 7, 7 };
        for (const bool keeps_refusing : { false, true }) {
            SCOPED_TRACE(keeps_refusing ? "a server that keeps saying BADCOOKIE" : "a server that takes it");
            FakeUdpServer server(
                [&](std::span<const std::uint8_t> q) {
                    Bytes cookie = cookieOf(q).value_or(Bytes {});
                    const bool has_fresh = cookie.size() == client_cookie_size + fresh.size()
                        && std::equal(fresh.begin(), fresh.end(), cookie.begin() + client_cookie_size);
                    cookie.resize(client_cookie_size);
                    cookie.insert(cookie.end(), fresh.begin(), fresh.end());
                    const std::uint16_t rcode = has_fresh && !keeps_refusing ? 0 : rcode_badcookie;
                    return std::vector { Datagram { replyTo(q, { .cookie = cookie, .rcode = rcode }) } };
                },
                local(0, keeps_refusing ? "127.0.0.3" : "127.0.0.4"));
            const auto result = ask(engine(2000), server.address());
            ASSERT_TRUE(result) << errorName(result.error());
            EXPECT_EQ(isBadCookie(result->response), keeps_refusing);
            EXPECT_EQ(server.stop().size(), 2u) << "one retry, and no more";
        }
    }

    TEST(UpstreamCookies, RemembersABoundedNumberOfServers)
    {
        UpstreamCookies cookies(SipHashKey {});
        for (std::uint32_t i = 0; i < UpstreamCookies::max_servers + 10; ++i) {
            const auto server = local(53,
                ("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 0xFF) + "."
                    + std::to_string(i & 0xFF))
                    .c_str());
            const ClientCookie client = cookies.clientCookieFor(server);
            Bytes option = PacketBuilder()
                               .u16(option_cookie)
                               .u16(16)
                               .raw(Bytes(client.begin(), client.end()))
                               .raw(Bytes(8, 1))
                               .bytes();
            EXPECT_EQ(cookies.takeReply(server, option), UpstreamCookies::Echo::ours);
        }
        EXPECT_EQ(cookies.serversRemembered(), UpstreamCookies::max_servers);
        const auto server = local(53, "10.0.0.0"); // the oldest, forgotten
        EXPECT_EQ(cookies.optionFor(server).size(), client_cookie_size);
        const auto newest = local(53, "10.0.32.9");
        EXPECT_EQ(cookies.optionFor(newest).size(), client_cookie_size + 8);
        EXPECT_EQ(cookies.takeReply(newest, PacketBuilder().u16(option_cookie).u16(9).raw(Bytes(9)).bytes()),
            UpstreamCookies::Echo::forged);
        EXPECT_EQ(cookies.takeReply(newest, {}), UpstreamCookies::Echo::none);
    }

    // A bare header with an error RCODE from the server asked ends its exchange at once, where it used to
    // be dropped as a stray and the timeout waited out; a bare NOERROR stays a stray.
    TEST(Transport, BareErrorHeaderFromTheServerFailsTheExchangeAtOnce)
    {
        struct Case {
            const char* label;
            RCode rcode;
            std::optional<TransportError> expected;
        };
        const std::vector<Case> cases = {
            { "FORMERR", RCode::form_err, TransportError::ErrorReply },
            { "SERVFAIL", RCode::serv_fail, TransportError::ErrorReply },
            { "NOTIMP", RCode::not_imp, TransportError::ErrorReply },
            { "REFUSED", RCode::refused, TransportError::ErrorReply },
            { "NOERROR", RCode::no_error, TransportError::Timeout },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            FakeUdpServer server([&](auto q) { return std::vector { Datagram { bareHeader(q, c.rcode) } }; });
            const auto start = Clock::now();
            EXPECT_EQ(errorOf(ask(engine(500), server.address())), c.expected);
            if (c.expected == TransportError::ErrorReply) {
                EXPECT_LT(Clock::now() - start, 400ms);
            }
        }
    }

    TEST(Transport, StrayDatagramsDoNotExtendTheAttempt)
    {
        FakeUdpServer server([](auto q) {
            std::vector<Datagram> strays;
            for (int i = 0; i < 40; ++i) // every 50 ms for 2 s
                strays.push_back(Datagram { replyTo(q, { .id_offset = 1 }), false, 50ms });
            return strays;
        });
        const auto start = Clock::now();
        const auto result = ask(engine(300), server.address());
        const auto elapsed = Clock::now() - start;
        EXPECT_EQ(errorOf(result), TransportError::Timeout);
        EXPECT_GE(elapsed, 300ms);
        EXPECT_LT(elapsed, 1000ms);
    }

    TEST(Transport, EveryAttemptSendsTheSameQueryOnce)
    {
        for (const std::uint8_t attempts : { 0, 1, 2 }) {
            FakeUdpServer silent([](auto) { return std::vector<Datagram> {}; });
            EXPECT_EQ(errorOf(ask(engine(100, attempts), silent.address())), TransportError::Timeout);
            const auto& queries = silent.stop();
            ASSERT_EQ(queries.size(), attempts);
            if (attempts == 2) {
                EXPECT_EQ(queries[0], queries[1]);
            }
        }
    }

    TEST(Transport, AnswersOverIPv6Loopback)
    {
        FakeUdpServer server([](auto q) { return std::vector { Datagram { replyTo(q) } }; }, local(0, "::1"));
        const auto result = ask(engine(2000), server.address());
        ASSERT_TRUE(result) << errorName(result.error());
        EXPECT_EQ(result->from, server.address());
    }

    TEST(Transport, TruncatedAnswerIsAskedAgainOverTcpWithTheSameId)
    {
        // UDP first, then TCP on the same port.
        FakeUdpServer udp([](auto q) { return std::vector { Datagram { replyTo(q, { .tc = true }) } }; });
        FakeTcpServer tcp([](auto q) { return TcpReply { framed(replyTo(q)) }; }, udp.address());
        ASSERT_EQ(udp.address(), tcp.address()) << "TCP port already taken";

        const auto result = ask(engine(2000), udp.address());
        ASSERT_TRUE(result) << errorName(result.error());
        EXPECT_FALSE(result->response.header.tc());
        EXPECT_EQ(result->response.records.size(), 1u);
        EXPECT_EQ(tcp.exchanges(), 1);
        EXPECT_EQ(tcp.lastQuery(), udp.stop().at(0));

        FakeUdpServer no_fallback(
            [](auto q) { return std::vector { Datagram { replyTo(q, { .tc = true }) } }; });
        EXPECT_EQ(errorOf(ask(engine(2000, 1, false), no_fallback.address())), TransportError::Truncated);
    }

    TEST(Transport, TcpFaultsAreReported)
    {
        const auto request = *prepareUpstreamRequest(name(qname_text), QType::a);
        const ExpectedQuestion question { .qname = name(qname_text) };
        struct Case {
            const char* label;
            std::function<TcpReply(std::span<const std::uint8_t>)> respond;
            std::optional<TransportError> expected; // none: answered
        };
        const std::vector<Case> cases = {
            { "well-formed", [](auto q) { return TcpReply { framed(replyTo(q)) }; }, std::nullopt },
            // Refused on the prefix alone, before waiting for a body that never comes.
            { "length prefix 11",
                [](auto) {
                    return TcpReply { { 0, 11 }, true };
                },
                TransportError::ParseError },
            { "other ID", [](auto q) { return TcpReply { framed(replyTo(q, { .id_offset = 1 })) }; },
                TransportError::ParseError },
            { "other question",
                [](auto q) { return TcpReply { framed(replyTo(q, { .qtype = QType::mx })) }; },
                TransportError::ParseError },
            { "record missing",
                [](auto q) {
                    Bytes r = replyTo(q);
                    r[7] = 2; // ANCOUNT 2, one present
                    return TcpReply { framed(r) };
                },
                TransportError::ParseError },
            { "closed mid-reply",
                [](auto q) {
                    Bytes r = framed(replyTo(q));
                    r.resize(r.size() - 5);
                    return TcpReply { r };
                },
                TransportError::NetworkError },
            { "bare REFUSED header",
                [](auto q) { return TcpReply { framed(bareHeader(q, RCode::refused)) }; },
                TransportError::ErrorReply },
            { "closed before the length", [](auto) { return TcpReply {}; }, TransportError::NetworkError },
            { "silent",
                [](auto) {
                    return TcpReply { {}, true };
                },
                TransportError::Timeout },
        };
        for (const Case& c : cases) {
            FakeTcpServer server(c.respond);
            const auto result = queryTcp(server.address(), request.packet, request.query_id, question, 300);
            EXPECT_EQ(errorOf(result), c.expected) << c.label;
            if (result) {
                EXPECT_EQ(result->response.records.size(), 1u) << c.label;
            }
        }

        const int closed = boundSocket(SOCK_STREAM, local());
        const SocketAddress nobody = boundAddress(closed);
        ::close(closed);
        EXPECT_EQ(errorOf(queryTcp(nobody, request.packet, request.query_id, question, 300)),
            TransportError::NetworkError);
        const Bytes huge(65536, 0);
        EXPECT_EQ(errorOf(queryTcp(nobody, huge, 0, question, 300)), TransportError::QueryBuildError);
    }

    TEST(Transport, FanoutSkipsAddressesThatCannotBeUsed)
    {
        // No address family: no socket. Port 0: no server to connect to. Neither leaves the host.
        const SocketAddress unusable[] = { SocketAddress {}, local(0) };
        FakeUdpServer server([](auto q) { return std::vector { Datagram { replyTo(q) } }; });
        for (const SocketAddress& bad : unusable) {
            const SocketAddress addresses[] = { bad, server.address() };
            const auto result = queryUpstreamFanout(engine(2000), addresses, name(qname_text), QType::a);
            ASSERT_TRUE(result) << errorName(result.error());
            EXPECT_EQ(result->from, server.address());
        }
        EXPECT_EQ(errorOf(queryUpstreamFanout(engine(100), unusable, name(qname_text), QType::a)),
            TransportError::NetworkError);
        EXPECT_EQ(errorOf(queryUpstreamFanout(engine(100), {}, name(qname_text), QType::a)),
            TransportError::NetworkError);
        EXPECT_EQ(errorOf(ask(engine(100), local(0))), TransportError::NetworkError);
    }

    TEST(Transport, FanoutWaitsForTheOthersWhenOneServerSendsABareError)
    {
        FakeUdpServer refusing(
            [](auto q) { return std::vector { Datagram { bareHeader(q, RCode::refused) } }; });
        FakeUdpServer failing(
            [](auto q) { return std::vector { Datagram { bareHeader(q, RCode::serv_fail) } }; });
        FakeUdpServer answering([](auto q) { return std::vector { Datagram { replyTo(q), false, 100ms } }; });
        const SocketAddress one_answers[] = { refusing.address(), answering.address() };
        const auto result = queryUpstreamFanout(engine(2000), one_answers, name(qname_text), QType::a);
        ASSERT_TRUE(result) << errorName(result.error());
        EXPECT_EQ(result->from, answering.address());

        const SocketAddress none_answers[] = { refusing.address(), failing.address() };
        const auto start = Clock::now();
        EXPECT_EQ(errorOf(queryUpstreamFanout(engine(2000), none_answers, name(qname_text), QType::a)),
            TransportError::ErrorReply);
        EXPECT_LT(Clock::now() - start, 1000ms);
    }

    // Both answers must be queued before the client looks: the client runs in a child process that is
    // stopped while the two servers reply, the later one in set order first.
    TEST(Transport, FanoutPrefersTheEarlierServerWhenBothAnswerInOneWakeUp)
    {
        const int first = boundSocket(SOCK_DGRAM, local());
        const int second = boundSocket(SOCK_DGRAM, local());
        const SocketAddress addresses[] = { boundAddress(first), boundAddress(second) };
        int result_pipe[2];
        ASSERT_EQ(::pipe(result_pipe), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        // Never leave the child behind, stopped or running, when an assertion ends the test early.
        struct Reaper {
            pid_t pid;
            ~Reaper()
            {
                if (pid > 0) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, nullptr, 0);
                }
            }
        } reaper { child };
        if (child == 0) {
            const auto result = queryUpstreamFanout(engine(3000), addresses, name(qname_text), QType::a);
            const std::uint16_t port = result ? result->from.port() : 0;
            const bool written = ::write(result_pipe[1], &port, sizeof port) == sizeof port;
            ::_exit(written ? 0 : 1);
        }
        ::close(result_pipe[1]);

        Bytes queries[2];
        SocketAddress client[2];
        for (int i = 0; i < 2; ++i) {
            const int fd = i == 0 ? first : second;
            pollfd p { .fd = fd, .events = POLLIN, .revents = 0 };
            ASSERT_EQ(::poll(&p, 1, 5000), 1);
            queries[i].resize(512);
            sockaddr_storage ss {};
            socklen_t len = sizeof ss;
            const ssize_t n
                = ::recvfrom(fd, queries[i].data(), 512, 0, reinterpret_cast<sockaddr*>(&ss), &len);
            ASSERT_GT(n, 0);
            queries[i].resize(static_cast<std::size_t>(n));
            client[i] = *SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&ss), len);
        }
        EXPECT_EQ(queries[0], queries[1]); // one ID for the whole fan-out

        ASSERT_EQ(::kill(child, SIGSTOP), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, WUNTRACED), child);
        for (const int i : { 1, 0 }) {
            const Bytes reply = replyTo(queries[i]);
            ::sendto(i == 0 ? first : second, reply.data(), reply.size(), 0, client[i].sockaddrPtr(),
                client[i].sockaddrLen());
        }
        std::this_thread::sleep_for(50ms); // loopback delivery
        ::kill(child, SIGCONT);

        std::uint16_t port = 0;
        EXPECT_EQ(::read(result_pipe[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
        EXPECT_EQ(port, addresses[0].port());
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        reaper.pid = 0;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ::close(result_pipe[0]);
        ::close(first);
        ::close(second);
    }

} // namespace
} // namespace recursor

namespace recursor {
namespace {

    std::uint16_t portOf(int fd)
    {
        sockaddr_storage bound {};
        socklen_t len = sizeof bound;
        EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
        return SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&bound), len)->port();
    }

    std::pair<std::uint16_t, std::uint16_t> ephemeralRange()
    {
        std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
        unsigned low = 0, high = 0;
        in >> low >> high;
        return { static_cast<std::uint16_t>(low), static_cast<std::uint16_t>(high) };
    }

    // Upstream sockets used to be thousands of pooled sockets on the wildcard address: a stranger could
    // fill them with junk, plant a reply ahead of the question, and guess among fewer ports. Each
    // exchange's socket now takes datagrams only from its server, and its port is a fresh draw.
    TEST(UpstreamSocket, TakesDatagramsOnlyFromItsServer)
    {
        const int server = boundSocket(SOCK_DGRAM, local());
        const int stranger = boundSocket(SOCK_DGRAM, local());
        auto socket = openConnectedUdpSocket(boundAddress(server));
        ASSERT_TRUE(socket);
        const SocketAddress ours = local(portOf(socket->get()));
        const std::uint8_t junk[] = { 1, 2, 3 }, reply[] = { 4, 5 };
        ASSERT_EQ(::sendto(stranger, junk, sizeof junk, 0, ours.sockaddrPtr(), ours.sockaddrLen()), 3);
        ASSERT_EQ(::sendto(server, reply, sizeof reply, 0, ours.sockaddrPtr(), ours.sockaddrLen()), 2);
        pollfd p { .fd = socket->get(), .events = POLLIN, .revents = 0 };
        ASSERT_EQ(::poll(&p, 1, 1000), 1);
        std::uint8_t buf[16];
        EXPECT_EQ(::recv(socket->get(), buf, sizeof buf, MSG_DONTWAIT), 2) << "the server's datagram, alone";
        EXPECT_EQ(::recv(socket->get(), buf, sizeof buf, MSG_DONTWAIT), -1);
        EXPECT_EQ(errno, EAGAIN);
        ::close(server);
        ::close(stranger);

        EXPECT_FALSE(openConnectedUdpSocket(SocketAddress {}));
        EXPECT_FALSE(openConnectedUdpSocket(local(0)));
    }

    // The pooled sockets used to raise the descriptor limit; each exchange's own socket needs it as much.
    TEST(UpstreamSocket, RaisesTheSoftDescriptorLimitWithinTheHardOne)
    {
        rlimit saved {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
        if (saved.rlim_max < 2048)
            GTEST_SKIP() << "hard descriptor limit below 2048";
        rlimit low = saved;
        low.rlim_cur = 1024;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
        EXPECT_EQ(raiseDescriptorLimit(2048), 2048u);
        EXPECT_EQ(raiseDescriptorLimit(1024), 2048u) << "never lowered";
        if (saved.rlim_max != RLIM_INFINITY) {
            EXPECT_EQ(raiseDescriptorLimit(saved.rlim_max + 1), saved.rlim_max);
        }
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    }

    // 1000 draws from the ephemeral range's ~28000 ports give about 983 distinct ports; a pool of 4096
    // gives about 890, and a sequential choice 1000 neighbours.
    TEST(UpstreamSocket, PortsAreFreshDrawsFromTheWholeEphemeralRange)
    {
        const auto [low, high] = ephemeralRange();
        ASSERT_GT(high, low);
        const SocketAddress server = local(53);
        std::set<std::uint16_t> ports;
        std::uint16_t lowest = high, highest = low;
        constexpr int draws = 1000;
        for (int i = 0; i < draws; ++i) {
            auto socket = openConnectedUdpSocket(server);
            ASSERT_TRUE(socket);
            const std::uint16_t port = portOf(socket->get());
            ports.insert(port);
            lowest = std::min(lowest, port);
            highest = std::max(highest, port);
        }
        const double range = high - low + 1;
        const double expected = range * (1 - std::exp(-draws / range));
        EXPECT_GE(lowest, low);
        EXPECT_LE(highest, high);
        EXPECT_GT(static_cast<double>(ports.size()), expected - 30) << "expected about " << expected;
        EXPECT_GT(highest - lowest, (high - low) * 9 / 10) << "spread over the whole range";
    }

} // namespace
} // namespace recursor

namespace recursor {
namespace {

    // What a race told its observer, one line per event; only NOERROR settles it.
    struct RecordingObserver final : RaceObserver {
        void asked(const SocketAddress& s) override { events.push_back("asked " + s.toString()); }
        void replied(const SocketAddress& s, std::int64_t) override
        {
            events.push_back("reply " + s.toString());
        }
        void timedOut(const SocketAddress& s) override { events.push_back("timeout " + s.toString()); }
        bool settles(const SocketAddress&, const DnsMessage& reply) override
        {
            return reply.header.rcode() == RCode::no_error;
        }
        std::vector<std::string> events;
    };

    // A step's servers overlap: a silent one is joined by the next once its own timeout has passed, a
    // refusal makes way for the next at once, and no more than three are waited on together.
    TEST(Transport, RaceAsksTheNextServerAfterATimeoutOrARefusalAndBoundsWhatIsInFlight)
    {
        const UpstreamSettings engine { .timeout_ms = 300, .attempts = 1, .tcp_fallback = true };
        FakeUdpServer answering([](auto q) { return std::vector { Datagram { replyTo(q) } }; });
        FakeUdpServer refusing([](auto q) {
            Bytes refused = replyTo(q);
            refused[3] = static_cast<std::uint8_t>(RCode::refused);
            return std::vector { Datagram { refused } };
        });
        std::vector<std::unique_ptr<FakeUdpServer>> silent;
        for (int i = 0; i < 4; ++i)
            silent.push_back(std::make_unique<FakeUdpServer>([](auto) { return std::vector<Datagram> {}; }));
        const std::string a = answering.address().toString(), r = refusing.address().toString(),
                          s = silent[0]->address().toString();
        NetworkTransport transport;
        auto race = [&](std::vector<ServerAttempt> attempts, RecordingObserver& seen) {
            return transport.race(engine, attempts, name(qname_text), QType::a, monotonicMs() + 2000, seen);
        };

        RecordingObserver seen;
        auto start = Clock::now();
        auto result = race({ { silent[0]->address(), 100 }, { answering.address(), 300 } }, seen);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->from, answering.address());
        EXPECT_GE(Clock::now() - start, 100ms);
        EXPECT_EQ(seen.events,
            (std::vector<std::string> { "asked " + s, "timeout " + s, "asked " + a, "reply " + a }));

        seen.events.clear();
        start = Clock::now();
        result = race({ { refusing.address(), 300 }, { answering.address(), 300 } }, seen);
        ASSERT_TRUE(result);
        EXPECT_LT(Clock::now() - start, 250ms) << "a refusal is not waited out";
        EXPECT_EQ(seen.events,
            (std::vector<std::string> { "asked " + r, "reply " + r, "asked " + a, "reply " + a }));

        // A bare REFUSED header, no question: the server failed, the next is asked at once.
        FakeUdpServer bare([](auto q) { return std::vector { Datagram { bareHeader(q, RCode::refused) } }; });
        const std::string b = bare.address().toString();
        seen.events.clear();
        start = Clock::now();
        result = race({ { bare.address(), 300 }, { answering.address(), 300 } }, seen);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->from, answering.address());
        EXPECT_LT(Clock::now() - start, 250ms) << "a bare error is not waited out";
        EXPECT_EQ(seen.events, (std::vector<std::string> { "asked " + b, "asked " + a, "reply " + a }));

        seen.events.clear();
        std::vector<ServerAttempt> all_silent;
        for (const auto& server : silent)
            all_silent.push_back({ server->address(), 20 });
        start = Clock::now();
        result = race(all_silent, seen);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), TransportError::Timeout);
        EXPECT_EQ(
            std::ranges::count_if(seen.events, [](const std::string& e) { return e.starts_with("asked"); }),
            4);
        EXPECT_GE(Clock::now() - start, 300ms)
            << "the fourth waited for one of the first three to be given up";
    }

} // namespace
} // namespace recursor
