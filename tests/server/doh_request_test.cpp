// DNS over HTTPS requests (RFC 8484) as a client, or a stranger, may send them: each request is
// checked alone, with no connection, for the message it yields or the status that refuses it.
#include "server/doh_request.h"

#include "support/packet_builder.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace recursor {
namespace {

    using test::PacketBuilder;
    using Bytes = std::vector<std::uint8_t>;

    // RFC 8484 §4.1.1's example: www.example.com. A with ID 0 and RD set, in base64url.
    constexpr std::string_view rfc_example_dns = "AAABAAABAAAAAAAAA3d3dwdleGFtcGxlA2NvbQAAAQAB";
    Bytes rfcExampleQuery()
    {
        return PacketBuilder()
            .header(0, 0x0100, 1, 0, 0, 0)
            .question("www.example.com", QType::a, QClass::in)
            .bytes();
    }

    TEST(DecodeBase64Url, DecodesUnpaddedUrlAlphabetAndRejectsEverythingElse)
    {
        const std::vector<std::pair<std::string_view, std::optional<Bytes>>> cases {
            { "", Bytes {} },
            { "Zg", Bytes { 'f' } },
            { "Zm8", Bytes { 'f', 'o' } },
            { "Zm9v", Bytes { 'f', 'o', 'o' } },
            { "-_8", Bytes { 0xFB, 0xFF } }, // the two characters that differ from base64
            { rfc_example_dns, rfcExampleQuery() },
            { "Zg==", std::nullopt }, // padding is not sent in a URL (RFC 8484 §4.1)
            { "+/8", std::nullopt }, // the standard alphabet's
            { "Z", std::nullopt }, // six bits make no byte
            { "Zh", std::nullopt }, // bits left over that are not zero: a second spelling of "f"
            { "Zm9v\n", std::nullopt },
            { std::string_view("Zm\0v", 4), std::nullopt },
        };
        for (const auto& [text, expected] : cases) {
            SCOPED_TRACE(std::string(text));
            EXPECT_EQ(decodeBase64Url(text), expected);
        }
    }

    struct RequestCase {
        const char* label;
        std::vector<std::pair<std::string, std::string>> headers;
        Bytes body;
        std::optional<int> early; // the refusal known once the headers are in
        int status; // the verdict once the request has ended; 0: the body or ?dns= is the message
    };

    std::vector<std::pair<std::string, std::string>> post(
        std::string content_type, std::string path = "/dns-query")
    {
        return { { ":method", "POST" }, { ":path", std::move(path) },
            { "content-type", std::move(content_type) } };
    }
    std::vector<std::pair<std::string, std::string>> get(std::string path)
    {
        return { { ":method", "GET" }, { ":path", std::move(path) },
            { "accept", "application/dns-message" } };
    }

