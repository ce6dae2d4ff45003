// DNS cookies at the front door, over real sockets on loopback (RFC 7873 §5.2, RFC 9018): every reply to
// a client cookie carries a server cookie made for the client's address; a bad option length is FORMERR;
// with cookie_require a datagram without a valid server cookie is told BADCOOKIE before any work.
#include "server/recursor_server.h"

#include "base/clock.h"
#include "support/canned_transport.h"
#include "support/packet_builder.h"
#include "support/stream_client.h"
#include "wire/record.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;

    const SipHashKey secret_a = *CookieSecrets::keyFromHex("e5e973e5a6b2a43f48e7dc849e37bfcf");
    const SipHashKey secret_b = *CookieSecrets::keyFromHex("dd3bdf9344b678b185a6f5cb60fca715");
    const ClientCookie client_cookie { 0x24, 0x64, 0xc4, 0xab, 0xcf, 0x10, 0xc9, 0x57 };

    // A question for a.corp. with an OPT record whose only option is a COOKIE with `cookie` as data;
    // no OPT at all for none.
    Bytes cookieQuery(std::uint16_t id, std::optional<Bytes> cookie)
    {
        test::PacketBuilder b;
        b.header(id, 0x0100, 1, 0, 0, cookie ? 1 : 0).question("a.corp", QType::a, QClass::in);
        if (cookie) {
            b.u8(0).u16(41).u16(1232).u32(0).u16(static_cast<std::uint16_t>(4 + cookie->size()));
            b.u16(option_cookie).u16(static_cast<std::uint16_t>(cookie->size()));
            for (std::uint8_t byte : *cookie)
                b.u8(byte);
        }
        return b.bytes();
    }

    // The client cookie followed by a server cookie made with `secret` for 127.0.0.1 at `timestamp`.
    Bytes cookieFrom(const SipHashKey& secret, std::uint32_t timestamp, const char* client_ip = "127.0.0.1")
    {
        const ServerCookie server = makeServerCookie(secret, client_cookie,
            CookieClientIp::of(*SocketAddress::fromIpLiteral(client_ip, 0)), timestamp);
        Bytes data(client_cookie.size() + server.size());
        std::copy(client_cookie.begin(), client_cookie.end(), data.begin());
        std::copy(server.begin(), server.end(), data.begin() + client_cookie_size);
        return data;
    }

    std::uint32_t now()
    {
        return static_cast<std::uint32_t>(wallClockSeconds());
    }

    struct Seen {
        int rcode { -1 }; // the whole RCODE, header and OPT
        std::optional<Bytes> cookie; // the reply's COOKIE option data
        std::size_t answers { 0 };
    };

    Seen read(const Bytes& reply)
    {
        Seen seen;
        auto message = DnsMessage::parse(reply);
        if (!message) {
            ADD_FAILURE() << "unparsable reply";
            return seen;
        }
        seen.rcode = static_cast<int>(message->header.rcode());
        seen.answers = static_cast<std::size_t>(message->header.anCount());
        if (const auto edns = EdnsInfo::fromResponse(*message)) {
            seen.rcode |= edns->ext_rcode << 4;
            if (auto cookie = findCookieOption(edns->options_data); cookie && *cookie) {
                seen.cookie = Bytes((*cookie)->client.begin(), (*cookie)->client.end());
                seen.cookie->insert(seen.cookie->end(), (*cookie)->server.begin(), (*cookie)->server.end());
            }
        }
        return seen;
    }

    // Whether `data` is our client cookie with a server cookie `secrets` made for 127.0.0.1 just now.
    bool freshFor127(const std::optional<Bytes>& data, const CookieSecrets& secrets)
    {
        if (!data || data->size() != client_cookie_size + server_cookie_size)
            return false;
        const CookieOption option { client_cookie, std::span(*data).subspan(client_cookie_size) };
        return std::equal(client_cookie.begin(), client_cookie.end(), data->begin())
            && secrets.verifies(
                option, CookieClientIp::of(*SocketAddress::fromIpLiteral("127.0.0.1", 0)), now());
    }

    // A server whose corp. zone is forwarded to a canned resolver that knows a.corp.
    struct CookieServer {
        std::shared_ptr<test::CannedTransport> net = std::make_shared<test::CannedTransport>();
        std::unique_ptr<RecursorServer> server;
        int fd { -1 };

        CookieServer(CookieSecrets secrets, bool require)
        {
            net->on("10.0.0.53", "a.corp.", QType::a, test::address("a.corp.", "10.1.1.1", 0x8180));
            RecursorServer::InitOptions options;
            options.listen_addr = *SocketAddress::fromIpLiteral("127.0.0.1", 0);
            options.loop_count = 1;
            options.enable_dnssec = false;
            options.root_servers = NameserverSet {};
            options.transport = net;
            options.cache_nothing = true; // every answered question is one exchange
            options.forward_zones = { { *DnsName::fromText("corp."), {}, true, true } };
            options.forward_zones[0].servers.append(*SocketAddress::fromIpLiteral("10.0.0.53", 53));
            options.cookie_secrets = secrets;
            options.cookie_require = require;
            server = std::move(RecursorServer::init(std::move(options)).value());
            EXPECT_TRUE(server->start());
            fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        }
        ~CookieServer()
        {
            ::close(fd);
            server->stop();
        }

        Seen ask(const Bytes& query)
        {
            ::sendto(fd, query.data(), query.size(), 0, server->listenAddr().sockaddrPtr(),
                server->listenAddr().sockaddrLen());
            pollfd ready { fd, POLLIN, 0 };
            if (::poll(&ready, 1, 3000) != 1) {
                ADD_FAILURE() << "no reply";
                return {};
            }
            Bytes reply(4096);
            reply.resize(
                static_cast<std::size_t>(std::max<ssize_t>(0, ::recv(fd, reply.data(), reply.size(), 0))));
            return read(reply);
        }

        Seen askOverTcp(const Bytes& query)
        {
            test::StreamClient client(server->listenAddr());
            const std::string framed
                = std::string { static_cast<char>(query.size() >> 8), static_cast<char>(query.size() & 0xFF) }
                + std::string(query.begin(), query.end());
            client.send(framed);
            client.closeWriteSide();
            const std::string got = client.readUntilClosed();
            if (got.size() < 2) {
                ADD_FAILURE() << "no reply over TCP";
                return {};
            }
            return read(Bytes(got.begin() + 2, got.end()));
        }
    };

    constexpr int noerror = 0;
    constexpr int formerr = 1;

    TEST(FrontCookies, AnswersEachClientCookieWithAServerCookieForItsAddress)
    {
        const CookieSecrets secrets { secret_a, std::nullopt };
        CookieServer s(secrets, false);
        const Bytes bare(client_cookie.begin(), client_cookie.end());
        Bytes garbage = bare;
        garbage.insert(garbage.end(), 16, 0x5A);
        struct Case {
            const char* label;
            std::optional<Bytes> cookie;
            int rcode;
            bool fresh_cookie;
        };
        const Case cases[] = {
            { "a client cookie alone", bare, noerror, true },
            { "a valid server cookie", cookieFrom(secret_a, now() - 60), noerror, true },
            // RFC 7873 §5.2.3: over UDP a wrong server cookie is answered as if it were a client cookie
            // alone.
            { "a wrong server cookie", garbage, noerror, true },
            { "one made for another address", cookieFrom(secret_a, now(), "127.0.0.2"), noerror, true },
            { "no OPT record", std::nullopt, noerror, false },
            { "an empty COOKIE", Bytes {}, formerr, false },
            { "seven bytes", Bytes(7, 1), formerr, false },
            { "nine bytes", Bytes(9, 1), formerr, false },
            { "fifteen bytes", Bytes(15, 1), formerr, false },
            { "forty-one bytes", Bytes(41, 1), formerr, false },
        };
        std::uint16_t id = 1;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const Seen seen = s.ask(cookieQuery(id++, c.cookie));
            EXPECT_EQ(seen.rcode, c.rcode);
            EXPECT_EQ(seen.answers, c.rcode == noerror ? 1u : 0u);
            EXPECT_EQ(freshFor127(seen.cookie, secrets), c.fresh_cookie);
        }
        EXPECT_EQ(s.net->exchanges.size(), 5u);
        EXPECT_EQ(s.server->metrics().replies_badcookie.load(), 0u);
    }

    TEST(FrontCookies, RequiredCookiesTurnDatagramsAwayWithBadcookieAndNoWork)
    {
        // The secret rolled over from A to B: cookies A made stay good for their hour.
        const CookieSecrets secrets { secret_b, secret_a };
        CookieServer s(secrets, true);
        const Bytes bare(client_cookie.begin(), client_cookie.end());
        struct Case {
            const char* label;
            std::optional<Bytes> cookie;
            int rcode;
            bool work; // one exchange upstream
        };
        const Case cases[] = {
            { "a client cookie alone", bare, rcode_badcookie, false },
            { "a cookie of the current secret", cookieFrom(secret_b, now()), noerror, true },
            { "a cookie of the previous secret", cookieFrom(secret_a, now() - 1800), noerror, true },
            { "one past its hour", cookieFrom(secret_b, now() - 3700), rcode_badcookie, false },
            { "one made for another address", cookieFrom(secret_b, now(), "127.0.0.2"), rcode_badcookie,
                false },
            { "one of another secret",
                cookieFrom(*CookieSecrets::keyFromHex("00000000000000000000000000000001"), now()),
                rcode_badcookie, false },
            // RFC 7873 §5.2.1: a client that speaks no cookies is served as if we spoke none.
            { "no OPT record", std::nullopt, noerror, true },
        };
        std::uint16_t id = 1;
        std::size_t work = 0;
        std::uint64_t turned_away = 0;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const Seen seen = s.ask(cookieQuery(id++, c.cookie));
            EXPECT_EQ(seen.rcode, c.rcode);
            work += c.work ? 1 : 0;
            turned_away += c.rcode == rcode_badcookie ? 1 : 0;
            EXPECT_EQ(s.net->exchanges.size(), work);
            EXPECT_EQ(freshFor127(seen.cookie, secrets), c.cookie.has_value());
        }
        EXPECT_EQ(s.server->metrics().replies_badcookie.load(), turned_away);

        // The client retries with the cookie BADCOOKIE gave it, and is answered.
        const Seen told = s.ask(cookieQuery(id++, bare));
        ASSERT_EQ(told.rcode, rcode_badcookie);
        const Seen retried = s.ask(cookieQuery(id++, told.cookie));
        EXPECT_EQ(retried.rcode, noerror);
        EXPECT_EQ(retried.answers, 1u);

        // A connection proved its address in the handshake: no cookie needed.
        const Seen over_tcp = s.askOverTcp(cookieQuery(id++, bare));
        EXPECT_EQ(over_tcp.rcode, noerror);
        EXPECT_TRUE(freshFor127(over_tcp.cookie, secrets));
    }

} // namespace
} // namespace recursor
