// Who may ask and how often: prefixes matched bit by bit, IPv4-mapped clients as IPv4, and a rate
// that counts each second afresh.
#include "server/access_list.h"

#include <gtest/gtest.h>

namespace recursor {
namespace {

    SocketAddress at(std::string_view literal)
    {
        return *SocketAddress::fromIpLiteral(literal, 4242);
    }

    TEST(AccessList, MatchesPrefixesBitByBitAndRejectsWhatIsNotAPrefix)
    {
        const std::vector<std::string> prefixes { "192.0.2.0/25", "10.0.0.0/8", "2001:db8::/33",
            "198.51.100.7" };
        const auto list = AccessList::parse(prefixes);
        ASSERT_TRUE(list.has_value());
        struct Case {
            const char* client;
            bool allowed;
        };
        for (const Case c : { Case { "192.0.2.127", true }, Case { "192.0.2.128", false },
                 Case { "10.255.0.1", true }, Case { "11.0.0.1", false }, Case { "2001:db8:7fff::1", true },
                 Case { "2001:db8:8000::1", false }, Case { "198.51.100.7", true },
                 Case { "198.51.100.8", false }, Case { "::ffff:10.1.2.3", true },
                 Case { "127.0.0.1", false }, Case { "::1", false } }) {
            SCOPED_TRACE(c.client);
            EXPECT_EQ(list->allows(at(c.client)), c.allowed);
        }
        const auto loopback = AccessList::loopbackOnly();
        EXPECT_TRUE(loopback.allows(at("127.8.9.10")));
        EXPECT_TRUE(loopback.allows(at("::1")));
        EXPECT_TRUE(loopback.allows(at("::ffff:127.0.0.1")));
        EXPECT_FALSE(loopback.allows(at("192.0.2.1")));
        EXPECT_TRUE(AccessList::parse({})->allows(at("127.0.0.1"))) << "no allow line: loopback only";
        for (const char* bad : { "192.0.2.0/33", "2001:db8::/129", "192.0.2.0/", "192.0.2.0/x",
                 "host.example", "10.0.0.0/8/8" }) {
            SCOPED_TRACE(bad);
            const std::vector<std::string> one { bad };
            EXPECT_EQ(AccessList::parse(one).error(), ServerError::InvalidAddress);
        }
    }

    int admittedOf(ClientRateLimit& limit, std::string_view client, int tries, std::int64_t second)
    {
        int admitted = 0;
        for (int i = 0; i < tries; ++i)
            admitted += limit.admit(at(client), second) ? 1 : 0;
        return admitted;
    }

    TEST(ClientRateLimit, AdmitsEachLoopsShareOfTheRatePerSecond)
    {
        ClientRateLimit limit(10, 2); // 5 a second on this loop
        EXPECT_EQ(admittedOf(limit, "192.0.2.1", 20, 100), 5);
        EXPECT_TRUE(limit.admit(at("192.0.2.2"), 100)) << "another client has its own count";
        EXPECT_TRUE(limit.admit(at("192.0.2.1"), 101)) << "a new second starts afresh";
        EXPECT_EQ(admittedOf(limit, "::ffff:192.0.2.1", 10, 101), 4) << "mapped IPv4 is the same client";
        ClientRateLimit none(0, 2);
        EXPECT_EQ(admittedOf(none, "192.0.2.1", 100, 100), 100);
        EXPECT_EQ(none.trackedClients(), 0u) << "no limit, no table";
    }

    // It used to let everyone through once 65536 sources had asked within a second: a reflection
    // attack sprayed spoofed sources first, then sent at full rate from its victim's address.
    TEST(ClientRateLimit, AFullTableForgetsTheLeastRecentClientInsteadOfAdmittingEveryone)
    {
        ClientRateLimit limit(5, 1);
        for (std::size_t i = 0; i < 4 * ClientRateLimit::default_capacity; ++i)
            limit.admit(
                at("2001:db8:" + std::to_string(i % 10000) + ":" + std::to_string(i / 10000) + "00::1"), 102);
        EXPECT_EQ(limit.trackedClients(), ClientRateLimit::default_capacity) << "every place taken, no more";
        EXPECT_EQ(admittedOf(limit, "192.0.2.3", 20, 102), 5) << "the victim's address is still limited";

        // One set of three places: the least recently seen client makes room.
        ClientRateLimit small(ClientRateLimit::Settings { .per_second = 2, .loops = 1, .capacity = 3 });
        for (const char* client : { "192.0.2.1", "192.0.2.2", "192.0.2.3" })
            EXPECT_EQ(admittedOf(small, client, 3, 7), 2) << client;
        EXPECT_FALSE(small.admit(at("192.0.2.1"), 7)) << "seen again: now the most recent";
        EXPECT_TRUE(small.admit(at("192.0.2.4"), 7)) << "takes the place of .2, the least recent";
        EXPECT_EQ(small.trackedClients(), 3u);
        EXPECT_FALSE(small.admit(at("192.0.2.1"), 7)) << ".1 was kept, with its count";
        EXPECT_FALSE(small.admit(at("192.0.2.3"), 7)) << ".3 was kept, with its count";
        EXPECT_TRUE(small.admit(at("192.0.2.2"), 7)) << ".2 was forgotten: counted afresh";
    }

    // An IPv6 host holds a /64 or more: stepping through its addresses must not multiply its rate.
    TEST(ClientRateLimit, CountsIpv6ClientsByTheirPrefix)
    {
        struct Case {
            unsigned prefix;
            const char* other; // an address of the same client as 2001:db8:0:ff00::N
            const char* stranger; // one of another client
        };
        for (const Case c : { Case { 56, "2001:db8:0:ffff:ffff::1", "2001:db8:0:fe00::1" },
                 Case { 64, "2001:db8:0:ff00:ffff::1", "2001:db8:0:ff01::1" },
                 Case { 48, "2001:db8:0:1::1", "2001:db8:1::1" },
                 Case { 60, "2001:db8:0:ff0f::1", "2001:db8:0:ff10::1" },
                 Case { 128, "2001:db8:0:ff00::1", "2001:db8:0:ff00::2" } }) {
            SCOPED_TRACE(c.prefix);
            ClientRateLimit limit(
                ClientRateLimit::Settings { .per_second = 10, .loops = 1, .ipv6_prefix_bits = c.prefix });
            int admitted = 0;
            for (int i = 0; i < 30; ++i) {
                const std::string rotating
                    = c.prefix == 128 ? "2001:db8:0:ff00::1" : "2001:db8:0:ff00::" + std::to_string(i + 1);
                admitted += limit.admit(at(rotating), 5) ? 1 : 0;
            }
            EXPECT_EQ(admitted, 10) << "rotating addresses inside the prefix";
            EXPECT_FALSE(limit.admit(at(c.other), 5));
            EXPECT_TRUE(limit.admit(at(c.stranger), 5));
        }
        ClientRateLimit defaults(3, 1);
        EXPECT_EQ(admittedOf(defaults, "2001:db8:0:ff00::1", 2, 9), 2);
        EXPECT_EQ(admittedOf(defaults, "2001:db8:0:ffff::1", 2, 9), 1) << "/56 by default";
    }

} // namespace
} // namespace recursor
