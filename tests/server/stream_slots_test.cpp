#include "server/stream_slots.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace recursor {
namespace {

    SocketAddress address(const std::string& literal)
    {
        return *SocketAddress::fromIpLiteral(literal, 53);
    }

    // One end stands for the accepted connection, the other for its client, which sees the end of the
    // stream once the server side is shut down.
    struct Connection {
        int server_end { -1 };
        int client_end { -1 };
        Connection()
        {
            int ends[2];
            EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
            server_end = ends[0];
            client_end = ends[1];
        }
        ~Connection()
        {
            ::close(server_end);
            ::close(client_end);
        }
        Connection(const Connection&) = delete;
        Connection& operator=(const Connection&) = delete;

        bool shutDown() const
        {
            char byte;
            return ::recv(client_end, &byte, 1, MSG_DONTWAIT) == 0;
        }
    };

    TEST(StreamClientKey, CountsIPv6ByItsSlash64AndIPv4ByTheWholeAddress)
    {
        struct Case {
            const char* label;
            const char* a;
            const char* b;
            bool same;
        };
        const Case cases[] = {
            { "two hosts of one IPv6 /64", "2001:db8::1", "2001:db8::ffff:ffff:ffff:1", true },
            { "neighbouring IPv6 /64s", "2001:db8:0:1::1", "2001:db8:0:2::1", false },
            { "two IPv4 addresses", "192.0.2.1", "192.0.2.2", false },
            // Cut to 64 bits, every IPv4-mapped client would share one key and one small share.
            { "two IPv4-mapped addresses", "::ffff:192.0.2.1", "::ffff:192.0.2.2", false },
            { "IPv4 and its mapped form", "192.0.2.1", "::ffff:192.0.2.1", true },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.label);
            EXPECT_EQ(streamClientKey(address(c.a)) == streamClientKey(address(c.b)), c.same);
        }
    }

    TEST(StreamSlots, AClientHoldsAtMostItsShareWhateverAddressOfItsSlash64ItUses)
    {
        StreamSlots slots(10, 2);
        Connection c1, c2, c3, c4, c5;
        const auto first = slots.acquire(address("2001:db8::1"), c1.server_end);
        ASSERT_TRUE(first);
        ASSERT_TRUE(slots.acquire(address("2001:db8::2"), c2.server_end));
        EXPECT_EQ(slots.acquire(address("2001:db8::3"), c3.server_end).error(), SlotRefusal::ClientAtLimit);
        EXPECT_TRUE(slots.acquire(address("2001:db8:1::1"), c4.server_end))
            << "another /64 is another client";
        EXPECT_EQ(slots.size(), 3U);
        slots.release(*first);
        EXPECT_TRUE(slots.acquire(address("2001:db8::3"), c5.server_end)) << "a released slot counts no more";
        EXPECT_FALSE(c1.shutDown() || c2.shutDown() || c4.shutDown());
    }

    TEST(StreamSlots, WhenFullTheConnectionIdleLongestMakesRoom)
    {
        StreamSlots slots(3, 3);
        Connection a, b, c, d;
        const auto id_a = *slots.acquire(address("192.0.2.1"), a.server_end);
        const auto id_b = *slots.acquire(address("192.0.2.2"), b.server_end);
        const auto id_c = *slots.acquire(address("192.0.2.3"), c.server_end);
        slots.markIdle(id_b);
        slots.markIdle(id_c);
        slots.markIdle(id_a);
        slots.markIdle(id_b); // idle already: keeps its place in line
        const auto id_d = slots.acquire(address("192.0.2.4"), d.server_end);
        ASSERT_TRUE(id_d);
        EXPECT_EQ(slots.size(), 3U);
        EXPECT_TRUE(b.shutDown());
        EXPECT_FALSE(a.shutDown() || c.shutDown() || d.shutDown());
        EXPECT_FALSE(slots.markBusy(id_b)) << "the evicted connection learns it must stop";
        slots.release(id_b); // its fiber releasing later frees nobody else's slot
        EXPECT_EQ(slots.size(), 3U);
        EXPECT_TRUE(slots.markBusy(id_c));
    }

    TEST(StreamSlots, WhenFullAndNoneIdleTheNewcomerIsTurnedAway)
    {
        StreamSlots slots(2, 2);
        Connection a, b, extra, late;
        const auto id_a = *slots.acquire(address("192.0.2.1"), a.server_end);
        ASSERT_TRUE(slots.acquire(address("192.0.2.2"), b.server_end));
        slots.markIdle(id_a);
        EXPECT_TRUE(slots.markBusy(id_a)); // a question arrived: owed a reply, no longer idle
        EXPECT_EQ(slots.acquire(address("192.0.2.3"), extra.server_end).error(), SlotRefusal::AllBusy);
        EXPECT_FALSE(a.shutDown() || b.shutDown());
        slots.markIdle(id_a);
        EXPECT_TRUE(slots.acquire(address("192.0.2.3"), late.server_end));
        EXPECT_TRUE(a.shutDown());
    }

    TEST(StreamSlots, AClientAtItsShareEvictsNobodyEvenWhenFull)
    {
        StreamSlots slots(2, 1);
        Connection own, other, again;
        const auto id_own = *slots.acquire(address("192.0.2.1"), own.server_end);
        const auto id_other = *slots.acquire(address("192.0.2.2"), other.server_end);
        slots.markIdle(id_other);
        slots.markIdle(id_own);
        EXPECT_EQ(slots.acquire(address("192.0.2.1"), again.server_end).error(), SlotRefusal::ClientAtLimit);
        EXPECT_FALSE(own.shutDown() || other.shutDown());
        EXPECT_TRUE(slots.markBusy(id_other));
    }

    TEST(StreamSlots, AnEvictedConnectionNoLongerCountsForItsClient)
    {
        StreamSlots slots(1, 1);
        Connection first, second, third;
        const auto id = *slots.acquire(address("192.0.2.1"), first.server_end);
        slots.markIdle(id);
        const auto other = slots.acquire(address("192.0.2.2"), second.server_end);
        ASSERT_TRUE(other);
        slots.markIdle(*other);
        EXPECT_TRUE(slots.acquire(address("192.0.2.1"), third.server_end));
        EXPECT_TRUE(first.shutDown() && second.shutDown());
        EXPECT_FALSE(third.shutDown());
    }

} // namespace
} // namespace recursor
