// Reads arbitrary bytes as one DNS over HTTPS request (RFC 8484) as an HTTP/2 stream delivers it:
// header lines "name value" up to a blank line, then the body, in DATA chunks. The verdict must not
// depend on how the body was split, a refusal known from the headers must stay the verdict, the status
// must be one the server sends, a message handed on must be a DNS query of at most 65535 bytes, and no
// more than one message of body is ever held.
#include "server/doh_request.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <span>
#include <string_view>

namespace {

using recursor::DohRequest;
using recursor::DohVerdict;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_doh_request: %s\n", what);
    std::abort();
}

struct Outcome {
    std::optional<int> early;
    DohVerdict verdict;
};

// Chunks of 1 to 1024 bytes drawn from `seed`, or the whole body at once when it is 0.
Outcome deliver(std::string_view head, std::span<const std::uint8_t> body, std::uint8_t seed)
{
    DohRequest request;
    while (!head.empty()) {
        const std::string_view line = head.substr(0, head.find('\n'));
        head.remove_prefix(std::min(head.size(), line.size() + 1));
        const std::size_t space = line.find(' ');
        request.addHeader(
            line.substr(0, space), space == std::string_view::npos ? "" : line.substr(space + 1));
    }
    Outcome out { request.earlyRefusal(), {} };
    std::uint32_t state = seed;
    while (!body.empty()) {
        state = state * 1103515245u + 12345u;
        const std::size_t n
            = seed == 0 ? body.size() : std::min<std::size_t>(body.size(), 1 + ((state >> 16) & 0x3FF));
        request.addBody(body.first(n));
        body = body.subspan(n);
        if (request.bodySize() > DohRequest::max_message_size)
            fail("more than one message of body is held");
    }
    out.verdict = request.finish();
    if (request.bodySize() != 0)
        fail("the body is still held after the verdict");
    return out;
}

void check(const Outcome& out)
{
    const int status = out.verdict.status;
    if (status != 0 && status != 400 && status != 404 && status != 405 && status != 413 && status != 415
        && status != 431)
        fail("a status the server does not send");
    if (out.early && *out.early != status)
        fail("a refusal known from the headers was not the verdict");
    const auto& message = out.verdict.message;
    if (status == 0
        && (message.size() < 12 || message.size() > DohRequest::max_message_size || (message[2] & 0x80) != 0))
        fail("a message handed on that is no DNS query");
    if (status != 0 && !message.empty())
        fail("a refused request carries a message");
    if (status == 0)
        (void)recursor::dohMaxAge(message);
}

} // namespace

// The first byte draws the chunks; then the header lines, a blank line, and the body.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::string_view sent(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t blank = sent.find("\n\n");
    const std::string_view head = sent.substr(0, blank);
    const std::span<const std::uint8_t> body = blank == std::string_view::npos
        ? std::span<const std::uint8_t>()
        : std::span(data + 1 + blank + 2, size - 1 - blank - 2);
    const Outcome whole = deliver(head, body, 0);
    check(whole);
    const Outcome split = deliver(head, body, data[0] | 1);
    if (split.verdict.status != whole.verdict.status || split.verdict.message != whole.verdict.message)
        fail("the verdict depends on how the body arrived");
    return 0;
}
