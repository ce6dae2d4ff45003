// Splits arbitrary bytes into the messages of a client's TCP or TLS stream (two-byte length framing,
// RFC 7766 §8) the way a connection does: as they arrive in chunks, every complete message is taken
// before more is read. The first two bytes pick the largest message allowed (12 to 65535, the range the
// configuration accepts) and the third how the rest is cut into chunks. The messages must not depend on
// the chunks; each must be 1 to the limit long and a view into the buffer; framed again, they must give
// back exactly the bytes taken; what is left must be an unfinished or an unacceptable frame.
#include "server/client_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using recursor::nextStreamFrame;
using recursor::StreamFrame;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_stream_framing: %s\n", what);
    std::abort();
}

struct Split {
    std::vector<std::vector<std::uint8_t>> messages;
    std::size_t consumed { 0 };
    bool invalid { false }; // stopped at a length that cannot be answered
};

// Takes every complete message at the front of `received`, as a connection does after each read.
void takeMessages(std::vector<std::uint8_t>& received, std::uint32_t max_size, Split& out)
{
    while (!out.invalid) {
        const StreamFrame frame = nextStreamFrame(received, max_size);
        if (frame.status == StreamFrame::Status::invalid) {
            out.invalid = true;
            return;
        }
        if (frame.status == StreamFrame::Status::incomplete)
            return;
        if (frame.message.empty() || frame.message.size() > max_size
            || frame.consumed != frame.message.size() + 2 || frame.consumed > received.size()
            || frame.message.data() != received.data() + 2)
            fail("a complete frame is out of bounds");
        out.messages.emplace_back(frame.message.begin(), frame.message.end());
        out.consumed += frame.consumed;
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(frame.consumed));
    }
}

// Chunk sizes from 1 to 256 bytes, drawn from a small linear congruential sequence.
Split splitInChunks(std::span<const std::uint8_t> stream, std::uint32_t max_size, std::uint8_t seed)
{
    Split out;
    std::vector<std::uint8_t> received;
    std::uint32_t state = seed;
    while (!stream.empty() && !out.invalid) {
        state = state * 1103515245u + 12345u;
        const std::size_t chunk = std::min<std::size_t>(stream.size(), 1 + ((state >> 16) & 0xFF));
        received.insert(received.end(), stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(chunk));
        stream = stream.subspan(chunk);
        takeMessages(received, max_size, out);
    }
    return out;
}

void expectLeftoverIsUnfinished(std::span<const std::uint8_t> left, std::uint32_t max_size, bool invalid)
{
    if (left.size() < 2) {
        if (invalid)
            fail("an invalid frame without its length");
        return;
    }
    const std::size_t length = (std::size_t { left[0] } << 8) | left[1];
    const bool acceptable = length != 0 && length <= max_size;
    if (acceptable == invalid || (acceptable && left.size() >= 2 + length))
        fail("a complete message was left in the stream");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const std::uint32_t max_size = 12 + ((std::uint32_t { data[0] } << 8) | data[1]) % (65535 - 12 + 1);
    const std::span<const std::uint8_t> stream(data + 3, size - 3);

    Split whole;
    std::vector<std::uint8_t> received(stream.begin(), stream.end());
    takeMessages(received, max_size, whole);
    const Split chunked = splitInChunks(stream, max_size, data[2]);
    if (chunked.messages != whole.messages || chunked.invalid != whole.invalid)
        fail("the messages depend on how the stream arrived");

    std::vector<std::uint8_t> framed;
    for (const auto& message : whole.messages) {
        framed.push_back(static_cast<std::uint8_t>(message.size() >> 8));
        framed.push_back(static_cast<std::uint8_t>(message.size()));
        framed.insert(framed.end(), message.begin(), message.end());
    }
    if (framed.size() != whole.consumed || !std::equal(framed.begin(), framed.end(), stream.begin()))
        fail("framing the messages again does not give the stream back");
    expectLeftoverIsUnfinished(stream.subspan(whole.consumed), max_size, whole.invalid);
    return 0;
}
