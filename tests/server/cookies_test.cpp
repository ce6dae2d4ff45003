// The server cookie algorithm against RFC 9018 Appendix A, and the COOKIE option reader against
// hostile lengths.
#include "server/cookies.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace recursor {
namespace {

    using Bytes = std::vector<std::uint8_t>;

    Bytes fromHex(std::string_view hex)
    {
        Bytes out;
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
        return out;
    }

    CookieClientIp ipOf(std::string_view literal)
    {
        return CookieClientIp::of(*SocketAddress::fromIpLiteral(literal, 53));
    }

    // The COOKIE option data `hex` (client cookie, then server cookie) as a query carries it.
    CookieOption optionOf(const Bytes& data)
    {
        CookieOption cookie;
        std::copy_n(data.begin(), client_cookie_size, cookie.client.begin());
        cookie.server = std::span(data).subspan(client_cookie_size);
        return cookie;
    }

    // RFC 9018 Appendix A: each reply's server cookie, made from the query's client cookie, the client's
    // address and the time it was received.
    struct Vector {
        const char* label;
        const char* secret;
        const char* client_ip;
        const char* reply_cookie; // client cookie | server cookie
        std::uint32_t received;
    };
    constexpr Vector appendix_a[] = {
        { "A.1 learning a new server cookie", "e5e973e5a6b2a43f48e7dc849e37bfcf", "198.51.100.100",
            "2464c4abcf10c957010000005cf79f111f8130c3eee29480", 1559731985 },
        { "A.2 the same client, forty minutes later", "e5e973e5a6b2a43f48e7dc849e37bfcf", "198.51.100.100",
            "2464c4abcf10c957010000005cf7a871d4a564a1442aca77", 1559734385 },
        { "A.4 an IPv6 client's cookie as it sent it", "dd3bdf9344b678b185a6f5cb60fca715",
            "2001:db8:220:1:59de:d0f4:8769:82b8", "22681ab97d52c298010000005cf7c57926556bd0934c72f8",
            1559741817 },
    };

    TEST(ServerCookie, MatchesTheInteroperableVectorsOfRfc9018)
    {
        for (const Vector& v : appendix_a) {
            SCOPED_TRACE(v.label);
            const Bytes expected = fromHex(v.reply_cookie);
            const CookieOption asked = optionOf(expected);
            const CookieSecrets secrets { *CookieSecrets::keyFromHex(v.secret), std::nullopt };
            const ReplyCookie reply = secrets.reply(asked.client, ipOf(v.client_ip), v.received);
            EXPECT_EQ(Bytes(reply.begin(), reply.end()), expected);
            EXPECT_TRUE(secrets.verifies(asked, ipOf(v.client_ip), v.received));
        }
    }

