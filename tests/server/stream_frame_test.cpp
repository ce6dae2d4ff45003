#include "server/client_stream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace recursor {
namespace {

    using Status = StreamFrame::Status;

    // A stream that announces `length` and has `body` bytes after it so far.
    std::vector<std::uint8_t> announced(std::uint16_t length, std::size_t body)
    {
        std::vector<std::uint8_t> out(2 + body, 0xAB);
        out[0] = static_cast<std::uint8_t>(length >> 8);
        out[1] = static_cast<std::uint8_t>(length);
        return out;
    }

    // The first frame of what a client has sent so far, as a connection takes it after each read.
    TEST(StreamFrame, TakesOnlyWholeMessagesWithinTheLimit)
    {
        struct Case {
            const char* label;
            std::vector<std::uint8_t> buffered;
            std::uint32_t max_message_size;
            Status status;
            std::size_t message_size; // when complete
        };
        const Case cases[] = {
            { "nothing yet", {}, 65535, Status::incomplete, 0 },
            { "half a length", { 0x00 }, 65535, Status::incomplete, 0 },
            { "a length of 0 cannot be answered", announced(0, 1), 65535, Status::invalid, 0 },
            // Refused as soon as the length is known, before the message is read.
            { "a length above the limit", announced(513, 0), 512, Status::invalid, 0 },
            { "a length at the limit", announced(512, 512), 512, Status::complete, 512 },
            { "the message not yet whole", announced(3, 2), 65535, Status::incomplete, 0 },
            { "the largest length, not yet whole", announced(65535, 1), 65535, Status::incomplete, 0 },
            { "one whole message", announced(2, 2), 65535, Status::complete, 2 },
            { "the first of two", { 0x00, 0x01, 0xAA, 0x00, 0x01, 0xBB }, 65535, Status::complete, 1 },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            const StreamFrame frame = nextStreamFrame(c.buffered, c.max_message_size);
            ASSERT_EQ(frame.status, c.status);
            if (c.status != Status::complete)
                continue;
            EXPECT_EQ(frame.message.size(), c.message_size);
            EXPECT_EQ(frame.message.data(), c.buffered.data() + 2); // a view, not a copy
            EXPECT_EQ(frame.consumed, 2 + c.message_size);
        }
    }

} // namespace
} // namespace recursor