    TEST(DohRequest, GivesTheMessageOrTheStatusThatRefusesIt)
    {
        const Bytes query = rfcExampleQuery();
        Bytes response = query;
        response[2] |= 0x80; // QR: a reply, which a server must not be handed as a question
        const Bytes cut_short(query.begin(), query.end() - 2);
        const std::string example(rfc_example_dns);
        auto with = [](auto headers, std::string name, std::string value) {
            headers.emplace_back(std::move(name), std::move(value));
            return headers;
        };
        const std::vector<RequestCase> cases {
            { "GET with ?dns=", get("/dns-query?dns=" + example), {}, std::nullopt, 0 },
            { "GET with other parameters around it", get("/dns-query?ct=x&dns=" + example + "&z"), {},
                std::nullopt, 0 },
            { "POST", post("application/dns-message"), query, std::nullopt, 0 },
            { "POST with a parameter and capitals", post(" Application/DNS-Message; charset=x"), query,
                std::nullopt, 0 },
            { "another path", get("/resolve?dns=" + example), {}, 404, 404 },
            { "a path that starts alike", get("/dns-query2?dns=" + example), {}, 404, 404 },
            { "POST elsewhere", post("application/dns-message", "/"), query, 404, 404 },
            { "no path", { { ":method", "GET" } }, {}, 404, 404 },
            { "GET without a query", get("/dns-query"), {}, std::nullopt, 400 },
            { "GET without dns=", get("/dns-query?name=example.com"), {}, std::nullopt, 400 },
            { "GET with padding", get("/dns-query?dns=" + example + "=="), {}, std::nullopt, 400 },
            { "GET with an empty message", get("/dns-query?dns="), {}, std::nullopt, 400 },
            { "PUT", { { ":method", "PUT" }, { ":path", "/dns-query" } }, query, 405, 405 },
            { "HEAD", { { ":method", "HEAD" }, { ":path", "/dns-query?dns=" + example } }, {}, 405, 405 },
            { "POST as text", post("text/plain"), query, 415, 415 },
            { "POST as a prefix of the type", post("application/dns-message-x"), query, 415, 415 },
            { "POST without a type", { { ":method", "POST" }, { ":path", "/dns-query" } }, query, 415, 415 },
            { "POST announcing a body too long",
                with(post("application/dns-message"), "content-length", "65536"), {}, 413, 413 },
            { "POST with a body too long", post("application/dns-message"), Bytes(65536, 0), std::nullopt,
                413 },
            { "POST with an empty body", post("application/dns-message"), {}, std::nullopt, 400 },
            { "POST with a reply", post("application/dns-message"), response, std::nullopt, 400 },
            { "POST with a message cut short", post("application/dns-message"), cut_short, std::nullopt,
                400 },
            { "POST with a header block too long",
                with(
                    post("application/dns-message"), "x-pad", std::string(DohRequest::max_header_bytes, 'a')),
                query, 431, 431 },
        };
        for (const RequestCase& c : cases) {
            SCOPED_TRACE(c.label);
            DohRequest request;
            for (const auto& [name, value] : c.headers)
                request.addHeader(name, value);
            EXPECT_EQ(request.earlyRefusal(), c.early);
            // In two chunks, as DATA frames may split it.
            request.addBody(std::span(c.body).first(c.body.size() / 2));
            request.addBody(std::span(c.body).subspan(c.body.size() / 2));
            const DohVerdict verdict = request.finish();
            EXPECT_EQ(verdict.status, c.status);
            if (c.status == 0)
                EXPECT_EQ(verdict.message, query);
            else
                EXPECT_TRUE(verdict.message.empty());
            EXPECT_EQ(request.bodySize(), 0u) << "the body is taken out or dropped";
        }
    }

    TEST(DohRequest, HoldsNoMoreThanOneMessageOfBody)
    {
        DohRequest request;
        for (const auto& [name, value] : post("application/dns-message"))
            request.addHeader(name, value);
        const Bytes chunk(16384, 0);
        for (int i = 0; i < 8; ++i)
            request.addBody(chunk);
        EXPECT_LE(request.bodySize(), DohRequest::max_message_size);
        EXPECT_EQ(request.earlyRefusal(), 413);
    }

    TEST(DohMaxAge, IsTheSmallestAnswerTtlElseTheAuthoritysElseZero)
    {
        const Bytes address { 192, 0, 2, 1 };
        Bytes soa = test::wireName("ns.example");
        const Bytes mbox = test::wireName("host.example");
        soa.insert(soa.end(), mbox.begin(), mbox.end());
        soa.resize(soa.size() + 20, 0);
        auto reply = [](std::uint16_t an, std::uint16_t ns, std::uint16_t ar) {
            PacketBuilder p;
            p.header(0, 0x8180, 1, an, ns, ar).question("example", QType::a, QClass::in);
            return p;
        };
        const std::vector<std::pair<const char*, std::pair<Bytes, std::uint32_t>>> cases {
            { "answers",
                { reply(2, 0, 1)
                        .record("example", QType::a, QClass::in, 300, address)
                        .record("example", QType::a, QClass::in, 60, address)
                        .record("x.example", QType::a, QClass::in, 5, address) // additional: ignored
                        .bytes(),
                    60 } },
            { "a negative answer's SOA",
                { reply(0, 1, 0).record("example", QType::soa, QClass::in, 900, soa).bytes(), 900 } },
            { "no record", { reply(0, 0, 0).bytes(), 0 } },
            { "not a message", { Bytes { 1, 2, 3 }, 0 } },
        };
        for (const auto& [label, c] : cases) {
            SCOPED_TRACE(label);
            EXPECT_EQ(dohMaxAge(c.first), c.second);
        }
    }

} // namespace
} // namespace recursor