    TEST(ServerCookie, IsValidForItsHourAndFiveMinutesOfSkewWithEitherSecret)
    {
        const Vector& v = appendix_a[0];
        const Bytes data = fromHex(v.reply_cookie);
        const CookieOption cookie = optionOf(data);
        const SipHashKey secret = *CookieSecrets::keyFromHex(v.secret);
        const SipHashKey other = *CookieSecrets::keyFromHex("00112233445566778899aabbccddeeff");
        Bytes tampered = data;
        tampered.back() ^= 1;
        Bytes version_two = data;
        version_two[client_cookie_size] = 2;
        struct Case {
            const char* label;
            CookieSecrets secrets;
            const Bytes* data;
            const char* client_ip;
            std::uint32_t now;
            bool valid;
        };
        const Case cases[] = {
            { "an hour old", { secret, {} }, &data, v.client_ip, v.received + 3600, true },
            { "an hour and a second old", { secret, {} }, &data, v.client_ip, v.received + 3601, false },
            { "made five minutes ahead of our clock", { secret, {} }, &data, v.client_ip, v.received - 300,
                true },
            { "made beyond the skew", { secret, {} }, &data, v.client_ip, v.received - 301, false },
            { "the secret rolled over", { other, secret }, &data, v.client_ip, v.received, true },
            { "another secret only", { other, {} }, &data, v.client_ip, v.received, false },
            { "from another address", { secret, {} }, &data, "198.51.100.101", v.received, false },
            { "a bit of the hash flipped", { secret, {} }, &tampered, v.client_ip, v.received, false },
            { "another version", { secret, {} }, &version_two, v.client_ip, v.received, false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(c.secrets.verifies(optionOf(*c.data), ipOf(c.client_ip), c.now), c.valid);
        }
        // A timestamp just past the 32-bit wrap is 10 seconds after one just before it (RFC 1982).
        const ClientCookie client = cookie.client;
        const ServerCookie before_wrap = makeServerCookie(secret, client, ipOf(v.client_ip), 0xFFFFFFF6u);
        Bytes wrapped(client.begin(), client.end());
        wrapped.insert(wrapped.end(), before_wrap.begin(), before_wrap.end());
        const CookieSecrets only_secret { secret, {} };
        EXPECT_TRUE(only_secret.verifies(optionOf(wrapped), ipOf(v.client_ip), 0));
    }

    TEST(ServerCookie, ARandomSecretIsNewForEachServer)
    {
        EXPECT_NE(CookieSecrets::random().current, CookieSecrets::random().current);
        EXPECT_FALSE(CookieSecrets::keyFromHex("e5e973e5a6b2a43f48e7dc849e37bfc"));
        EXPECT_FALSE(CookieSecrets::keyFromHex("e5e973e5a6b2a43f48e7dc849e37bfcg"));
    }

    // An OPT record's option list: {code, data} pairs, each with its length.
    Bytes optionList(std::initializer_list<std::pair<std::uint16_t, Bytes>> options)
    {
        Bytes out;
        for (const auto& [code, data] : options) {
            out.insert(out.end(),
                { static_cast<std::uint8_t>(code >> 8), static_cast<std::uint8_t>(code),
                    static_cast<std::uint8_t>(data.size() >> 8), static_cast<std::uint8_t>(data.size()) });
            out.insert(out.end(), data.begin(), data.end());
        }
        return out;
    }

    TEST(CookieOption, TakesEightBytesOrSixteenToFortyAndNothingElse)
    {
        struct Case {
            const char* label;
            Bytes options;
            std::optional<std::size_t> server_size; // none: no cookie found
            bool bad_length;
        };
        const Case cases[] = {
            { "no options", {}, std::nullopt, false },
            { "another option only", optionList({ { 3, Bytes(4, 1) } }), std::nullopt, false },
            { "a client cookie", optionList({ { option_cookie, Bytes(8, 1) } }), 0, false },
            { "after another option", optionList({ { 12, Bytes(3) }, { option_cookie, Bytes(24, 1) } }), 16,
                false },
            { "the shortest server cookie", optionList({ { option_cookie, Bytes(16, 1) } }), 8, false },
            { "the longest server cookie", optionList({ { option_cookie, Bytes(40, 1) } }), 32, false },
            { "empty", optionList({ { option_cookie, {} } }), std::nullopt, true },
            { "seven bytes", optionList({ { option_cookie, Bytes(7, 1) } }), std::nullopt, true },
            { "nine bytes", optionList({ { option_cookie, Bytes(9, 1) } }), std::nullopt, true },
            { "fifteen bytes", optionList({ { option_cookie, Bytes(15, 1) } }), std::nullopt, true },
            { "forty-one bytes", optionList({ { option_cookie, Bytes(41, 1) } }), std::nullopt, true },
            { "a length past the list", Bytes { 0, 10, 0, 24, 1, 2, 3, 4, 5, 6, 7, 8 }, std::nullopt, false },
            { "a cut option header", Bytes { 0, 10, 0 }, std::nullopt, false },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const auto found = findCookieOption(c.options);
            if (c.bad_length) {
                ASSERT_FALSE(found);
                EXPECT_EQ(found.error(), CookieOptionError::BadLength);
                continue;
            }
            ASSERT_TRUE(found);
            ASSERT_EQ(found->has_value(), c.server_size.has_value());
            if (*found) {
                EXPECT_EQ((*found)->server.size(), *c.server_size);
                EXPECT_EQ((*found)->client, (ClientCookie { 1, 1, 1, 1, 1, 1, 1, 1 }));
            }
        }
    }

} // namespace
} // namespace recursor
