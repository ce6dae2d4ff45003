// Reads arbitrary bytes as the start of an HTTP request to the operators' server: where the head ends
// within the 4096 bytes a request may take, then the method and the path the server routes on. The
// outcome (complete or too large, and the method and path) must not depend on how the bytes arrived,
// the head must end with a blank line, and the method and the path must be words of the first line
// without a space, the method non-empty, the path after it and without its query.
#include "ops/http_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

using recursor::findHttpHeadEnd;
using recursor::HttpRequestLine;
using recursor::parseHttpRequest;

constexpr std::size_t request_buffer_size = 4096; // as the server's

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_http_request: %s\n", what);
    std::abort();
}

struct Outcome {
    bool too_large { false };
    std::optional<std::string> method;
    std::optional<std::string> path;
    bool operator==(const Outcome&) const = default;
};

// What the server acts on once `head` is known (the whole input when the client closed first).
Outcome route(std::string_view head)
{
    Outcome out;
    const std::optional<HttpRequestLine> request = parseHttpRequest(head);
    if (!request)
        return out;
    const std::string_view first_line = head.substr(0, head.find('\n'));
    // The path is empty when the target is only a query ("GET ?x").
    for (const std::string_view word : { request->method, request->path }) {
        if (word.find(' ') != std::string_view::npos || word.data() < first_line.data()
            || word.data() + word.size() > first_line.data() + first_line.size())
            fail("the method or the path is not a word of the first line");
    }
    if (request->method.empty() || request->path.find('?') != std::string_view::npos
        || request->path.data() <= request->method.data() + request->method.size())
        fail("no method, or the path keeps its query or does not follow the method");
    out.method = std::string(request->method);
    out.path = std::string(request->path);
    return out;
}

bool endsWithBlankLine(std::string_view head)
{
    return head.ends_with("\n\n") || head.ends_with("\r\n\r\n");
}

// As the server reads: after each arrival the head end is looked for in all that has arrived; a full
// buffer without one is too large; a client that closes first sent its whole head. Arrivals are 1 to
// 1024 bytes long, drawn from `seed`, or everything at once when it is 0.
Outcome readHead(std::string_view input, std::uint8_t seed)
{
    std::size_t length = 0;
    std::uint32_t state = seed;
    while (length < input.size()) {
        state = state * 1103515245u + 12345u;
        length = seed == 0 ? input.size() : std::min(input.size(), length + 1 + ((state >> 16) & 0x3FF));
        const std::string_view data = input.substr(0, length);
        if (const std::optional<std::size_t> end = findHttpHeadEnd(data)) {
            if (*end > data.size() || !endsWithBlankLine(data.substr(0, *end)))
                fail("the head does not end with a blank line");
            return route(data.substr(0, *end));
        }
        if (length == request_buffer_size)
            return { .too_large = true };
    }
    return input.empty() ? Outcome {} : route(input);
}

} // namespace

// The first byte draws the arrivals; the rest is what the client sends.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::string_view sent(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string_view input = sent.substr(0, request_buffer_size);
    if (readHead(input, 0) != readHead(input, data[0] | 1))
        fail("the request depends on how its bytes arrived");
    return 0;
}
