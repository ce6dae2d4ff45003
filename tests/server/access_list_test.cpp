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

    TEST(ClientRateLimit, AdmitsEachLoopsShareOfTheRatePerSecondAndFailsOpenWhenFull)
    {
        ClientRateLimit limit(10, 2); // 5 a second on this loop
        int admitted = 0;
        for (int i = 0; i < 20; ++i)
            admitted += limit.admit(at("192.0.2.1"), 100) ? 1 : 0;
        EXPECT_EQ(admitted, 5);
        EXPECT_TRUE(limit.admit(at("192.0.2.2"), 100)) << "another client has its own count";
        EXPECT_TRUE(limit.admit(at("192.0.2.1"), 101)) << "a new second starts afresh";
        for (std::size_t i = 0; i < ClientRateLimit::max_clients_tracked; ++i)
            limit.admit(at("2001:db8::" + std::to_string(i % 10000) + ":" + std::to_string(i / 10000)), 102);
        for (int i = 0; i < 10; ++i)
            EXPECT_TRUE(limit.admit(at("192.0.2.3"), 102)) << "spoofed sources must not lock out others";
        ClientRateLimit none(0, 2);
        for (int i = 0; i < 100; ++i)
            EXPECT_TRUE(none.admit(at("192.0.2.1"), 100));
    }

} // namespace
} // namespace recursor
