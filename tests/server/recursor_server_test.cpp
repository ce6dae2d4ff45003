// The query path of the server: FORMERR/SERVFAIL shaping, cache hits, truncation and counting,
// then the running service over real UDP sockets on loopback.
#include "server/recursor_server.h"

#include "base/event_loop.h"
#include "server/edns.h"
#include "support/scratch_dir.h"
#include "wire/record.h"
#include "wire/writer.h"

#include <arpa/inet.h>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;

    DnsName name(std::string_view text)
    {
        return *DnsName::fromText(text);
    }

    struct QuerySpec {
        std::string_view qname = "www.example.test";
        QType qtype = QType::a;
        std::uint16_t id = 0xBEEF;
        bool rd = true;
        std::optional<std::uint16_t> edns_size;
        bool dnssec_ok = false;
        std::uint8_t edns_version = 0;
        bool ad = false;
        bool cd = false;
    };

    Bytes buildQuery(const QuerySpec& query)
    {
        auto writer = *PacketWriter::init(name(query.qname), query.qtype, QClass::in);
        auto header = writer.getHeader();
        header[0] = static_cast<std::uint8_t>(query.id >> 8);
        header[1] = static_cast<std::uint8_t>(query.id);
        setHeaderBit(header, 2, 0x01, query.rd);
        setHeaderBit(header, 3, flag_ad, query.ad);
        setHeaderBit(header, 3, flag_cd, query.cd);
        Bytes packet = *writer.finish();
        if (query.edns_size) {
            appendOptRecord(packet,
                OptRecord { .udp_payload_size = clampUdpPayloadSize(*query.edns_size),
                    .ext_rcode = 0,
                    .version = query.edns_version,
                    .dnssec_ok = query.dnssec_ok,
                    .options = {} });
        }
        return packet;
    }

    // A response as the resolver caches it: ID 0, QR, RA, `count` A records for the question name.
    Bytes buildCachedAnswer(std::string_view qname, std::size_t count, bool ad = false, bool signed_ = false)
    {
        auto writer = *PacketWriter::init(name(qname), QType::a, QClass::in);
        auto header = writer.getHeader();
        header[2] = flag_qr;
        header[3] = static_cast<std::uint8_t>(0x80 | (ad ? flag_ad : 0));
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_TRUE(writer.startRecord(name(qname), QType::a, QClass::in, 300, Section::answer));
            const std::array<std::uint8_t, 4> addr { 192, 0, 2, static_cast<std::uint8_t>(i) };
            EXPECT_TRUE(writer.writeIPv4(addr));
        }
        if (signed_) { // an RRSIG over the A RRset: covered type, algorithm 13, 3 labels, TTL, times, tag
            EXPECT_TRUE(writer.startRecord(name(qname), QType::rrsig, QClass::in, 300, Section::answer));
            const Bytes fixed { 0, 1, 13, 3, 0, 0, 1, 44, 0x70, 0, 0, 0, 0x60, 0, 0, 0, 0x12, 0x34 };
            EXPECT_TRUE(writer.writeBlob(fixed));
            EXPECT_TRUE(writer.writeName(name("example.test"), false));
            EXPECT_TRUE(writer.writeBlob(Bytes(64, 0xAB)));
        }
        return *writer.finish();
    }

    // Without root servers every question the cache cannot answer fails at once with SERVFAIL, and
    // nothing is ever sent beyond this machine.
    // Upstream that never answers, after running `hook` on the resolver thread for each exchange: the
    // tests hold work in the queue with it, or make a resolution throw.
    class HookTransport final : public UpstreamTransport {
    public:
        explicit HookTransport(std::function<void()> hook)
            : hook_(std::move(hook))
        {
        }
        TransportResult<QueryResult> exchange(
            const UpstreamSettings&, std::span<const SocketAddress>, const DnsName&, QType) override
        {
            hook_();
            return std::unexpected(TransportError::Timeout);
        }

    private:
        std::function<void()> hook_;
    };

    // Questions go to one (TEST-NET) root server through `hook`.
    void upstreamThrough(RecursorServer::InitOptions& options, std::function<void()> hook)
    {
        options.root_servers = NameserverSet {};
        options.root_servers->append(*SocketAddress::fromIpLiteral("192.0.2.1", 53));
        options.transport = std::make_shared<HookTransport>(std::move(hook));
    }

    std::unique_ptr<RecursorServer> makeServer(RecursorServer::InitOptions options = {})
    {
        if (options.listen_addr.family() == 0)
            options.listen_addr = *SocketAddress::fromIpLiteral("127.0.0.1", 0);
        if (!options.root_servers)
            options.root_servers = NameserverSet {};
        auto server = RecursorServer::init(std::move(options));
        EXPECT_TRUE(server.has_value());
        return std::move(*server);
    }

    Bytes replyTo(RecursorServer& server, std::span<const std::uint8_t> request)
    {
        auto reply = server.handleQuery(request);
        EXPECT_TRUE(reply.has_value());
        EXPECT_TRUE(reply->has_value());
        return reply->value_or(Bytes {});
    }

    TEST(RecursorServer, AnswersMalformedRequestsWithExactFormErr)
    {
        auto server = makeServer();
        const Bytes garbage { 0xde, 0xad, 0xbe, 0xef, 0x01 };
        EXPECT_EQ(replyTo(*server, garbage), (Bytes { 0, 0, 0x80, 0x81, 0, 0, 0, 0, 0, 0, 0, 0 }));

        Bytes no_question(12, 0);
        no_question[0] = 0x12, no_question[1] = 0x34;
        EXPECT_EQ(replyTo(*server, no_question), (Bytes { 0x12, 0x34, 0x80, 0x81, 0, 0, 0, 0, 0, 0, 0, 0 }));

        // QDCOUNT 2: the parser refuses it, so the reply is the bare 12-byte header even with an OPT.
        Bytes two_questions = buildQuery({ .id = 0x0102, .edns_size = 1232 });
        two_questions[5] = 2;
        EXPECT_EQ(
            replyTo(*server, two_questions), (Bytes { 0x01, 0x02, 0x80, 0x81, 0, 0, 0, 0, 0, 0, 0, 0 }));

        const Snapshot counts = server->metrics().snapshot();
        EXPECT_EQ(counts.queries_total, 3u);
        EXPECT_EQ(counts.queries_formerr, 3u);
        EXPECT_EQ(counts.cache_hits + counts.cache_misses, 0u);
    }

    TEST(RecursorServer, EchoesEdnsInHeaderOnlyFormErr)
    {
        auto server = makeServer();
        // A question-less request with a valid OPT: 12-byte header + 11-byte OPT.
        auto writer = *PacketWriter::init(DnsName {}, QType::a, QClass::in);
        Bytes request = *writer.finish();
        appendOptRecord(request, OptRecord { .udp_payload_size = 1232, .dnssec_ok = true });
        // Drop the question (one zero byte + type + class) and announce none.
        request.erase(request.begin() + 12, request.begin() + 17);
        request[0] = 0xAA, request[1] = 0x55, request[5] = 0;
        const Bytes expected {
            0xAA, 0x55, 0x80, 0x81, 0, 0, 0, 0, 0, 0, 0, 1, // header, ARCOUNT 1
            0, 0, 41, 0x04, 0xD0, // root owner, TYPE OPT, CLASS 1232
            0, 0, 0x80, 0, 0, 0, // ext RCODE 0, version 0, DO, RDLENGTH 0
        };
        EXPECT_EQ(replyTo(*server, request), expected);
    }

    TEST(RecursorServer, RefusesMisplacedOrDuplicateOpt)
    {
        auto server = makeServer();
        struct Case {
            const char* label;
            std::function<Bytes()> build;
        };
        const std::vector<Case> cases = {
            { "two OPT records",
                [] {
                    Bytes packet = *PacketWriter::init(name("a.test"), QType::a, QClass::in)->finish();
                    appendOptRecord(packet, OptRecord { .udp_payload_size = 1232 });
                    appendOptRecord(packet, OptRecord { .udp_payload_size = 1232 });
                    return packet;
                } },
            { "OPT in the answer section",
                [] {
                    auto w = *PacketWriter::init(name("a.test"), QType::a, QClass::in);
                    EXPECT_TRUE(w.startRecord(
                        DnsName::root(), QType::opt, static_cast<QClass>(1232), 0, Section::answer));
                    return *w.finish();
                } },
            { "OPT with a non-root owner",
                [] {
                    auto w = *PacketWriter::init(name("a.test"), QType::a, QClass::in);
                    EXPECT_TRUE(w.startRecord(
                        name("a.test"), QType::opt, static_cast<QClass>(1232), 0, Section::additional));
                    return *w.finish();
                } },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const Bytes reply = replyTo(*server, c.build());
            auto msg = DnsMessage::parse(reply);
            ASSERT_TRUE(msg.has_value());
            EXPECT_EQ(msg->header.rcode(), RCode::form_err);
            EXPECT_EQ(msg->header.qdCount(), 1);
            EXPECT_TRUE(msg->question_name.eql(name("a.test")));
            EXPECT_EQ(msg->header.arCount(), 0) << "a bad OPT is not echoed";
        }
        EXPECT_EQ(server->metrics().snapshot().queries_formerr, cases.size());
    }

    TEST(RecursorServer, FormErrWithQuestionStatesOurSizeAndVersionAndEchoesDo)
    {
        for (std::uint8_t version : { 0, 1 }) {
            SCOPED_TRACE(static_cast<int>(version));
            const Bytes request
                = buildQuery({ .id = 7, .edns_size = 100, .dnssec_ok = true, .edns_version = version });
            const Bytes reply = *buildFormErrReply(request);
            auto msg = DnsMessage::parse(reply);
            ASSERT_TRUE(msg.has_value());
            EXPECT_EQ(msg->header.id(), 7);
            EXPECT_EQ(reply[2], flag_qr) << "RD and opcode are not copied";
            EXPECT_EQ(reply[3], 0x81) << "RA set, FORMERR";
            auto edns = EdnsInfo::fromResponse(*msg);
            ASSERT_TRUE(edns.has_value());
            EXPECT_EQ(edns->udp_payload_size, 1232) << "our size, not the client's";
            EXPECT_EQ(edns->version, 0) << "our version";
            EXPECT_TRUE(edns->dnssec_ok);
        }
    }

    TEST(RecursorServer, AnswersUnresolvableQuestionWithServfailAndItsReason)
    {
        auto server = makeServer();
        for (bool rd : { true, false }) {
            SCOPED_TRACE(rd);
            const Bytes reply = replyTo(
                *server, buildQuery({ .id = 0x4242, .rd = rd, .edns_size = 4096, .dnssec_ok = true }));
            auto msg = DnsMessage::parse(reply);
            ASSERT_TRUE(msg.has_value());
            EXPECT_EQ(msg->header.id(), 0x4242);
            EXPECT_EQ(msg->header.rcode(), RCode::serv_fail);
            EXPECT_EQ(msg->header.rd(), rd);
            EXPECT_EQ(reply[3] & 0x80, 0x80) << "RA";
            EXPECT_EQ(reply[2] & flag_qr, flag_qr);
            EXPECT_TRUE(msg->question_name.eql(name("www.example.test")));
            // Our OPT (1232 bytes, DO echoed) with EDE 22, No Reachable Authority (RFC 8914 §4.23).
            const Bytes opt { 0, 0, 41, 0x04, 0xD0, 0, 0, 0x80, 0, 0, 6, 0, 15, 0, 2, 0, 22 };
            ASSERT_GE(reply.size(), opt.size());
            EXPECT_TRUE(
                std::equal(opt.begin(), opt.end(), reply.end() - static_cast<std::ptrdiff_t>(opt.size())));
            EXPECT_EQ(msg->records.size(), 1u);
        }
        const Snapshot counts = server->metrics().snapshot();
        EXPECT_EQ(counts.queries_total, 2u);
        EXPECT_EQ(counts.queries_servfail, 2u);
    }

    // Meta-type questions (RFC 6895 §3.1) are answered at the door, each with its exact RCODE, over
    // plain DNS and EDNS alike, and nothing goes upstream. A TYPE0 question used to be resolved.
    TEST(RecursorServer, AnswersMetaTypeQuestionsAtTheDoor)
    {
        int exchanges = 0;
        RecursorServer::InitOptions options;
        upstreamThrough(options, [&] { ++exchanges; });
        auto server = makeServer(std::move(options));
        const struct {
            QType qtype;
            RCode rcode;
        } cases[] = {
            { QType { 0 }, RCode::form_err },
            { QType::opt, RCode::form_err },
            { QType::tkey, RCode::form_err },
            { QType::tsig, RCode::form_err },
            { QType { 128 }, RCode::form_err },
            { QType { 200 }, RCode::form_err },
            { QType { 248 }, RCode::form_err },
            { QType::ixfr, RCode::refused },
            { QType::axfr, RCode::refused },
            { QType::mailb, RCode::not_imp },
            { QType::maila, RCode::not_imp },
        };
        for (const auto& c : cases) {
            for (const std::optional<std::uint16_t> edns : { std::optional<std::uint16_t> {}, { 1232 } }) {
                SCOPED_TRACE(std::to_string(toU16(c.qtype)) + (edns ? " with EDNS" : ""));
                const Bytes reply = replyTo(*server, buildQuery({ .qtype = c.qtype, .edns_size = edns }));
                const auto msg = DnsMessage::parse(reply);
                ASSERT_TRUE(msg.has_value());
                EXPECT_EQ(msg->header.rcode(), c.rcode);
                EXPECT_EQ(msg->header.id(), 0xBEEF);
                EXPECT_EQ(msg->question_type, c.qtype);
                EXPECT_EQ(msg->header.anCount(), 0);
            }
        }
        EXPECT_EQ(exchanges, 0) << "no resolution started";
        const Snapshot counts = server->metrics().snapshot();
        EXPECT_EQ(counts.queries_formerr, 14u);
        EXPECT_EQ(counts.queries_refused, 4u);
        // ANY, and the codes just outside the meta range, are questions like any other: resolved.
        for (const QType qtype : { QType::any, QType { 127 }, QType::uri }) {
            SCOPED_TRACE(toU16(qtype));
            const int before = exchanges;
            const auto msg = DnsMessage::parse(replyTo(*server, buildQuery({ .qtype = qtype })));
            ASSERT_TRUE(msg.has_value());
            EXPECT_EQ(msg->header.rcode(), RCode::serv_fail) << "the upstream never answers";
            EXPECT_GT(exchanges, before);
        }
    }

    TEST(RecursorServer, DropsResponsesWithoutReplyOrCount)
    {
        auto server = makeServer();
        Bytes response = buildQuery({});
        response[2] |= flag_qr;
        auto reply = server->handleQuery(response);
        ASSERT_TRUE(reply.has_value());
        EXPECT_FALSE(reply->has_value());
        EXPECT_EQ(server->metrics().snapshot().queries_total, 0u);

        // NOTIFY and UPDATE are for authoritative servers: NOTIMP, never resolved.
        for (std::uint8_t opcode : { 4, 5 }) {
            Bytes message = buildQuery({});
            message[2] |= static_cast<std::uint8_t>(opcode << 3);
            EXPECT_EQ(replyTo(*server, message)[3] & 0x0F, 4);
        }
    }

    TEST(RecursorServer, ServesCacheHitsWithTheClientsIdAndRdBit)
    {
        auto server = makeServer();
        const Bytes cached = buildCachedAnswer("www.example.test", 2, true);
        ASSERT_TRUE(server->recursorCore().cache().putAnswer(
            name("www.example.test"), QType::a, cached, 2, RCode::no_error, true, false, 300));
        const Bytes reply
            = replyTo(*server, buildQuery({ .qname = "WWW.Example.TEST", .id = 0x9999, .rd = false }));
        ASSERT_EQ(reply.size(), cached.size());
        EXPECT_EQ(reply[0], 0x99);
        EXPECT_EQ(reply[1], 0x99);
        EXPECT_EQ(reply[2], flag_qr) << "RD taken from the request";
        // The question carries the client's spelling, whoever asked first (RFC 5452 §9.1).
        Bytes expected = cached;
        expected[3] &= static_cast<std::uint8_t>(~flag_ad); // secure, but this client asked neither AD nor DO
        const DnsName asked = name("WWW.Example.TEST");
        std::copy(asked.wireBytes().begin(), asked.wireBytes().end(), expected.begin() + Header::size);
        EXPECT_TRUE(std::equal(reply.begin() + 3, reply.end(), expected.begin() + 3));

        const Snapshot counts = server->metrics().snapshot();
        EXPECT_EQ(counts.cache_hits, 1u);
        EXPECT_EQ(counts.queries_success, 1u);
        EXPECT_EQ(counts.dnssec_validations_success, 1u);
    }

    // One cached secure answer, as clients asking differently see it (RFC 4035 §3.2.1, RFC 6840 §5.7-5.9).
    TEST(RecursorServer, ShapesOneSecureAnswerForEachClient)
    {
        auto server = makeServer();
        const Bytes cached = buildCachedAnswer("www.example.test", 1, true, true);
        ASSERT_TRUE(server->recursorCore().cache().putAnswer(
            name("www.example.test"), QType::a, cached, 2, RCode::no_error, true, true, 300));
        struct Case {
            const char* label;
            QuerySpec query;
            bool ad;
            bool rrsig;
        };
        const Case cases[] = {
            { "no EDNS", {}, false, false },
            { "EDNS without DO", { .edns_size = 1232 }, false, false },
            { "AD asked", { .ad = true }, true, false },
            { "DO", { .edns_size = 1232, .dnssec_ok = true }, true, true },
            { "DO and CD: checking disabled, so not marked checked",
                { .edns_size = 1232, .dnssec_ok = true, .cd = true }, false, true },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const Bytes reply = replyTo(*server, buildQuery(c.query));
            auto msg = DnsMessage::parse(reply);
            ASSERT_TRUE(msg.has_value());
            EXPECT_EQ((reply[3] & flag_ad) != 0, c.ad);
            EXPECT_EQ((reply[3] & flag_cd) != 0, c.query.cd);
            EXPECT_EQ(msg->header.anCount(), c.rrsig ? 2u : 1u);
            auto edns = EdnsInfo::fromResponse(*msg);
            EXPECT_EQ(edns.has_value(), c.query.edns_size.has_value());
            if (edns) {
                EXPECT_EQ(edns->dnssec_ok, c.query.dnssec_ok);
                EXPECT_EQ(edns->udp_payload_size, 1232);
            }
        }
    }

    TEST(RecursorServer, TruncatesToTheClientsUdpLimit)
    {
        auto server = makeServer();
        const Bytes cached = buildCachedAnswer("big.example.test", 40); // 40 * 16 + header: over 512
        ASSERT_GT(cached.size(), 600u);
        ASSERT_TRUE(server->recursorCore().cache().putAnswer(
            name("big.example.test"), QType::a, cached, 40, RCode::no_error, false, false, 300));

        struct Case {
            std::optional<std::uint16_t> edns;
            bool truncated;
            std::size_t limit;
        };
        for (const Case c : { Case { std::nullopt, true, 512 }, Case { 100, true, 512 },
                 Case { 600, true, 600 }, Case { 1232, false, 1232 }, Case { 65535, false, 1232 } }) {
            SCOPED_TRACE(c.edns.value_or(0));
            const Bytes reply
                = replyTo(*server, buildQuery({ .qname = "big.example.test", .edns_size = c.edns }));
            auto msg = DnsMessage::parse(reply);
            ASSERT_TRUE(msg.has_value());
            EXPECT_LE(reply.size(), c.limit);
            EXPECT_EQ(msg->header.tc(), c.truncated);
            EXPECT_TRUE(msg->question_name.eql(name("big.example.test")));
            if (c.truncated) {
                // Each further A record is 16 bytes with a compressed owner: as many as fit, no more.
                EXPECT_GT(reply.size() + 16, c.limit);
                EXPECT_LT(msg->header.anCount(), 40u);
            } else {
                EXPECT_EQ(msg->header.anCount(), 40u);
            }
            EXPECT_EQ(msg->records.size(), msg->header.anCount() + (c.edns ? 1u : 0u)) << "OPT when asked";
        }
    }

    TEST(RecursorServer, ControlCommands)
    {
        auto server = makeServer();
        std::vector<std::string_view> args { "ignored" };
        EXPECT_EQ(server->controlHandler("PING", args), "OK");
        EXPECT_EQ(server->controlHandler("ping", {}), "ERROR: Unknown command");
        auto stats = server->controlHandler("STATS", {});
        ASSERT_TRUE(stats.has_value());
        EXPECT_TRUE(stats->starts_with("OK\n{\"queries_total\":0,"));
        // HELP lists every command, one line each, and each listed command is one the table knows.
        auto help = server->controlHandler("HELP", {});
        ASSERT_TRUE(help.has_value());
        ASSERT_TRUE(help->starts_with("OK\n")) << *help;
        std::vector<std::string> listed;
        for (std::size_t pos = 3; pos < help->size();) {
            const std::size_t end = std::min(help->find('\n', pos), help->size());
            const std::string line = help->substr(pos, end - pos);
            listed.push_back(line.substr(0, line.find(' ')));
            EXPECT_TRUE(line.contains(" - ")) << line;
            pos = end + 1;
        }
        EXPECT_EQ(listed,
            (std::vector<std::string> {
                "PING", "STATS", "FLUSH", "TRACE", "RELOAD", "DUMP", "LOAD", "SHUTDOWN", "HELP" }));
        for (const std::string& command : listed) {
            if (command != "SHUTDOWN") {
                EXPECT_NE(server->controlHandler(command, {}), "ERROR: Unknown command") << command;
            }
        }
        EXPECT_FALSE(server->shouldStop());
        EXPECT_EQ(server->controlHandler("SHUTDOWN", {}), "OK");
        EXPECT_TRUE(server->shouldStop());
    }

    // DUMP and LOAD reply with counts; LOAD merges, and a file that does not check out changes nothing.
    TEST(RecursorServer, DumpAndLoadTheCacheOnDemand)
    {
        auto server = makeServer();
        test::ScratchDir dir;
        const std::string path = dir.path() + "/cache";
        Cache& cache = server->recursorCore().cache();
        const std::vector<std::uint8_t> packet(12, 0);
        for (const char* owner : { "a.test", "b.test" })
            ASSERT_TRUE(cache.putAnswer(
                *DnsName::fromText(owner), QType::a, packet, 0, RCode::nx_domain, false, false, 600));
        const std::string_view path_arg[] = { path };
        EXPECT_EQ(server->controlHandler("DUMP", path_arg), "OK 2 entries written");
        EXPECT_EQ(server->controlHandler("FLUSH", std::vector<std::string_view> { "test" }),
            "OK 2 entries dropped");
        EXPECT_EQ(server->controlHandler("LOAD", path_arg), "OK 2 entries loaded, 0 expired");
        EXPECT_EQ(cache.answerCount(), 2u);
        const std::string foreign = dir.write("foreign", "[server]\n");
        const std::string_view foreign_arg[] = { foreign };
        EXPECT_EQ(server->controlHandler("LOAD", foreign_arg),
            "ERROR: cache file " + foreign + ": error.NotCacheFile");
        EXPECT_EQ(server->controlHandler("DUMP", std::vector<std::string_view> { "/nonexistent/dir/cache" }),
            "ERROR: cache file /nonexistent/dir/cache: error.WriteFailed");
        EXPECT_EQ(server->controlHandler("LOAD", {}), "ERROR: Usage: LOAD <path>");
        EXPECT_EQ(cache.answerCount(), 2u);
    }

    // A UDP client socket on loopback with a receive timeout.
    class UdpClient {
    public:
        UdpClient()
            : fd_(::socket(AF_INET, SOCK_DGRAM, 0))
        {
        }
        explicit UdpClient(const SocketAddress& bind_to)
            : UdpClient()
        {
            EXPECT_EQ(::bind(fd_, bind_to.sockaddrPtr(), bind_to.sockaddrLen()), 0);
        }
        ~UdpClient() { ::close(fd_); }
        void send(const SocketAddress& to, std::span<const std::uint8_t> bytes)
        {
            ASSERT_EQ(::sendto(fd_, bytes.data(), bytes.size(), 0, to.sockaddrPtr(), to.sockaddrLen()),
                static_cast<ssize_t>(bytes.size()));
        }
        std::optional<Bytes> receive(int timeout_ms, SocketAddress* from = nullptr)
        {
            pollfd pfd { fd_, POLLIN, 0 };
            if (::poll(&pfd, 1, timeout_ms) != 1)
                return std::nullopt;
            Bytes buf(65536);
            sockaddr_storage sender {};
            socklen_t sender_len = sizeof sender;
            const ssize_t n = ::recvfrom(
                fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&sender), &sender_len);
            if (n < 0)
                return std::nullopt;
            if (from != nullptr)
                *from = SocketAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&sender), sender_len).value();
            buf.resize(static_cast<std::size_t>(n));
            return buf;
        }

    private:
        int fd_;
    };

    TEST(RecursorServer, ServesOverUdpOnTheRealPortAndIgnoresEmptyDatagrams)
    {
        auto server = makeServer();
        ASSERT_TRUE(server->start());
        ASSERT_NE(server->listenAddr().port(), 0) << "port 0 resolved to the bound port";

        UdpClient client;
        client.send(server->listenAddr(), {});
        EXPECT_FALSE(client.receive(300).has_value());
        EXPECT_EQ(server->metrics().snapshot().queries_total, 0u);

        client.send(server->listenAddr(), buildQuery({ .id = 0x0A0B }));
        auto reply = client.receive(2000);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ((*reply)[0], 0x0A);
        EXPECT_EQ((*reply)[1], 0x0B);
        EXPECT_EQ((*reply)[3] & 0x0F, 2);
        server->stop();
        server->stop(); // a second stop finds nothing to do
    }

    // An exception escaping a query's handling (std::bad_alloc while logging, say) costs that query only.
    TEST(RecursorServer, WorkerSurvivesAnExceptionWhileAnswering)
    {
        std::atomic<int> answered { 0 };
        RecursorServer::InitOptions options;
        upstreamThrough(options, [&] {
            if (answered.fetch_add(1) == 0)
                throw std::bad_alloc();
        });
        auto server = makeServer(std::move(options));
        ASSERT_TRUE(server->start());
        UdpClient client;
        testing::internal::CaptureStderr();
        client.send(server->listenAddr(), buildQuery({ .id = 1 }));
        EXPECT_FALSE(client.receive(300).has_value());
        client.send(server->listenAddr(), buildQuery({ .id = 2 }));
        const auto reply = client.receive(2000);
        const std::string log = testing::internal::GetCapturedStderr();
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ((*reply)[1], 2);
        EXPECT_NE(log.find("error: recursor query error: std::bad_alloc"), std::string::npos) << log;
    }

    // A question sent to 127.0.0.2 from 127.0.0.1 must be answered from 127.0.0.2, or the client drops
    // the reply as coming from a stranger; the kernel alone would pick 127.0.0.1 for the way back.
    TEST(RecursorServer, RepliesFromTheAddressAskedOnAWildcardSocket)
    {
        for (const char* wildcard : { "0.0.0.0", "::" }) {
            SCOPED_TRACE(wildcard);
            const auto listen = SocketAddress::fromIpLiteral(wildcard, 0);
            ASSERT_TRUE(listen);
            RecursorServer::InitOptions options;
            options.listen_addr = *listen;
            auto server = makeServer(std::move(options));
            if (!server->start()) {
                ASSERT_STRNE(wildcard, "0.0.0.0");
                GTEST_SKIP() << "no IPv6";
            }
            UdpClient client(*SocketAddress::fromIpLiteral("127.0.0.1", 0));
            for (const char* asked : { "127.0.0.2", "127.0.0.1" }) {
                const SocketAddress to = *SocketAddress::fromIpLiteral(asked, server->listenAddr().port());
                client.send(to, buildQuery({ .id = 0x0C0D }));
                SocketAddress from;
                ASSERT_TRUE(client.receive(2000, &from).has_value()) << asked;
                EXPECT_EQ(from.toString(), to.toString());
            }
        }
    }

    // Resolutions held at a gate (a pipe their fibers wait on without holding the loop): misses are in
    // flight up to the capacity, further new questions are shed and counted, questions already in flight
    // are joined instead, and a stop answers everything in flight at once.
    TEST(RecursorServer, BoundsResolutionsInFlightShedsOverflowAndAnswersEverythingOnStop)
    {
        int gate[2];
        ASSERT_EQ(::pipe(gate), 0);
        RecursorServer::InitOptions options;
        options.resolution_capacity = 4;
        options.loop_count = 1; // every question on the same loop
        upstreamThrough(options, [&] {
            pollfd open { gate[0], POLLIN, 0 };
            waitReady({ &open, 1 }, -1);
        });
        auto server = makeServer(std::move(options));
        ASSERT_TRUE(server->start());
        auto ask = [&](UdpClient& client, int n, std::uint16_t id) {
            const std::string qname = "q" + std::to_string(n) + ".example.test";
            client.send(server->listenAddr(), buildQuery({ .qname = qname, .id = id }));
        };
        auto waitShed = [&](std::uint64_t count) {
            for (int spins = 0; spins < 200 && server->metrics().snapshot().queries_shed < count; ++spins)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        };

        UdpClient client;
        for (int i = 0; i < 12; ++i)
            ask(client, i, static_cast<std::uint16_t>(i));
        for (std::uint16_t id = 20; id < 23; ++id)
            ask(client, 1, id); // the same question as one in flight: joins it
        waitShed(8);
        EXPECT_EQ(server->metrics().snapshot().queries_shed, 8u);
        EXPECT_EQ(server->resolutionsInFlight(), 4u);

        ASSERT_EQ(::write(gate[1], "x", 1), 1);
        std::set<int> answered;
        while (auto reply = client.receive(1000))
            answered.insert(((*reply)[0] << 8) | (*reply)[1]);
        EXPECT_EQ(answered, (std::set<int> { 0, 1, 2, 3, 20, 21, 22 }));
        EXPECT_EQ(server->resolutionsInFlight(), 0u);

        // Stop with the gate shut and the loop full: every question in flight is answered.
        char drained_byte;
        ASSERT_EQ(::read(gate[0], &drained_byte, 1), 1);
        for (int i = 0; i < 5; ++i)
            ask(client, 100 + i, static_cast<std::uint16_t>(100 + i));
        waitShed(9);
        const auto stop_started = std::chrono::steady_clock::now();
        server->stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stop_started, std::chrono::seconds(2));
        std::size_t drained = 0;
        while (client.receive(500))
            ++drained;
        EXPECT_EQ(drained, 4u);
        ::close(gate[0]);
        ::close(gate[1]);
    }

    // With a hundred questions waiting on a server that never answers, cached names are still answered
    // at once: hits never queue behind resolutions.
    TEST(RecursorServer, AnswersCacheHitsWhileMissesWaitOnSilentServers)
    {
        const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
        SocketAddress silent_addr = *SocketAddress::fromIpLiteral("127.0.0.1", 0);
        ASSERT_EQ(::bind(silent, silent_addr.sockaddrPtr(), silent_addr.sockaddrLen()), 0);
        socklen_t len = silent_addr.sockaddrLen();
        ASSERT_EQ(::getsockname(silent, silent_addr.sockaddrPtr(), &len), 0);

        RecursorServer::InitOptions options;
        options.root_servers = NameserverSet {};
        options.root_servers->append(silent_addr);
        options.upstream.timeout_ms = 1500;
        auto server = makeServer(std::move(options));
        ASSERT_TRUE(server->recursorCore().cache().putAnswer(name("cached.example.test"), QType::a,
            buildCachedAnswer("cached.example.test", 1), 1, RCode::no_error, false, false, 300));
        ASSERT_TRUE(server->start());

        UdpClient client;
        for (int i = 0; i < 100; ++i) {
            const std::string qname = "slow" + std::to_string(i) + ".example.test";
            client.send(
                server->listenAddr(), buildQuery({ .qname = qname, .id = static_cast<std::uint16_t>(i) }));
        }
        for (int spins = 0; spins < 200 && server->resolutionsInFlight() < 100; ++spins)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(server->resolutionsInFlight(), 100u) << "every miss is in flight at once";

        const auto start = std::chrono::steady_clock::now();
        client.send(server->listenAddr(), buildQuery({ .qname = "cached.example.test", .id = 0xCAFE }));
        const auto reply = client.receive(1000);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(((*reply)[0] << 8) | (*reply)[1], 0xCAFE);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        server->stop();
        ::close(silent);
    }

} // namespace
} // namespace recursor
