// Which nameserver addresses learned from the network are never asked (src/base/socket_address.h).
#include "base/socket_address.h"

#include <gtest/gtest.h>

namespace recursor {
namespace {

    TEST(SocketAddress, ForbiddenUpstreamAddresses)
    {
        const struct {
            const char* address;
            bool forbidden; // with loopback not allowed
            bool forbidden_with_loopback; // with allow_loopback
        } cases[] = {
            // Ordinary unicast addresses, private ones included.
            { "192.0.2.1", false, false },
            { "10.0.0.1", false, false },
            { "8.8.8.8", false, false },
            { "126.255.255.255", false, false },
            { "128.0.0.1", false, false },
            { "169.253.255.255", false, false },
            { "169.255.0.1", false, false },
            { "223.255.255.255", false, false },
            { "255.255.255.254", false, false },
            { "1.0.0.0", false, false },
            { "2001:db8::1", false, false },
            { "2001:4860:4860::8888", false, false },
            { "fec0::1", false, false }, // just above fe80::/10
            { "fe7f::1", false, false }, // just below
            { "fc00::1", false, false },
            { "::2", false, false },
            { "::ffff:192.0.2.1", false, false },
            // Loopback: allowed with the flag only.
            { "127.0.0.1", true, false },
            { "127.0.0.53", true, false },
            { "127.255.255.255", true, false },
            { "::1", true, false },
            { "::ffff:127.0.0.1", true, false },
            // Never, flag or not.
            { "0.0.0.0", true, true },
            { "0.1.2.3", true, true }, // "this network" (RFC 1122 §3.2.1.3): no destination
            { "::", true, true },
            { "169.254.0.1", true, true },
            { "169.254.169.254", true, true },
            { "169.254.255.255", true, true },
            { "fe80::1", true, true },
            { "febf:ffff::1", true, true },
            { "224.0.0.1", true, true },
            { "239.255.255.250", true, true },
            { "255.255.255.255", true, true },
            { "ff02::1", true, true },
            { "ff0e::fb", true, true },
            { "::ffff:0.0.0.0", true, true },
            { "::ffff:169.254.1.1", true, true },
            { "::ffff:224.0.0.251", true, true },
            { "::ffff:255.255.255.255", true, true },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.address);
            const auto addr = SocketAddress::fromIpLiteral(c.address, 53);
            ASSERT_TRUE(addr);
            EXPECT_EQ(addr->isForbiddenUpstream(false), c.forbidden);
            EXPECT_EQ(addr->isForbiddenUpstream(true), c.forbidden_with_loopback);
        }
        EXPECT_TRUE(SocketAddress {}.isForbiddenUpstream(true)) << "no address at all";
    }

} // namespace
} // namespace recursor
