#include "ops/http_server.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace recursor {
namespace {

    TEST(HttpRequestHead, EndsAfterTheFirstBlankLine)
    {
        struct Case {
            const char* label;
            std::string_view data;
            std::optional<std::size_t> end;
        };
        const Case cases[] = {
            { "CRLF", "GET / HTTP/1.1\r\nHost: a\r\n\r\nbody", 27 },
            { "bare LF", "GET / HTTP/1.0\n\nbody", 16 },
            // A CRLF blank line wins over an earlier LF one; only the first line is used either way.
            { "CRLF after LF", "GET / HTTP/1.0\n\nX\r\n\r\n", 21 },
            { "not yet ended", "GET / HTTP/1.1\r\nHost: a\r\n", std::nullopt },
            { "a lone CR line", "GET / HTTP/1.1\r\n\r", std::nullopt },
            { "nothing", "", std::nullopt },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(findHttpHeadEnd(c.data), c.end);
        }
    }

    TEST(HttpRequestHead, TakesTheMethodAndThePathWithoutItsQuery)
    {
        struct Case {
            const char* label;
            std::string_view head;
            std::optional<std::pair<std::string_view, std::string_view>> parsed;
        };
        const Case cases[] = {
            { "usual", "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", std::pair { "GET", "/metrics" } },
            { "query cut off", "GET /stats?x=1&y HTTP/1.1\r\n\r\n", std::pair { "GET", "/stats" } },
            { "query only", "GET ?x HTTP/1.1\r\n\r\n", std::pair { "GET", "" } },
            { "runs of spaces", "  POST   /zones  \n\n", std::pair { "POST", "/zones" } },
            // Only the space separates: a tab stays inside the word.
            { "tab", "GET\t/health HTTP/1.1\n\n", std::pair { "GET\t/health", "HTTP/1.1" } },
            { "no target", "GET\r\nHost: /metrics\r\n\r\n", std::nullopt },
            { "empty line first", "\r\nGET / HTTP/1.1\r\n\r\n", std::nullopt },
            { "no version", "GET /health", std::pair { "GET", "/health" } },
            { "later lines ignored", "GET\nX /y HTTP/1.1\r\n", std::nullopt },
            { "spaces only", "     \r\n", std::nullopt },
            { "nothing", "", std::nullopt },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const std::optional<HttpRequestLine> line = parseHttpRequest(c.head);
            ASSERT_EQ(line.has_value(), c.parsed.has_value());
            if (!line)
                continue;
            EXPECT_EQ(line->method, c.parsed->first);
            EXPECT_EQ(line->path, c.parsed->second);
        }
    }

} // namespace
} // namespace recursor
